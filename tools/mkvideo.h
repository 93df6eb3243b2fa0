// Test footage for the sample-disk maker: a real video stream whose picture
// shows the recorder-local date and time of each second.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kxtime.h"

// `seconds` of footage starting at `start` (recorder-local), 352 x 288 at 25
// frames per second, H.264 in an MPEG program stream. False with a message
// when the build has no media libraries or they have no H.264 encoder.
bool mkdisk_video(packed_time start, uint32_t seconds, std::vector<uint8_t>* out, std::string* error);
