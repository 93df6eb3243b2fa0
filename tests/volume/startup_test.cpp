// Start-up over sets of disks and the four diagnostic tables (printed text
// compared whole with golden files), the ring of drivers with its working
// driver, and the hand-over when the working driver is full. Volumes have
// 2^20 sectors and 64 sectors per cluster: 16280 clusters, 327 reserved.
#include <gtest/gtest.h>

#include <functional>

#include "kxtime.h"
#include "support/test_volume.h"

namespace {

using K = kx_driver;
const uint64_t kSize = 1u << 20;
const uint64_t kFirst = 2048;

packed_time at(int hour, int minute, int day = 31) {
    return make_packed_time(2009, 5, day, hour, minute, 0);
}

kx_driver* slot(int i, uint32_t disk, uint32_t part, uint32_t type = 1) {
    kx_driver* d = &g_drivers[i];
    *d = kx_driver{};
    set_fields(d, {{&K::type, type}, {&K::disk_no, disk}, {&K::part, part}});
    d->sections = g_section_buf[i];
    d->collision = g_collision_buf[i];
    for (int k = 0; k < KX_SECTION_NUM; k++) d->sections[k] = time_section{};
    return d;
}

void set_times(kx_driver* d, packed_time s1, packed_time e1, packed_time s2 = 0, packed_time e2 = 0) {
    set_fields(d, {{&K::start_time1, s1}, {&K::end_time1, e1}, {&K::start_time2, s2}, {&K::end_time2, e2}});
}

// Dump scenarios, set up in memory (no working driver of types 0, 3 or 4, so
// the dump reads no disk).
const std::pair<const char*, std::function<void()>> k_dumps[] = {
    // Every column's width, the ring's "next", the working driver's star,
    // the open/closed flag and 32-bit values.
    {"dump_rows.txt",
     [] {
         kx_driver *a = slot(0, 1, 2), *b = slot(3, 0, 3, 2);
         a->next = b;
         set_fields(a, {{&K::total_clus, 238462},
                        {&K::temp_off, 34},
                        {&K::index_off, 30976},
                        {&K::dir_off, 187},
                        {&K::data_off, 31488},
                        {&K::rev_clus, 64},
                        {&K::sector_per_clus, 4096},
                        {&K::status, 0x55},
                        {&K::current_cluster, 1234},
                        {&K::start_cluster2, 1490},
                        {&K::end_cluster2, 4000000000u}});
         a->fill_count = 3;
         set_times(a, make_packed_time(2009, 5, 31, 10, 20, 30), make_packed_time(2009, 6, 1, 1, 2, 3),
                   at(0, 0, 1), make_packed_time(2009, 5, 2, 23, 59, 59));
         b->err_status = KX_ERR_STATUS_FAILED;
         g_work_driver[2] = b;
     }},
    // Shared times take one column; a section without a start shows nothing,
    // one without an end runs to the last column.
    {"dump_chart.txt",
     [] {
         set_times(slot(0, 0, 0), at(10, 0, 2), at(10, 0, 4));
         set_times(slot(1, 0, 1), at(10, 0, 2), at(10, 0, 3), at(10, 0, 1), at(10, 0, 2));
         set_times(slot(2, 1, 0), 0, at(10, 0, 5));
         set_times(slot(3, 1, 1), at(10, 0, 3), 0);
     }},
    // 64 places: the earliest 64 times stay, later ones fall off the axis
    // (their sections run to the last column) or are never taken in.
    {"dump_chart_full.txt",
     [] {
         auto t = [](int minute) { return time_add(at(0, 0, 1), 60 * minute); };
         set_times(slot(0, 0, 0), t(63), t(70), t(71), t(72));
         for (int i = 1; i <= 16; i++)
             set_times(slot(i, i / 4, i % 4), t(4 * i - 4), t(4 * i - 3), t(4 * i - 2), t(4 * i - 1));
         set_times(slot(17, 4, 1), t(5), t(90));
     }},
    // Entries with clusters or times out of order are marked; clusters print
    // as the recorder's signed numbers.
    {"dump_sections.txt",
     [] {
         kx_driver* d = slot(0, 0, 1);
         d->collision_num = 2;
         d->sections[0] = {d, nullptr, at(11, 0), at(10, 0), 0, 5, 0, 0, 0};
         d->sections[1] = {d, nullptr, at(10, 0), at(11, 0), 10, 9, 0, 0, 0};
         d->sections[2] = {d, nullptr, at(11, 0), at(10, 0), 10, 20, 0, 0, 0};
         d->sections[3] = {d, nullptr, at(10, 0), at(10, 0), 4000000000u, 4000000000u, 0, 0, 0};
     }},
    // A damaged collision count never reads past the 130 table entries.
    {"dump_huge_collision_count.txt", [] { slot(0, 0, 0)->collision_num = 100000; }},
};

}  // namespace

// Catches a wrong line, row or order anywhere in the start-up text, a
// failing disk stopping the others, and writes to disks that do not mount.
TEST(StartUp, PrintsItsTextWholeForNoneOneAndSeveralDisks) {
    TestDisks none({16});
    use_disks({none.dir.file("absent.img")});
    EXPECT_EQ(7, none.start_up());
    EXPECT_EQ(0, none.count);
    EXPECT_GOLDEN("volume/golden/startup_no_disk.txt", none.log.text());
    TestDisks one({kFirst + kSize});
    one.format(0, 1, kSize, 64);
    EXPECT_EQ(0, one.start_up());
    EXPECT_EQ(1, one.count);
    EXPECT_GOLDEN("volume/golden/startup_one_volume.txt", one.log.text());
    // Disk 0: two volumes and an empty entry; disk 1: no partition table;
    // disk 2: a partition whose descriptor has no check word.
    TestDisks several({kFirst + 2 * kSize, 4096, kFirst + 65536});
    several.format(0, 2, kSize, 64);
    kx_partition table[4] = {{kFirst, 65536}, {0, 0}, {0, 0}, {0, 0}};
    ASSERT_EQ(0, kx_write_partitions(2, table));
    several.put_sector(kFirst + KX_TEMP_OFF, sector_bytes(SECTOR_SIZE, 0xA5), 2);
    uint64_t digest1 = file_digest(several.image(1)), digest2 = file_digest(several.image(2));
    EXPECT_EQ(0, several.start_up());
    EXPECT_EQ(2, several.count);
    EXPECT_GOLDEN("volume/golden/startup_three_disks.txt", several.log.text());
    EXPECT_EQ(std::vector<uint64_t>({digest1, digest2}),
              std::vector<uint64_t>({file_digest(several.image(1)), file_digest(several.image(2))}));
}

// Catches any change to the dump's widths, order, marks and limits, and a
// star on the working driver under the adapter flag.
TEST(StartUp, DumpsMatchTheirGoldenText) {
    for (const auto& [name, set_up] : k_dumps) {
        for (kx_driver& d : g_drivers) d.type = KX_FREE_SLOT;
        for (kx_driver*& w : g_work_driver) w = nullptr;
        kx_set_fs_adapt(0);
        set_up();
        LogCapture log;
        kx_dump_drivers();
        EXPECT_GOLDEN(std::string("volume/golden/") + name, log.text());
    }
    k_dumps[0].second();
    kx_set_fs_adapt(1);
    LogCapture log;
    kx_dump_drivers();
    EXPECT_TRUE(log.contains("\n|0.3 -> ?.?| 0| X|")) << log.text();
}

// The working driver is the one with the latest end_time1 (the lower slot on
// a tie); the ring runs on in ascending start_time1 (slot order on a tie); a
// driver with a transfer error drops out.
TEST(StartUp, TheRingStartsAtTheNewestDriverAndRunsByStartTime) {
    TestDisks disks({kFirst + 2 * kSize, kFirst + 2 * kSize});
    disks.format(0, 2, kSize, 64);
    disks.format(1, 2, kSize, 64);
    disks.start_up();
    const packed_time times[4][2] = {
        {at(8, 0), at(10, 0)}, {at(9, 0), at(12, 0)}, {at(7, 0), at(12, 0)}, {at(8, 0), at(11, 0)}};
    for (int i = 0; i < 4; i++) {
        set_times(get_pdp(i / 2, i % 2), times[i][0], times[i][1]);
        ASSERT_EQ(0, save_pdp(get_pdp(i / 2, i % 2)));
    }
    EXPECT_EQ(0, disks.start_up());
    kx_driver *a = get_pdp(0, 0), *b = get_pdp(0, 1), *c = get_pdp(1, 0), *d = get_pdp(1, 1);
    EXPECT_EQ(b, g_work_driver[0]);
    EXPECT_EQ(4, g_driver_num[0]);
    const kx_driver* ring[] = {b, c, a, d, b};
    for (int i = 0; i < 4; i++)
        EXPECT_TRUE(ring[i]->next == ring[i + 1] && ring[i + 1]->prev == ring[i]) << i;
    for (const char* row : {"\n|0.0 -> 1.1|", "\n*0.1 -> 1.0|", "\n|1.0 -> 0.0|", "\n|1.1 -> 0.1|"})
        EXPECT_TRUE(disks.log.contains(row)) << row;
    b->err_status = KX_ERR_STATUS_FAILED;
    EXPECT_EQ(0, link_drivers(0));
    EXPECT_EQ(c, g_work_driver[0]);
    EXPECT_EQ(3, g_driver_num[0]);
    EXPECT_TRUE(c->next == a && a->next == d && d->next == c);
}

// Under the adapter flag a full working driver wraps in place, saved closed
// (status 0x55, fill_count counted); the other volume is left alone.
TEST(StartUp, WithTheAdapterFlagASwitchWrapsTheWorkingDriverInPlace) {
    TestDisks disks({kFirst + 2 * kSize});
    disks.format(0, 2, kSize, 64);
    kx_set_fs_adapt(1);
    disks.start_up();
    kx_driver* work = g_work_driver[0];
    ASSERT_EQ(work, get_pdp(0, 0));
    sector_bytes other = disks.sector(kFirst + kSize + KX_TEMP_OFF);
    switch_work_driver(work);
    EXPECT_EQ(work, g_work_driver[0]);
    EXPECT_EQ(work->rev_clus - 1, work->current_cluster);
    sector_bytes desc = disks.sector(kFirst + KX_TEMP_OFF);
    EXPECT_EQ(KX_STATUS_CLOSED, get_le32(desc.data() + 12));
    EXPECT_EQ(1, desc[8]);
    EXPECT_EQ(other, disks.sector(kFirst + kSize + KX_TEMP_OFF));
}

// Without the flag the writer hands over to the next driver: opened where it
// stopped (a collision when the clock lies before its end), or given a new
// pass (section 2 from cluster 256) when it is full as well.
TEST(StartUp, WithoutTheAdapterFlagTheWriterMovesToTheNextDriver) {
    TestDisks disks({kFirst + 2 * kSize});
    disks.format(0, 2, kSize, 64);
    disks.start_up();
    kx_driver *a = get_pdp(0, 0), *b = get_pdp(0, 1);
    a->end_time1 = at(11, 0);
    link_drivers(0);
    ASSERT_EQ(a, g_work_driver[0]);
    set_fields(b, {{&K::end_time1, at(13, 0)}, {&K::current_cluster, 500}});  // after the clock's 12:00
    switch_work_driver(a);
    EXPECT_EQ(b, g_work_driver[0]);
    EXPECT_EQ(KX_STATUS_CLOSED, get_le32(disks.sector(kFirst + KX_TEMP_OFF).data() + 12));
    sector_bytes desc = disks.sector(kFirst + kSize + KX_TEMP_OFF);
    EXPECT_EQ(std::vector<uint32_t>({0, 1, 501}),
              std::vector<uint32_t>({get_le32(&desc[12]), get_le32(&desc[160]), b->collision[0]}));
    EXPECT_TRUE(disks.log.contains("Set new collision at cluster 500 in work driver\n"));
    set_fields(a, {{&K::current_cluster, a->total_clus - 10}, {&K::end_time1, at(9, 0)}});
    switch_work_driver(b);
    EXPECT_EQ(a, g_work_driver[0]);
    desc = disks.sector(kFirst + KX_TEMP_OFF);
    const uint32_t words[][2] = {{16, at(12, 0)},          {24, a->rev_clus - 1}, {28, 256},
                                 {32, a->total_clus - 10}, {40, at(9, 0)},        {160, 0}};
    for (const auto& w : words) EXPECT_EQ(w[1], get_le32(desc.data() + w[0])) << "word " << w[0];
}
