// User-data ring: appending, expiry from the front, the mount-time repair,
// and descriptors whose ring words are damaged.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "meta/meta.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "volume/volume.h"

namespace {

class UserDataTest : public ::testing::Test {
protected:
    TempDir m_dir;
    LogCapture m_log;
    kx_driver* m_pdp = nullptr;
    const uint8_t m_rec[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0x0A, 7, 0xEE};

    void SetUp() override {
        const uint64_t size = 6656 + 600 * 64;
        use_disks({make_sparse_image(m_dir.file("disk.img"), size)});
        remount();
        kx_partition parts[4] = {{0, size}, {0, 0}, {0, 0}, {0, 0}};
        ASSERT_EQ(0, kx_write_partitions(0, parts));
        ASSERT_EQ(0, kx_format_driver(0, 0, 64));
        remount();
        ASSERT_NE(nullptr, m_pdp);
        m_log.clear();
    }
    void remount() {
        int count = 0;
        packed_time shutdown = 0;
        kx_file_sys_init(&count, &shutdown);
        m_pdp = get_pdp(0, 0);
    }
    // Sector of the ring on the disk that holds item i.
    std::array<uint8_t, 512> disk_sector_of(uint32_t i) {
        std::array<uint8_t, 512> s{};
        EXPECT_EQ(0, ide_read64(0, 1, m_pdp->ud_off + i / 32, 0, s.data()));
        return s;
    }
    uint32_t disk_fir_clus(uint32_t i) { return get_le32(&disk_sector_of(i)[(i % 32) * 16 + 12]); }
    void put_item(uint32_t i, uint8_t generation, uint32_t fir_clus) {
        buf_head* b = read_buf(0, m_pdp->ud_off + i / 32);
        ASSERT_NE(nullptr, b);
        b->data[(i % 32) * 16 + 11] = generation;
        put_le32(b->data + (i % 32) * 16 + 12, fir_clus);
        b->dirty = 1;
        release_buf(b);
        ASSERT_EQ(0, sync_disk(0));
    }
    uint32_t append(uint32_t fir_clus) {
        uint32_t out = 0;
        EXPECT_EQ(0, ud_add_item(m_pdp, fir_clus, m_rec, &out));
        return out;
    }
    static kx_driver disk_desc() {
        uint8_t s[512];
        EXPECT_EQ(0, ide_read64(0, 1, KX_TEMP_OFF, 0, s));
        kx_driver d{};
        pdp_decode(&d, s);
        return d;
    }
};

TEST_F(UserDataTest, AppendPlacesItemsInTheRing) {
    const uint32_t num = m_pdp->ud_item_num;
    m_pdp->fill_count = 2;
    m_pdp->ud_first_item = m_pdp->ud_last_item = num - 1;
    EXPECT_EQ(num - 1, append(777));
    EXPECT_TRUE(m_log.contains("ud_add_item() ud_first_item:524287, ud_last_item:524287, offset:31\n"));
    auto s = disk_sector_of(num - 1);
    EXPECT_EQ(0, memcmp(&s[496], m_rec, 11));
    EXPECT_EQ(2, s[496 + 11]);  // the generation replaces the record's last byte
    EXPECT_EQ(777u, get_le32(&s[496 + 12]));
    EXPECT_EQ(1u, disk_desc().ud_last_item);  // past the end continues at 1, saved at once
    EXPECT_EQ(1u, append(778));

    // Items 31 and 32 lie at the end of one sector and the start of the next.
    m_pdp->ud_first_item = m_pdp->ud_last_item = 31;
    EXPECT_EQ(31u, append(801));
    EXPECT_EQ(32u, append(802));
    EXPECT_EQ(801u, get_le32(&disk_sector_of(0)[496 + 12]));
    EXPECT_EQ(802u, get_le32(&disk_sector_of(32)[12]));

    CardNO(m_rec);
    EXPECT_TRUE(m_log.contains("CardNO: 07 0a090807060504030201\n"));
}

TEST_F(UserDataTest, ItemsExpireOnceAnEarlierPassIsOverwritten) {
    for (uint8_t fill : {0, 3}) {
        const uint32_t gen[] = {2, 2, 3, 2}, fir[] = {10, 20, 5, 30};
        for (uint32_t i = 1; i <= 4; i++) put_item(i, (uint8_t)gen[i - 1], fir[i - 1]);
        m_pdp->ud_first_item = 1;
        m_pdp->ud_last_item = 5;
        m_pdp->current_cluster = 500;
        m_pdp->fill_count = fill;
        m_log.clear();
        append(600);
        // A ring that never wrapped deletes nothing; otherwise generation 3
        // stops the deletion, however low its cluster.
        EXPECT_EQ(fill ? 3u : 1u, disk_desc().ud_first_item);
        EXPECT_EQ(fill ? 0u : 20u, disk_fir_clus(2));
        EXPECT_EQ(fill != 0, m_log.contains("del ud fir_clus=10\ndel ud fir_clus=20\n"));
    }
    // An earlier generation stops it too while the writer has not passed its file.
    put_item(3, 2, 500);
    EXPECT_EQ(0, clean_ud_area(m_pdp));
    EXPECT_EQ(3u, m_pdp->ud_first_item);
    put_item(3, 2, 499);
    EXPECT_EQ(0, clean_ud_area(m_pdp));
    EXPECT_EQ(5u, m_pdp->ud_first_item);  // 3 and 4 deleted; 5 was written in this pass
    EXPECT_EQ(0u, disk_fir_clus(4));
}

TEST_F(UserDataTest, RestoreFindsTheWritePositionAfterAnInterruptedAppend) {
    m_pdp->ud_last_item = 3;
    put_item(1, 0, 10);
    put_item(2, 0, 20);
    m_pdp->status = 0;  // a recording is running
    ASSERT_EQ(0, save_pdp(m_pdp));
    put_item(3, 0, 30);  // written, but the power went before the descriptor
    remount();
    EXPECT_TRUE(m_log.contains("restore_ud_area add 3-->1\n"));
    EXPECT_EQ(4u, disk_desc().ud_last_item);
    EXPECT_EQ(1u, disk_desc().ud_first_item);

    // From here items 3 and 4 are in use and the rest of the ring is empty.
    put_item(4, 0, 40);
    put_item(1, 0, 0);
    put_item(2, 0, 0);
    const uint32_t rows[][4] = {
        // first, last -> first, last
        {1, 5, 3, 5},  // the front moves past empty items
        {5, 9, 9, 9},  // empty up to the write position: an empty ring
        {3, 3, 3, 3},  // a full ring is left as it is
        {1, 3, 3, 5},  // both: the write position passes 3 and 4
    };
    for (const auto& r : rows) {
        m_pdp->ud_first_item = r[0];
        m_pdp->ud_last_item = r[1];
        EXPECT_EQ(0, restore_ud_area(m_pdp));
        EXPECT_EQ(r[2], m_pdp->ud_first_item) << r[0] << "-" << r[1];
        EXPECT_EQ(r[3], m_pdp->ud_last_item) << r[0] << "-" << r[1];
    }
}

TEST_F(UserDataTest, DamagedRingWordsAreRefusedOrRepaired) {
    const kx_driver good = *m_pdp;
    // An area that is absent or lies outside the data area: refused without
    // a sector read or written.
    for (auto damage : {+[](kx_driver* p) { p->ud_item_num = 0; }, +[](kx_driver* p) { p->ud_item_num = 1; },
                        +[](kx_driver* p) { p->ud_item_num = 0xFFFFFFFF; },
                        +[](kx_driver* p) { p->ud_off = KX_TEMP_OFF; }}) {
        *m_pdp = good;
        m_pdp->fill_count = 1;
        damage(m_pdp);
        ide_reset_counters();
        m_log.clear();
        uint32_t out = 0;
        EXPECT_EQ(1, ud_add_item(m_pdp, 9, m_rec, &out));
        EXPECT_EQ(1, clean_ud_area(m_pdp));
        EXPECT_EQ(1, restore_ud_area(m_pdp));
        EXPECT_TRUE(m_log.contains("ud area error!!!!\n"));
        EXPECT_EQ(0u, ide_get_counters(0).reads + ide_get_counters(0).writes);
    }
    // Indices outside the ring: repaired to an empty ring written from 1.
    *m_pdp = good;
    m_pdp->ud_item_num = 40;
    m_pdp->ud_first_item = 0;
    m_pdp->ud_last_item = 40;
    EXPECT_EQ(0, restore_ud_area(m_pdp));
    EXPECT_EQ(1u, m_pdp->ud_first_item);
    EXPECT_EQ(1u, m_pdp->ud_last_item);
    m_pdp->ud_last_item = 0xFFFFFFF0u;
    EXPECT_EQ(1u, append(70));

    // Every item in use: the scans stop after one turn of the ring.
    for (uint32_t i = 1; i < 40; i++) put_item(i, 0, 100 + i);
    m_pdp->ud_first_item = 5;
    m_pdp->ud_last_item = 6;
    EXPECT_EQ(0, restore_ud_area(m_pdp));
    EXPECT_EQ(5u, m_pdp->ud_last_item);
    EXPECT_EQ(5u, m_pdp->ud_first_item);
}

}  // namespace
