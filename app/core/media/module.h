// The media module: FFmpeg's libraries behind the calls of core/media.h, in a
// shared object of its own (tarvik-media.so) that the application loads on
// the first media call. A plain copy then neither maps nor relocates those
// libraries and the hundred others they pull in (about 16 MiB of resident
// memory and a noticeable start-up).
#pragma once

#include "core/media.h"

// Raised whenever this table or a type it passes changes, so that a module
// left over from another build is refused instead of called.
constexpr int kMediaModuleAbi = 1;

struct MediaModule {
    int abi;
    std::string (*describe)(const uint8_t* data, size_t size);
    RemuxResult (*remux)(const std::string& rawPath, const std::string& mp4Path, int64_t creationTime,
                         const std::atomic<bool>* stop);
    bool (*preview)(const uint8_t* data, size_t size, int maxWidth, int maxHeight, PreviewImage* out);
};

// The one symbol the module exports: its table.
constexpr const char* kMediaModuleEntry = "tarvik_media_module";
extern "C" const MediaModule* tarvik_media_module();
