// Volumes and path helpers for the path adapter's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "adapt/adapt.h"
#include "kxtime.h"
#include "platform/clock.h"
#include "support/log_capture.h"
#include "support/record_layout.h"
#include "support/temp_dir.h"
#include "volume/volume.h"

namespace adapt_test {

inline const pc_local_time kStart = {2009, 5, 31, 8, 0, 0};

// A partition whose recording ring holds about `ring` clusters (the format
// reserves the clusters of the 16,384-sector user-data area in front).
inline uint64_t part_sectors(uint32_t spc, uint32_t ring) {
    return 6656 + (uint64_t)(16384 / spc + ring) * spc;
}

// One disk, partitions laid out as given, each formatted with `spc` sectors
// per cluster, mounted by the library's start-up in single-driver mode with
// the fake clock at kStart.
struct Volume {
    LogCapture log;
    TempDir dir;
    std::string image;

    Volume(uint64_t sectors, uint32_t spc) : Volume(std::vector<kx_partition>{{2048, sectors}}, spc) {}
    Volume(const std::vector<kx_partition>& parts, uint32_t spc) {
        pc_clock_set_fake(kStart, 1000000);
        kx_set_fs_adapt(1);
        kx_set_hooks(nullptr);
        uint64_t end = 0;
        kx_partition table[4] = {};
        for (size_t i = 0; i < parts.size() && i < 4; i++) {
            table[i] = parts[i];
            if (parts[i].start + parts[i].size > end) end = parts[i].start + parts[i].size;
        }
        image = make_sparse_image(dir.file("disk0.img"), end + 64);
        use_disks({image});
        init_buf_pool();
        EXPECT_EQ(0, kx_write_partitions(0, table));
        for (size_t i = 0; i < parts.size(); i++) EXPECT_EQ(0, kx_format_driver(0, (int)i, spc));
        int count = 0;
        packed_time shutdown = 0;
        EXPECT_EQ(0, kx_file_sys_init(&count, &shutdown));
        EXPECT_EQ((int)parts.size(), count);
        log.clear();
    }
    ~Volume() {
        kx_set_hooks(nullptr);
        pc_clock_use_real();
    }
    kx_driver* pdp(int part = 0) const { return get_pdp(0, part); }
};

inline packed_time at(int y, int mo, int d, int h, int mi, int s) {
    return make_packed_time(y, mo, d, h, mi, s);
}

// "/mnt/idea0/YYYY-MM-DD/CCC" for a channel counted from 0.
inline std::string channel_dir(packed_time day, int channel, int part = 0) {
    char p[64];
    snprintf(p, sizeof p, "/mnt/idea%d/%04d-%02d-%02d/%03d", part, (int)pt_year(day) + 2000,
             (int)pt_month(day), (int)pt_day(day), channel + 1);
    return p;
}

inline std::vector<kx_find_record> list_channel(packed_time day, int channel, int part = 0) {
    std::vector<kx_find_record> out;
    kx_find_record rec{};
    const intptr_t h = kx_findfirst((channel_dir(day, channel, part) + "/*").c_str(), &rec);
    if (h == -1) return out;
    do out.push_back(rec);
    while (kx_findnext(h, &rec) == 0);
    EXPECT_EQ(0, kx_findclose(h));
    return out;
}

inline std::vector<std::string> list_days(const char* root = "/mnt/idea0") {
    std::vector<std::string> out;
    kx_find_record rec{};
    const intptr_t h = kx_findfirst(root, &rec);
    if (h == -1) return out;
    do out.push_back(rec.name);
    while (kx_findnext(h, &rec) == 0);
    EXPECT_EQ(0, kx_findclose(h));
    return out;
}

inline std::string cluster_tag(uint32_t clus) {
    char t[16];
    snprintf(t, sizeof t, "[@%x]", clus);
    return t;
}

// The record's name as the listing of its start day shows it.
inline std::string listed_name(const layout_record& r) {
    const std::string tag = cluster_tag(r.chain.front());
    for (const kx_find_record& f : list_channel(r.start, r.channel))
        if (std::string(f.name).find(tag) != std::string::npos) return f.name;
    ADD_FAILURE() << "record at cluster " << r.chain.front() << " not listed";
    return "";
}

inline std::string record_file(const layout_record& r, const std::string& name) {
    return channel_dir(r.start, r.channel) + "/" + name;
}

// Reads a whole virtual file with requests whose sizes cycle through `sizes`.
inline std::vector<uint8_t> read_all(KXFILE f, const std::vector<size_t>& sizes) {
    std::vector<uint8_t> out, chunk;
    for (size_t i = 0;; i++) {
        const size_t want = sizes[i % sizes.size()];
        chunk.resize(want);
        const size_t got = kx_fread(chunk.data(), 1, want, f);
        out.insert(out.end(), chunk.begin(), chunk.begin() + got);
        if (got < want) return out;
    }
}

}  // namespace adapt_test
