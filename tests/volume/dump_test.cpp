// The four diagnostic tables, printed from driver slots set up in memory
// (no working driver of types 0, 3 or 4, so the dump reads no disk).
#include <gtest/gtest.h>

#include <string>

#include "kxtime.h"
#include "support/log_capture.h"
#include "volume/volume.h"

namespace {

packed_time at(int day, int hour, int minute, int second = 0) {
    return make_packed_time(2009, 5, day, hour, minute, second);
}

class Dump : public ::testing::Test {
   protected:
    void SetUp() override {
        for (int i = 0; i < KX_MAX_DRIVERS; i++) {
            g_drivers[i] = kx_driver{};
            g_drivers[i].type = KX_FREE_SLOT;
        }
        for (kx_driver*& w : g_work_driver) w = nullptr;
        kx_set_fs_adapt(0);
    }

    kx_driver* driver(int slot, uint32_t disk, uint32_t part, uint32_t type = 1) {
        kx_driver* d = &g_drivers[slot];
        d->type = type;
        d->disk_no = disk;
        d->part = part;
        d->sections = g_section_buf[slot];
        d->collision = g_collision_buf[slot];
        for (int k = 0; k < KX_SECTION_NUM; k++) d->sections[k] = time_section{};
        return d;
    }
    // The chart row of a driver: its 64 columns.
    std::string chart_row(const std::string& columns) {
        return columns + std::string(64 - columns.size(), ' ');
    }

    LogCapture m_log;
};

TEST_F(Dump, GeometryAndOperationRows) {
    kx_driver* a = driver(0, 1, 2);
    kx_driver* b = driver(3, 0, 3, 2);
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
    a->start_time1 = at(31, 10, 20, 30);
    a->end_time1 = make_packed_time(2009, 6, 1, 1, 2, 3);
    a->start_cluster2 = 1490;
    a->end_cluster2 = 4000000000u;
    a->start_time2 = at(1, 0, 0);
    a->end_time2 = at(2, 23, 59, 59);
    b->err_status = KX_ERR_STATUS_FAILED;
    g_work_driver[2] = b;

    kx_dump_drivers();
    EXPECT_TRUE(m_log.contains(
        "\n|1.2 -> 0.3|   1|     238462|        34|      30976|      187|     31488|        64|"
        "      4096|0x0055|\n"));
    EXPECT_TRUE(m_log.contains(
        "\n|0.3 -> ?.?|   2|          0|         0|          0|        0|         0|         0|"
        "         0|0x0000|\n"));
    EXPECT_TRUE(
        m_log.contains("\n|1.2 -> 0.3| 3| O|    1234|05-31 10:20:30|      64|06-01 01:02:03|    1234|"
                       "05-01 00:00:00|    1490|05-02 23:59:59|4000000000|\n"));
    EXPECT_TRUE(
        m_log.contains("\n*0.3 -> ?.?| 0| X|       0|00-00 00:00:00|       0|00-00 00:00:00|       0|"
                       "00-00 00:00:00|       0|00-00 00:00:00|       0|\n"))
        << "the working driver is starred";

    m_log.clear();
    kx_set_fs_adapt(1);
    kx_dump_drivers();
    EXPECT_TRUE(m_log.contains("\n|0.3 -> ?.?| 0| X|")) << "no working driver under the adapter flag";
}

// Times shared by several drivers take one column; a section whose start is
// missing shows nothing, one whose end is missing runs to the last column.
TEST_F(Dump, TheChartPlacesEveryDriverOnOneAxis) {
    kx_driver* a = driver(0, 0, 0);
    a->start_time1 = at(2, 10, 0);
    a->end_time1 = at(4, 10, 0);
    kx_driver* b = driver(1, 0, 1);
    b->start_time1 = at(2, 10, 0);
    b->end_time1 = at(3, 10, 0);
    b->start_time2 = at(1, 10, 0);
    b->end_time2 = at(2, 10, 0);
    kx_driver* c = driver(2, 1, 0);
    c->end_time1 = at(5, 10, 0);
    kx_driver* d = driver(3, 1, 1);
    d->start_time1 = at(3, 10, 0);

    kx_dump_drivers();
    EXPECT_TRUE(m_log.contains("|   0. 0  |" + chart_row(" __") + "|\n"));
    EXPECT_TRUE(m_log.contains("|   0. 1  |" + chart_row("__") + "|\n"));
    EXPECT_TRUE(m_log.contains("|   1. 0  |" + chart_row("") + "|\n"));
    EXPECT_TRUE(m_log.contains("|   1. 1  |" + chart_row("  " + std::string(62, '_')) + "|\n"));
}

// 64 places on the axis: the earliest 64 times stay, later ones fall off or
// are never taken in.
TEST_F(Dump, TheChartKeepsTheEarliestSixtyFourTimes) {
    packed_time base = at(1, 0, 0);
    auto t = [base](int minute) { return time_add(base, 60 * minute); };
    kx_driver* first = driver(0, 0, 0);
    first->start_time1 = t(63);
    first->end_time1 = t(70);
    first->start_time2 = t(71);
    first->end_time2 = t(72);
    for (int i = 1; i <= 16; i++) {
        kx_driver* d = driver(i, (uint32_t)i / 4, (uint32_t)i % 4);
        int b = 4 * (i - 1);
        d->start_time1 = t(b);
        d->end_time1 = t(b + 1);
        d->start_time2 = t(b + 2);
        d->end_time2 = t(b + 3);
    }
    kx_driver* last = driver(17, 4, 1);  // once the axis is full
    last->start_time1 = t(5);
    last->end_time1 = t(90);

    kx_dump_drivers();
    EXPECT_TRUE(m_log.contains("|   0. 0  |" + chart_row(std::string(63, ' ') + "_") + "|\n"))
        << "its end fell off the axis: the section runs to the last column";
    EXPECT_TRUE(m_log.contains("|   0. 1  |" + chart_row("_ _") + "|\n"));
    EXPECT_TRUE(m_log.contains("|   4. 0  |" + chart_row(std::string(60, ' ') + "_ _") + "|\n"));
    EXPECT_TRUE(m_log.contains("|   4. 1  |" + chart_row("     " + std::string(59, '_')) + "|\n"));
}

TEST_F(Dump, SectionRowsMarkWhatCannotBeASection) {
    kx_driver* d = driver(0, 0, 1);
    d->collision_num = 2;
    const packed_time early = at(31, 10, 0), late = at(31, 11, 0);
    d->sections[0] = {d, nullptr, late, early, 0, 5, 0, 0, 0};
    d->sections[1] = {d, nullptr, early, late, 10, 9, 0, 0, 0};
    d->sections[2] = {d, nullptr, late, early, 10, 20, 0, 0, 0};
    d->sections[3] = {d, nullptr, early, early, 4000000000u, 4000000000u, 0, 0, 0};

    kx_dump_drivers();
    EXPECT_TRUE(
        m_log.contains("|---------|----------|----------|-------------------|-------------------|\n"
                       "|   0. 1  |        0 |        5 | 09-05-31 11:00:00 | 09-05-31 10:00:00 |\n"
                       "|   0. 1  |       10 |        9 | 09-05-31 10:00:00 | 09-05-31 11:00:00 |  (error)\n"
                       "|   0. 1  |       10 |       20 | 09-05-31 11:00:00 | 09-05-31 10:00:00 |  (error)\n"
                       "|   0. 1  |  -294967296 |  -294967296 | 09-05-31 10:00:00 | 09-05-31 10:00:00 |\n"
                       " ---"));
}

// A collision count from a damaged descriptor never makes the dump read
// past the 130 entries of the table.
TEST_F(Dump, SectionRowsStopAtTheTable) {
    kx_driver* d = driver(0, 0, 0);
    d->collision_num = 100000;
    kx_dump_drivers();
    const std::string row = "|   0. 0  |        0 |        0 | 00-00-00 00:00:00 | 00-00-00 00:00:00 |\n";
    size_t rows = 0;
    for (size_t p = m_log.text().find(row); p != std::string::npos; p = m_log.text().find(row, p + 1)) rows++;
    EXPECT_EQ((size_t)KX_SECTION_NUM, rows);
}

}  // namespace
