// Mount-time recovery of a volume left open, checked on the disk bytes after
// the mount (whole power failures are the search oracle's); the cluster index
// backup; the user-data ring. Volumes start at sector 0, so partition offsets
// are disk sectors.
#include <gtest/gtest.h>

#include <memory>

#include "kxtime.h"
#include "support/test_volume.h"

namespace {

const packed_time t0 = make_packed_time(2021, 3, 4, 10, 0, 0);
packed_time at(int32_t seconds) {
    return time_add(t0, seconds);
}

class RecoverTest : public ::testing::Test {
   protected:
    // A formatted, mounted volume of `clusters` clusters at the disk's start.
    void make_volume(uint32_t spc, uint32_t clusters) {
        m_v.reset();
        m_v = std::make_unique<TestVolume>(6656 + (uint64_t)clusters * spc, spc, 0);
        ASSERT_NE(nullptr, m_v->pdp);
        R = m_v->pdp->rev_clus;
        m_v->log.clear();
    }
    void item(uint32_t c, uint8_t type, uint8_t ch, packed_time start, uint32_t down, uint32_t up,
              uint32_t first, uint16_t num, uint8_t img = 2) {
        const kx_dir_item it{type, ch, num, start, start, down, 0, 0, up, first, img, 0, 0, 0};
        ASSERT_EQ(0, set_dir_item_info(m_v->pdp, c, &it, 0));
    }
    // Writes the items and leaves the descriptor open with these words, as a
    // recorder that lost power leaves it; then mounts with that shutdown time.
    // `fill` counts the ring's wraps: with none, nothing older lies ahead.
    void crash_and_mount(packed_time shutdown, uint32_t current, uint32_t index_clus, uint32_t fill = 0) {
        ASSERT_EQ(0, sync_disk(0));
        for (auto [off, v] :
             {std::pair{8, fill}, {12, 0u}, {24, current}, {28, 0u}, {32, 0u}, {116, index_clus}})
            m_v->put_word(KX_TEMP_OFF, off, v);
        m_v->remount(shutdown);
    }
    // The disk's bytes before the data area.
    sector_bytes metadata() {
        sector_bytes bytes((size_t)m_v->pdp->data_off * 512);
        for (uint32_t s = 0; s < m_v->pdp->data_off; s += 16)
            EXPECT_EQ(0, ide_read64(0, 16, s, 0, &bytes[(size_t)s * 512]));
        return bytes;
    }
    // User-data ring item i, laid out through the pool.
    void put_ud(uint32_t i, uint8_t generation, uint32_t fir_clus) {
        buf_head* b = read_buf(0, m_v->pdp->ud_off + i / 32);
        ASSERT_NE(nullptr, b);
        b->data[(i % 32) * 16 + 11] = generation;
        put_le32(b->data + (i % 32) * 16 + 12, fir_clus);
        b->dirty = 1;
        release_buf(b);
        ASSERT_EQ(0, sync_disk(0));
    }
    static constexpr uint8_t k_rec[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0x0A, 7, 0xEE};

    std::unique_ptr<TestVolume> m_v;
    uint32_t R = 0;  // first ring cluster
};

}  // namespace

// The shutdown time is believed 0 to 300 s after the open cluster began: the
// length is estimated from the picture size (img 2: 128 sectors a second;
// 120 s gives 15,360, which the estimate caps at 4096). Mended: recovery also
// caps it at sector_per_clus, else reading the file runs into the next
// cluster. Otherwise the cluster counts as full and ends at its start.
TEST_F(RecoverTest, ShutdownTimeGivesTheEndWhenItIsBelievable) {
    struct {
        uint32_t spc;
        uint8_t img;
        int32_t after;  // shutdown, seconds after the open cluster's start
        uint16_t length;
        bool believed;
    } rows[] = {
        {4096, 2, 120, 4096, true}, {4096, 1, 30, 1920, true},  {4096, 2, 301, 4096, false},
        {4096, 2, -5, 4096, false}, {1024, 2, 120, 1024, true}, {1024, 1, 30, 1024, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.spc) + " img " + std::to_string(r.img) + " after " +
                     std::to_string(r.after));
        make_volume(r.spc, 40);
        item(R, ITEM_FIRST, 3, at(0), R + 1, 0, R, 0, r.img);
        item(R + 1, ITEM_FOLLOW, 3, at(60), DOWN_OPEN, R, R, 1, r.img);
        crash_and_mount(at(60 + r.after), R, R);
        packed_time end = r.believed ? at(60 + r.after) : at(60);
        kx_dir_item head = m_v->item(R), tail = m_v->item(R + 1);
        EXPECT_EQ(std::vector<uint32_t>({end, r.length, 1, r.length, 0, r.believed ? end : at(61)}),
                  std::vector<uint32_t>({head.end_time, head.end_length, head.item_num, tail.end_length,
                                         tail.down_clus, m_v->desc().end_time1}));
        // A second mount of the repaired volume changes nothing.
        const sector_bytes before = metadata();
        m_v->remount(g_shutdown_time);
        EXPECT_TRUE(before == metadata());
    }
}

// Start times falling back by more than ten seconds end the scan where the
// ring has wrapped: older data lies ahead. In a ring that never wrapped, or
// where a record of this pass runs on past the fall, the clock was set back:
// the scan goes on, and the collision the descriptor lost is noted.
TEST_F(RecoverTest, ScanPassesAStepBackOnlyWhereThisPassIsProven) {
    for (int32_t back : {10, 11}) {
        for (uint32_t fill : {0u, 1u}) {
            make_volume(64, 300);
            for (auto [c, t] : {std::pair{R, 0}, {R + 1, -back}, {R + 2, 3600}})
                item(c, ITEM_FIRST, 1, at(t), 0, 0, c, 0);
            crash_and_mount(0, R, R, fill);
            const bool ends = back == 11 && fill == 1;
            EXPECT_EQ(ends ? R : R + 2, m_v->desc().current_cluster);
            EXPECT_EQ(ends, m_v->log.contains("time out\n"));
            EXPECT_EQ(back == 11 && fill == 0 ? 1u : 0u, m_v->desc().collision_num);
        }
    }
    make_volume(64, 300);
    item(R, ITEM_FIRST, 1, at(0), R + 2, 0, R, 1);
    item(R + 1, ITEM_FIRST, 1, at(-3600), 0, 0, R + 1, 0);
    item(R + 2, ITEM_FOLLOW, 1, at(-3500), DOWN_OPEN, R, R, 1);
    crash_and_mount(0, R, R, 1);
    EXPECT_EQ(R + 2, m_v->desc().current_cluster);
    EXPECT_EQ(R + 1, get_le32(m_v->sector(m_v->desc().collision_off).data()));
}

// The index backup goes to the volume's last cluster in whole 16-sector
// chunks; restoring writes back only the sectors of the index area. Mended:
// an index area larger than a cluster is refused instead of running past
// the volume's end.
TEST_F(RecoverTest, CopyIndexSavesTheIndexAreaInTheLastCluster) {
    make_volume(4096, 40);
    kx_driver* pdp = m_v->pdp;
    uint8_t marker = 0x87;
    ASSERT_EQ(0, set_index_item_info(pdp, R + 3, &marker, 0));  // reaches the disk by the copy's flush
    uint64_t last = pdp->data_off + (uint64_t)(pdp->total_clus - 1) * 4096;
    ASSERT_EQ(0, copy_index(0, 0, 1));
    for (uint32_t s = 0; s < pdp->data_off - pdp->index_off; s++)
        ASSERT_EQ(m_v->sector(pdp->index_off + s), m_v->sector(last + s));
    EXPECT_EQ(marker, m_v->sector(last)[R + 3]);
    pdp->index_off = pdp->data_off - 100;  // 100 sectors: 7 chunks, 112 sectors
    for (int to_backup : {1, 0}) {
        ide_reset_counters();
        ASSERT_EQ(0, copy_index(0, 0, to_backup));
        ide_counters n = ide_get_counters(0);
        EXPECT_EQ(std::vector<uint64_t>({7, 112, to_backup ? 112u : 100u}),
                  std::vector<uint64_t>({n.reads, n.read_sectors, n.written_sectors}));
    }
    EXPECT_EQ(1, copy_index(0, 1, 1));  // no such driver
    make_volume(64, 300);
    ASSERT_EQ(0, sync_disk(0));
    ide_reset_counters();
    EXPECT_EQ(1, copy_index(0, 0, 1));
    EXPECT_EQ(0u, ide_get_counters(0).writes);
}

// Mended: a ring that is absent or lies outside the data area is refused
// ("ud area error!!!!") without a sector read or written; indices outside
// the ring are repaired to an empty ring from 1; when every item is in use
// the scans stop after one turn.
TEST_F(RecoverTest, UserDataDamagedRingWordsAreRefusedOrRepaired) {
    make_volume(64, 600);
    kx_driver* pdp = m_v->pdp;
    const kx_driver good = *pdp;
    const driver_field damage[] = {{&kx_driver::ud_item_num, 0},
                                   {&kx_driver::ud_item_num, 1},
                                   {&kx_driver::ud_item_num, 0xFFFFFFFF},
                                   {&kx_driver::ud_off, KX_TEMP_OFF}};
    for (const auto& [field, value] : damage) {
        *pdp = good;
        pdp->fill_count = 1;
        pdp->*field = value;
        ide_reset_counters();
        m_v->log.clear();
        uint32_t out = 0;
        EXPECT_EQ(std::vector<int>({1, 1, 1}), std::vector<int>({ud_add_item(pdp, 9, k_rec, &out),
                                                                 clean_ud_area(pdp), restore_ud_area(pdp)}));
        EXPECT_TRUE(m_v->log.contains("ud area error!!!!\n"));
        EXPECT_EQ(0u, ide_get_counters(0).reads + ide_get_counters(0).writes);
    }
    *pdp = good;
    set_fields(
        pdp, {{&kx_driver::ud_item_num, 40}, {&kx_driver::ud_first_item, 0}, {&kx_driver::ud_last_item, 40}});
    EXPECT_EQ(0, restore_ud_area(pdp));
    EXPECT_EQ(std::vector<uint32_t>({1, 1}), std::vector<uint32_t>({pdp->ud_first_item, pdp->ud_last_item}));
    pdp->ud_last_item = 0xFFFFFFF0u;
    uint32_t out = 0;
    EXPECT_EQ(0, ud_add_item(pdp, 70, k_rec, &out));
    EXPECT_EQ(1u, out);
    for (uint32_t i = 1; i < 40; i++) put_ud(i, 0, 100 + i);
    set_fields(pdp, {{&kx_driver::ud_first_item, 5}, {&kx_driver::ud_last_item, 6}});
    EXPECT_EQ(0, restore_ud_area(pdp));
    EXPECT_EQ(std::vector<uint32_t>({5, 5}), std::vector<uint32_t>({pdp->ud_first_item, pdp->ud_last_item}));
}
