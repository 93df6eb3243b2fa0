// User-data ring: appending, expiry from the front, the mount-time repair,
// and descriptors whose ring words are damaged. The volume starts at sector
// 0, so partition offsets are disk sectors.
#include <gtest/gtest.h>

#include <cstring>

#include "support/test_volume.h"

namespace {

class UserData : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, v.pdp);
        v.log.clear();
    }
    // The fir_clus word of ring item i as the disk holds it.
    uint32_t disk_fir_clus(uint32_t i) { return get_le32(v.sector(v.pdp->ud_off + i / 32).data() + (i % 32) * 16 + 12); }
    void put_item(uint32_t i, uint8_t generation, uint32_t fir_clus) {
        buf_head* b = read_buf(0, v.pdp->ud_off + i / 32);
        ASSERT_NE(nullptr, b);
        b->data[(i % 32) * 16 + 11] = generation;
        put_le32(b->data + (i % 32) * 16 + 12, fir_clus);
        b->dirty = 1;
        release_buf(b);
        ASSERT_EQ(0, sync_disk(0));
    }
    uint32_t append(uint32_t fir_clus) {
        uint32_t out = 0;
        EXPECT_EQ(0, ud_add_item(v.pdp, fir_clus, m_rec, &out));
        return out;
    }

    TestVolume v{6656 + 600 * 64, 64, 0};
    const uint8_t m_rec[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0x0A, 7, 0xEE};
};

}  // namespace

// Catches an item written at the wrong place (the last item, an item split
// over two sectors), the generation not replacing the record's last byte, a
// write position that wraps to 0 instead of 1 or is not saved at once, and a
// misprinted CardNO line.
TEST_F(UserData, AppendPlacesItemsInTheRing) {
    const uint32_t num = v.pdp->ud_item_num;
    v.pdp->fill_count = 2;
    v.pdp->ud_first_item = v.pdp->ud_last_item = num - 1;
    EXPECT_EQ(num - 1, append(777));
    EXPECT_TRUE(v.log.contains("ud_add_item() ud_first_item:524287, ud_last_item:524287, offset:31\n"));
    sector_bytes s = v.sector(v.pdp->ud_off + (num - 1) / 32);
    EXPECT_EQ(0, memcmp(&s[496], m_rec, 11));
    EXPECT_EQ(2, s[496 + 11]);
    EXPECT_EQ(777u, get_le32(&s[496 + 12]));
    EXPECT_EQ(1u, v.desc().ud_last_item);
    EXPECT_EQ(1u, append(778));
    v.pdp->ud_first_item = v.pdp->ud_last_item = 31;
    EXPECT_EQ(31u, append(801));
    EXPECT_EQ(32u, append(802));
    EXPECT_EQ(801u, disk_fir_clus(31));
    EXPECT_EQ(802u, disk_fir_clus(32));
    CardNO(m_rec);
    EXPECT_TRUE(v.log.contains("CardNO: 07 0a090807060504030201\n"));
}

// Items expire from the front once the ring has wrapped (fill_count 0: never)
// and the writer has passed their file; a later generation stops the
// deletion however low its cluster.
TEST_F(UserData, ItemsExpireOnceAnEarlierPassIsOverwritten) {
    for (uint8_t fill : {0, 3}) {
        const uint8_t gen[] = {2, 2, 3, 2};
        const uint32_t fir[] = {10, 20, 5, 30};
        for (uint32_t i = 1; i <= 4; i++) put_item(i, gen[i - 1], fir[i - 1]);
        v.pdp->ud_first_item = 1;
        v.pdp->ud_last_item = 5;
        v.pdp->current_cluster = 500;
        v.pdp->fill_count = fill;
        v.log.clear();
        append(600);
        EXPECT_EQ(fill ? 3u : 1u, v.desc().ud_first_item);
        EXPECT_EQ(fill ? 0u : 20u, disk_fir_clus(2));
        EXPECT_EQ(fill != 0, v.log.contains("del ud fir_clus=10\ndel ud fir_clus=20\n"));
    }
    put_item(3, 2, 500);  // an earlier generation whose file the writer has not passed
    EXPECT_EQ(0, clean_ud_area(v.pdp));
    EXPECT_EQ(3u, v.pdp->ud_first_item);
    put_item(3, 2, 499);
    EXPECT_EQ(0, clean_ud_area(v.pdp));
    EXPECT_EQ(5u, v.pdp->ud_first_item);
    EXPECT_EQ(0u, disk_fir_clus(4));
}

// A recording interrupted after an item was written but before the
// descriptor: the mount finds the write position again. Then the front moves
// past empty items, an empty ring stays empty, a full one is left alone.
TEST_F(UserData, RestoreFindsTheWritePositionAfterAnInterruptedAppend) {
    v.pdp->ud_last_item = 3;
    put_item(1, 0, 10);
    put_item(2, 0, 20);
    v.pdp->status = 0;
    ASSERT_EQ(0, save_pdp(v.pdp));
    put_item(3, 0, 30);
    v.remount();
    EXPECT_TRUE(v.log.contains("restore_ud_area add 3-->1\n"));
    EXPECT_EQ(4u, v.desc().ud_last_item);
    EXPECT_EQ(1u, v.desc().ud_first_item);
    put_item(4, 0, 40);  // from here items 3 and 4 are in use, the rest empty
    put_item(1, 0, 0);
    put_item(2, 0, 0);
    const uint32_t rows[][4] = {{1, 5, 3, 5}, {5, 9, 9, 9}, {3, 3, 3, 3}, {1, 3, 3, 5}};  // first, last -> first, last
    for (const auto& r : rows) {
        v.pdp->ud_first_item = r[0];
        v.pdp->ud_last_item = r[1];
        EXPECT_EQ(0, restore_ud_area(v.pdp));
        EXPECT_EQ(std::vector<uint32_t>({r[2], r[3]}), std::vector<uint32_t>({v.pdp->ud_first_item, v.pdp->ud_last_item}))
            << r[0] << "-" << r[1];
    }
}

// Mended: a ring that is absent or lies outside the data area is refused
// ("ud area error!!!!") without a sector read or written; indices outside
// the ring are repaired to an empty ring from 1; when every item is in use
// the scans stop after one turn.
TEST_F(UserData, DamagedRingWordsAreRefusedOrRepaired) {
    const kx_driver good = *v.pdp;
    for (auto damage : {+[](kx_driver* p) { p->ud_item_num = 0; }, +[](kx_driver* p) { p->ud_item_num = 1; },
                        +[](kx_driver* p) { p->ud_item_num = 0xFFFFFFFF; }, +[](kx_driver* p) { p->ud_off = KX_TEMP_OFF; }}) {
        *v.pdp = good;
        v.pdp->fill_count = 1;
        damage(v.pdp);
        ide_reset_counters();
        v.log.clear();
        uint32_t out = 0;
        EXPECT_EQ(1, ud_add_item(v.pdp, 9, m_rec, &out));
        EXPECT_EQ(1, clean_ud_area(v.pdp));
        EXPECT_EQ(1, restore_ud_area(v.pdp));
        EXPECT_TRUE(v.log.contains("ud area error!!!!\n"));
        EXPECT_EQ(0u, ide_get_counters(0).reads + ide_get_counters(0).writes);
    }
    *v.pdp = good;
    v.pdp->ud_item_num = 40;
    v.pdp->ud_first_item = 0;
    v.pdp->ud_last_item = 40;
    EXPECT_EQ(0, restore_ud_area(v.pdp));
    EXPECT_EQ(1u, v.pdp->ud_first_item);
    EXPECT_EQ(1u, v.pdp->ud_last_item);
    v.pdp->ud_last_item = 0xFFFFFFF0u;
    EXPECT_EQ(1u, append(70));
    for (uint32_t i = 1; i < 40; i++) put_item(i, 0, 100 + i);
    v.pdp->ud_first_item = 5;
    v.pdp->ud_last_item = 6;
    EXPECT_EQ(0, restore_ud_area(v.pdp));
    EXPECT_EQ(5u, v.pdp->ud_last_item);
    EXPECT_EQ(5u, v.pdp->ud_first_item);
}
