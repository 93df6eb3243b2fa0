// A build without FFmpeg's libraries: streams are never recognised, and the
// callers say that this build cannot probe or remux.
#include "core/media.h"

bool MediaSupported() { return false; }

std::string DescribeStream(const uint8_t*, size_t) { return "unknown"; }

RemuxResult RemuxToMp4(const std::string&, const std::string&, int64_t, const std::atomic<bool>*) {
    RemuxResult r;
    r.notice = "this build of tarvik has no media support: no MP4";
    return r;
}

bool DecodePreview(const uint8_t*, size_t, int, int, PreviewImage*) { return false; }
