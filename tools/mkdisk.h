// The sample-disk maker: recorder disk images made through the library
// itself. The disk label and the volumes come from the library's own
// partition writer and format; the recordings are written through the path
// adapter's writing side, the PC clock (a fake one) advancing as a
// recorder's would, so the images hold exactly what a recorder leaves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "kxfs.h"

// What was made on one partition.
struct mkdisk_partition_report {
    int part = 0;
    uint64_t start = 0;                 // first sector
    uint64_t sectors = 0;
    uint32_t sector_per_clus = 0;
    // What the partition holds after the recording, as the library lists it.
    std::set<int> channels;             // counted from 1, as the channel directories
    std::set<std::string> days;         // "YYYY-MM-DD" of the day directories
    uint32_t records = 0;               // record files listed
    uint64_t data_bytes = 0;            // their listed sizes (bytes after the headers)
    uint32_t restarts = 0;              // times the recording ring was restarted
    bool section2 = false;              // older data of the previous pass still there
};

struct mkdisk_report {
    std::string preset;
    std::string image;
    uint64_t disk_sectors = 0;
    std::vector<mkdisk_partition_report> parts;
};

// The presets, in the order --help lists them, with one line about each.
struct mkdisk_preset_info {
    const char* name;
    const char* about;
};
const std::vector<mkdisk_preset_info>& mkdisk_presets(void);

// Makes the image of a preset at `image` (created or replaced, sparse). The
// library is left started over that image. Returns 0, or 1 with a message
// in *error.
int mkdisk_make(const std::string& preset, const std::string& image, mkdisk_report* report, std::string* error);

// The recorded bytes: byte `offset` (counted from the end of the record's
// header) of the record of `channel` (counted from 1) that starts at `start`
// is ((offset * 131) ^ (offset >> 9) ^ (channel * 29) ^ (seconds * 71)) mod
// 256, where seconds counts from 2000-01-01 00:00:00 to the record's start
// (its day directory and the start time in its name).
void mkdisk_pattern(int channel, packed_time start, uint64_t offset, uint8_t* out, size_t n);
