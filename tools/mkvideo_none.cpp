// A build without FFmpeg's libraries makes no footage.
#include "mkvideo.h"

bool mkdisk_video(packed_time, uint32_t, std::vector<uint8_t>*, std::string* error) {
    *error = "this build has no media support: the video preset needs FFmpeg's libraries";
    return false;
}
