// Start-up: the ring of drivers, its working driver, the dump of a damaged
// driver table.
#include <gtest/gtest.h>

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

}  // namespace

// Mended: a damaged collision count never reads the dump past the 130
// entries of the section table.
TEST(StartUp, TheDumpOfADamagedCollisionCountStaysInTheTable) {
    for (kx_driver& d : g_drivers) d.type = KX_FREE_SLOT;
    for (kx_driver*& w : g_work_driver) w = nullptr;
    slot(0, 0, 0)->collision_num = 100000;
    LogCapture log;
    kx_dump_drivers();
    EXPECT_GOLDEN("volume/golden/dump_huge_collision_count.txt", log.text());
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
