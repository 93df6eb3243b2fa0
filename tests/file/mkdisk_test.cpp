// The sample-disk maker on its small preset: the image mounts from the disk
// alone, lists the days and records the maker reports, and every record
// reads back (after its "KXII" header) as the documented pattern.
#include "mkdisk.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>

#include "kxtime.h"
#include "support/record_layout.h"

TEST(SampleDiskMaker, TinyPresetMountsListsAndHoldsItsPattern) {
    LogCapture log;
    TempDir dir;
    mkdisk_report report;
    std::string error;
    EXPECT_EQ(1, mkdisk_make("no-such", dir.file("x.img"), &report, &error));
    EXPECT_EQ("unknown preset no-such", error);
    EXPECT_EQ(1, mkdisk_make("tiny", dir.file("missing/x.img"), &report, &error));
    EXPECT_NE(std::string::npos, error.find("cannot create"));

    const std::string image = dir.file("tiny.img");
    ASSERT_EQ(0, mkdisk_make("tiny", image, &report, &error)) << error;
    ASSERT_EQ(2u, report.parts.size());
    const mkdisk_partition_report &p0 = report.parts[0], &p1 = report.parts[1];
    EXPECT_EQ(std::make_tuple(std::set<int>{1, 2}, std::set<std::string>{"2024-02-28", "2024-02-29"}, 3u, 0u),
              std::make_tuple(p0.channels, p0.days, p0.records, p0.restarts));
    // Twelve recordings of channel 5 where ten fit: one restart, the two
    // oldest overwritten, the rest of the previous pass kept.
    EXPECT_EQ(std::make_tuple(std::set<int>{5}, 10u, 1u, true),
              std::make_tuple(p1.channels, p1.records, p1.restarts, p1.section2));

    // A fresh start-up over the image: only what is on the disk counts.
    use_disks({image});
    int count = 0;
    packed_time shutdown = 0;
    kx_set_fs_adapt(1);
    ASSERT_EQ(0, kx_file_sys_init(&count, &shutdown));
    EXPECT_EQ(std::make_tuple(2, 1), std::make_tuple(count, (int)get_pdp(0, 1)->fill_count));
    for (int part = 0; part < 2; part++) {
        std::set<std::string> seen;
        uint64_t bytes = 0;
        const std::string root = "/mnt/idea" + std::to_string(part);
        for (const kx_find_record& day : listing(root))
            for (int ch : {1, 2, 5})
                for (const kx_find_record& rec :
                     listing(root + "/" + day.name + "/00" + std::to_string(ch) + "/*")) {
                    // A record across midnight is listed under both days.
                    if (!seen.insert(rec.name).second) continue;
                    SCOPED_TRACE(std::string(day.name) + "/" + rec.name);
                    bytes += rec.size;
                    int y, mo, d, h, mi, s;
                    ASSERT_EQ(3, sscanf(day.name, "%d-%d-%d", &y, &mo, &d));
                    ASSERT_EQ(3, sscanf(rec.name, "%d.%d.%d-", &h, &mi, &s));
                    std::vector<uint8_t> want(rec.size);
                    mkdisk_pattern(ch, make_packed_time(y, mo, d, h, mi, s), 0, want.data(), want.size());
                    EXPECT_TRUE(want == read_path(root + "/" + day.name + "/00" + std::to_string(ch) + "/" +
                                                  rec.name));
                }
        EXPECT_EQ(std::make_tuple(report.parts[part].records, report.parts[part].data_bytes),
                  std::make_tuple((uint32_t)seen.size(), bytes));
    }
}
