// The four diagnostic tables, printed from driver slots set up in memory (no
// working driver of types 0, 3 or 4, so the dump reads no disk), compared
// whole with golden files.
#include <gtest/gtest.h>

#include <functional>

#include "kxtime.h"
#include "support/log_capture.h"
#include "support/test_volume.h"

namespace {

packed_time at(int day, int hour, int minute, int second = 0) {
    return make_packed_time(2009, 5, day, hour, minute, second);
}

kx_driver* driver(int slot, uint32_t disk, uint32_t part, uint32_t type = 1) {
    kx_driver* d = &g_drivers[slot];
    *d = kx_driver{};
    d->type = type;
    d->disk_no = disk;
    d->part = part;
    d->sections = g_section_buf[slot];
    d->collision = g_collision_buf[slot];
    for (int k = 0; k < KX_SECTION_NUM; k++) d->sections[k] = time_section{};
    return d;
}

void set_times(kx_driver* d, packed_time s1, packed_time e1, packed_time s2 = 0, packed_time e2 = 0) {
    d->start_time1 = s1;
    d->end_time1 = e1;
    d->start_time2 = s2;
    d->end_time2 = e2;
}

// Geometry and operation rows: every column's width, the ring's "next", the
// star of the working driver, the open/closed flag, and 32-bit values.
void rows() {
    kx_driver *a = driver(0, 1, 2), *b = driver(3, 0, 3, 2);
    a->next = b;
    a->total_clus = 238462;
    a->temp_off = 34;
    a->index_off = 30976;
    a->dir_off = 187;
    a->data_off = 31488;
    a->rev_clus = 64;
    a->sector_per_clus = 4096;
    a->status = 0x55;
    a->fill_count = 3;
    a->current_cluster = 1234;
    set_times(a, at(31, 10, 20, 30), make_packed_time(2009, 6, 1, 1, 2, 3), at(1, 0, 0), at(2, 23, 59, 59));
    a->start_cluster2 = 1490;
    a->end_cluster2 = 4000000000u;
    b->err_status = KX_ERR_STATUS_FAILED;
    g_work_driver[2] = b;
}

// The chart: times shared by several drivers take one column; a section
// whose start is missing shows nothing, one whose end is missing runs on to
// the last column.
void chart() {
    set_times(driver(0, 0, 0), at(2, 10, 0), at(4, 10, 0));
    set_times(driver(1, 0, 1), at(2, 10, 0), at(3, 10, 0), at(1, 10, 0), at(2, 10, 0));
    set_times(driver(2, 1, 0), 0, at(5, 10, 0));
    set_times(driver(3, 1, 1), at(3, 10, 0), 0);
}

// 64 places on the axis: the earliest 64 times stay, later ones fall off
// (their sections run to the last column) or are never taken in.
void chart_full() {
    auto t = [](int minute) { return time_add(at(1, 0, 0), 60 * minute); };
    set_times(driver(0, 0, 0), t(63), t(70), t(71), t(72));
    for (int i = 1; i <= 16; i++) set_times(driver(i, i / 4, i % 4), t(4 * i - 4), t(4 * i - 3), t(4 * i - 2), t(4 * i - 1));
    set_times(driver(17, 4, 1), t(5), t(90));
}

// Section rows: entries whose clusters or times are out of order are marked,
// and the cluster columns print as the recorder's signed numbers.
void sections() {
    kx_driver* d = driver(0, 0, 1);
    d->collision_num = 2;
    const packed_time early = at(31, 10, 0), late = at(31, 11, 0);
    d->sections[0] = {d, nullptr, late, early, 0, 5, 0, 0, 0};
    d->sections[1] = {d, nullptr, early, late, 10, 9, 0, 0, 0};
    d->sections[2] = {d, nullptr, late, early, 10, 20, 0, 0, 0};
    d->sections[3] = {d, nullptr, early, early, 4000000000u, 4000000000u, 0, 0, 0};
}

// A collision count from a damaged descriptor never makes the dump read past
// the 130 entries of the table.
void huge_collision_count() { driver(0, 0, 0)->collision_num = 100000; }

}  // namespace

// Catches any change to the tables' text: widths, order, marks and limits.
TEST(Dump, TablesMatchTheirGoldenText) {
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"dump_rows.txt", rows},         {"dump_chart.txt", chart},
        {"dump_chart_full.txt", chart_full}, {"dump_sections.txt", sections},
        {"dump_huge_collision_count.txt", huge_collision_count},
    };
    for (const auto& [name, set_up] : cases) {
        for (kx_driver& d : g_drivers) {
            d = kx_driver{};
            d.type = KX_FREE_SLOT;
        }
        for (kx_driver*& w : g_work_driver) w = nullptr;
        kx_set_fs_adapt(0);
        set_up();
        LogCapture log;
        kx_dump_drivers();
        EXPECT_GOLDEN(std::string("volume/golden/") + name, log.text());
    }
    // Under the adapter flag there is no working driver to star.
    rows();
    kx_set_fs_adapt(1);
    LogCapture log;
    kx_dump_drivers();
    EXPECT_TRUE(log.contains("\n|0.3 -> ?.?| 0| X|")) << log.text();
}
