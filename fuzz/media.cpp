// Streams after a record's header: whatever bytes a recording holds, naming
// them, decoding a preview and remuxing them into an MP4 end without a crash
// or a hang, and leave no part file behind.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/media.h"

// The calls above go to the media module: without it this target would try
// nothing, so a module that does not load stops it at once. libFuzzer calls
// this before its first input, so that it counts the module's code from the
// start; the replay program, on its first input.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!MediaSupported()) {
        fprintf(stderr, "%s\n", MediaMissingReason().c_str());
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const int loaded = LLVMFuzzerInitialize(nullptr, nullptr);
    static const int fd = memfd_create("recording", 0);
    static const std::string raw = "/proc/self/fd/" + std::to_string(fd);
    static const std::string mp4 = [] {
        char dir[] = "/tmp/tarvik-fuzz-media-XXXXXX";
        if (mkdtemp(dir) == nullptr) abort();
        return std::string(dir) + "/copy.mp4";
    }();
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size) abort();
    DescribeStream(data, size);
    PreviewImage image;
    if (DecodePreview(data, size, 64, 48, &image) && image.rgb.size() != (size_t)image.width * image.height * 3) abort();
    const RemuxResult r = RemuxToMp4(raw, mp4, 0);
    if (access((mp4 + ".part").c_str(), F_OK) == 0) abort();  // a part file is never left
    if (r.written != (access(mp4.c_str(), F_OK) == 0)) abort();
    remove(mp4.c_str());
    return 0;
}
