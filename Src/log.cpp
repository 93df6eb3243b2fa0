// The library's single message sink.
#include "log.h"

#include <cstdio>

#include "kxfs.h"

namespace {
FILE* g_log_stream = nullptr;
bool g_log_stream_set = false;
kx_log_fn g_log_fn = nullptr;
void* g_log_ctx = nullptr;
}  // namespace

void kx_set_log_stream(FILE* stream) {
    g_log_stream = stream;
    g_log_stream_set = true;
    g_log_fn = nullptr;
}

void kx_set_log_callback(kx_log_fn fn, void* ctx) {
    g_log_fn = fn;
    g_log_ctx = ctx;
}

void kx_log(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    if (g_log_fn) {
        char text[1024];
        vsnprintf(text, sizeof text, fmt, ap);
        g_log_fn(g_log_ctx, text);
    } else {
        FILE* out = g_log_stream_set ? g_log_stream : stdout;
        if (out) vfprintf(out, fmt, ap);
    }
    va_end(ap);
}
