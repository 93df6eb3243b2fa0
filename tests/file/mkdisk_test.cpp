// The sample-disk maker on its small preset: the image mounts from the disk
// alone, lists the days and records the maker reports, and every record
// holds its documented pattern after its "KXII" header.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "DiskIOCtl.h"
#include "kxtime.h"
#include "meta/meta.h"
#include "mkdisk.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "volume/volume.h"

namespace {

struct listed {
    std::string day;
    int channel;
    kx_find_record rec;
};

std::vector<listed> list_partition(int part, const std::vector<int>& channels) {
    std::vector<listed> out;
    const std::string root = "/mnt/idea" + std::to_string(part);
    kx_find_record rec;
    std::vector<std::string> days;
    intptr_t h = kx_findfirst(root.c_str(), &rec);
    if (h == -1) return out;
    do days.push_back(rec.name);
    while (kx_findnext(h, &rec) == 0);
    kx_findclose(h);
    for (const std::string& day : days)
        for (int ch : channels) {
            char path[80];
            snprintf(path, sizeof path, "%s/%s/%03d/*", root.c_str(), day.c_str(), ch);
            h = kx_findfirst(path, &rec);
            if (h == -1) continue;
            do out.push_back({day, ch, rec});
            while (kx_findnext(h, &rec) == 0);
            kx_findclose(h);
        }
    return out;
}

// The record's bytes after its header, read through the path adapter.
std::vector<uint8_t> read_all(const std::string& path) {
    std::vector<uint8_t> out;
    KXFILE f = kx_fopen(path.c_str(), "rb");
    EXPECT_NE(nullptr, f) << path;
    if (f == nullptr) return out;
    alignas(512) static uint8_t chunk[1 << 16];
    size_t n;
    while ((n = kx_fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
    kx_fclose(f);
    return out;
}

}  // namespace

TEST(SampleDiskMaker, TinyPresetMountsListsAndHoldsItsPattern) {
    LogCapture log;
    TempDir dir;
    const std::string image = dir.file("tiny.img");
    mkdisk_report report;
    std::string error;
    ASSERT_EQ(0, mkdisk_make("tiny", image, &report, &error)) << error;
    ASSERT_EQ(2u, report.parts.size());
    const mkdisk_partition_report& p0 = report.parts[0];
    const mkdisk_partition_report& p1 = report.parts[1];
    EXPECT_EQ((std::set<int>{1, 2}), p0.channels);
    EXPECT_EQ((std::set<std::string>{"2024-02-28", "2024-02-29"}), p0.days);
    EXPECT_EQ(3u, p0.records);
    EXPECT_EQ(0u, p0.restarts);
    // Twelve recordings of channel 5 where ten fit: one restart, the two
    // oldest overwritten, the rest of the previous pass kept.
    EXPECT_EQ((std::set<int>{5}), p1.channels);
    EXPECT_EQ(1u, p1.restarts);
    EXPECT_TRUE(p1.section2);
    EXPECT_EQ(10u, p1.records);

    // A fresh start-up over the image: only what is on the disk counts.
    ide_set_disk_paths({image});
    ide_init();
    int count = 0;
    packed_time shutdown = 0;
    kx_set_fs_adapt(1);
    ASSERT_EQ(0, kx_file_sys_init(&count, &shutdown));
    EXPECT_EQ(2, count);
    EXPECT_EQ(1, get_pdp(0, 1)->fill_count);

    std::map<int, uint32_t> records;
    for (int part = 0; part < 2; part++) {
        std::map<std::string, bool> seen;
        uint64_t bytes = 0;
        for (const listed& l : list_partition(part, {1, 2, 5})) {
            SCOPED_TRACE(l.day + "/" + l.rec.name);
            // A record across midnight is listed under both days, first
            // under the day it started.
            if (seen[l.rec.name]) continue;
            seen[l.rec.name] = true;
            records[part]++;
            bytes += l.rec.size;
            int y, mo, d, h, mi, s;
            ASSERT_EQ(3, sscanf(l.day.c_str(), "%d-%d-%d", &y, &mo, &d));
            ASSERT_EQ(3, sscanf(l.rec.name, "%d.%d.%d-", &h, &mi, &s));
            const packed_time start = make_packed_time(y, mo, d, h, mi, s);
            char path[160];
            snprintf(path, sizeof path, "/mnt/idea%d/%s/%03d/%s", part, l.day.c_str(), l.channel, l.rec.name);
            const std::vector<uint8_t> got = read_all(path);
            ASSERT_GT(l.rec.size, 0u);
            ASSERT_EQ(l.rec.size, got.size());
            std::vector<uint8_t> want(got.size());
            mkdisk_pattern(l.channel, start, 0, want.data(), want.size());
            EXPECT_TRUE(want == got);

            unsigned first = 0;
            const char* at = strstr(l.rec.name, "[@");
            ASSERT_NE(nullptr, at);
            ASSERT_EQ(1, sscanf(at, "[@%x]", &first));
            uint8_t sector[512];
            kx_driver* pdp = get_pdp(0, part);
            ASSERT_EQ(0, ide_read64(0, 1, (uint32_t)clus_sector(pdp, first), 0, sector));
            EXPECT_EQ(0, memcmp(sector, "KXII", 4));
            EXPECT_EQ(0x40000u, get_le32(sector + 4));
        }
        EXPECT_EQ(report.parts[(size_t)part].data_bytes, bytes);
    }
    EXPECT_EQ(3u, records[0]);
    EXPECT_EQ(10u, records[1]);
}

TEST(SampleDiskMaker, UnknownPresetAndUnwritableImageAreRefused) {
    LogCapture log;
    TempDir dir;
    mkdisk_report report;
    std::string error;
    EXPECT_EQ(1, mkdisk_make("no-such", dir.file("x.img"), &report, &error));
    EXPECT_EQ("unknown preset no-such", error);
    EXPECT_EQ(1, mkdisk_make("tiny", dir.file("missing/x.img"), &report, &error));
    EXPECT_NE(std::string::npos, error.find("cannot create"));
}
