#include "support/log_capture.h"

#include "kxfs.h"

LogCapture::LogCapture() {
    kx_set_log_callback(&LogCapture::collect, this);
}

LogCapture::~LogCapture() {
    kx_set_log_stream(nullptr);
}

void LogCapture::collect(void* ctx, const char* text) {
    static_cast<LogCapture*>(ctx)->m_text += text;
}
