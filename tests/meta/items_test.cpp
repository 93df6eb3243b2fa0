// Cluster index items and directory items on a freshly formatted volume,
// checked against the image's bytes past the buffer pool.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "disk.h"
#include "kxtime.h"
#include "meta/meta.h"
#include "platform/clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

const uint64_t kPartStart = 4096;
const uint64_t kPartSectors = 320000;  // 1224 clusters of 256 sectors, 64 reserved

class Items : public ::testing::Test {
   protected:
    void SetUp() override {
        pc_clock_set_fake({2009, 6, 15, 13, 45, 30}, 1000);
        use_disks({make_sparse_image(m_dir.file("d0.img"), kPartStart + kPartSectors)});
        ide_getinfo64(&g_disk_info);
        init_buf_pool();
        disk_reset_state();
        kx_partition parts[4] = {{kPartStart, kPartSectors}, {0, 0}, {0, 0}, {0, 0}};
        ASSERT_EQ(kx_write_partitions(0, parts), 0);
        ASSERT_EQ(kx_format_driver(0, 0, 256), 0);
        std::vector<uint8_t> desc = on_disk(kPartStart + KX_TEMP_OFF);
        pdp_decode(&m_d, desc.data());
        m_d.start_sector = kPartStart;
        m_d.disk_no = 0;
        ASSERT_EQ(m_d.total_clus, 1224u);
        g_same_second_seq = 0;
        m_log.clear();
    }
    void TearDown() override { pc_clock_use_real(); }

    std::vector<uint8_t> on_disk(uint64_t lba) {
        std::vector<uint8_t> s(SECTOR_SIZE);
        EXPECT_EQ(ide_read64(0, 1, (uint32_t)lba, 0, s.data()), 0);
        return s;
    }
    // A 32-bit field of a directory item as it is on the disk.
    uint32_t disk_word(uint32_t clus, int offset) {
        return get_le32(on_disk(dir_lba(clus)).data() + (clus % 16) * 32 + offset);
    }
    uint64_t dir_lba(uint32_t clus) { return kPartStart + m_d.dir_off + clus / 16; }
    uint64_t index_lba(uint32_t clus) { return kPartStart + m_d.index_off + clus / 512; }
    // A closed one-cluster file item with the given times and down link.
    kx_dir_item item(packed_time start, packed_time end, uint32_t down) {
        kx_dir_item it = {};
        it.item_type = ITEM_FIRST;
        it.start_time = start;
        it.end_time = end;
        it.down_clus = down;
        return it;
    }

    int store(uint32_t clus, kx_dir_item it, int flush) { return set_dir_item_info(&m_d, clus, &it, flush); }

    TempDir m_dir;
    LogCapture m_log;
    kx_driver m_d = {};
};

const packed_time kT = make_packed_time(2009, 6, 15, 10, 0, 0);

}  // namespace

// total_clus itself passes the check; one more is refused with the
// accessor's tag before the disk is touched.
TEST_F(Items, AccessorsRefuseClustersPastTheVolume) {
    kx_dir_item it = {};
    packed_time t;
    uint8_t b = 0;
    const std::vector<std::pair<int, std::function<int(uint32_t)>>> dir_accessors = {
        {166, [&](uint32_t c) { return get_dir_item_info(&m_d, c, &it); }},
        {180, [&](uint32_t c) { return get_dir_item_time(&m_d, c, &t); }},
        {197, [&](uint32_t c) { return get_dir_item_time1(&m_d, c, &t); }},
        {235, [&](uint32_t c) { return set_dir_item_info(&m_d, c, &it, 1); }},
        {255, [&](uint32_t c) { return set_dir_item_down_clus(&m_d, c, 0, 1); }},
        {267, [&](uint32_t c) { return set_dir_item_up_clus(&m_d, c, 0, 1); }},
        {280, [&](uint32_t c) { return set_dir_item_end_time(&m_d, c, kT, 1); }},
        {295, [&](uint32_t c) { return set_dir_last_item(&m_d, c, 0, kT, 1); }},
        {327, [&](uint32_t c) { return set_dir_first_item(&m_d, c, 0, 0, kT, 1); }},
    };
    ide_reset_counters();
    for (const auto& [tag, call] : dir_accessors) {
        m_log.clear();
        EXPECT_EQ(call(1225), 5) << tag;
        EXPECT_EQ(m_log.text(),
                  "GET_DIR_ITEM(0 1225) total:1224 failed line:" + std::to_string(tag) + "!!!!!!!!!!!!\n");
    }
    EXPECT_EQ(get_index_item_info(&m_d, 1225, &b), 5);
    EXPECT_EQ(set_index_item_info(&m_d, 0xFFFFFFFFu, &b, 1), 5);
    EXPECT_EQ(ide_get_counters(0).reads + ide_get_counters(0).writes, 0u);
    for (const auto& [tag, call] : dir_accessors) EXPECT_EQ(call(1224), 0) << tag;
    EXPECT_EQ(get_index_item_info(&m_d, 1224, &b), 0);
}

// Every field at its offset, little-endian; cluster 16 opens the second
// directory sector, cluster 512 the second index sector.
TEST_F(Items, ItemsLieAtTheirSectorsAndOffsets) {
    kx_dir_item it = {2,      0xA5,       0x1234,     0x11223344, 0x55667788, 0x99AABBCC, 0xDDEE,
                      0x0F1E, 0x2D3C4B5A, 0x69788796, 0xA1,       0xB2,       0xC3,       0xD4};
    const uint8_t expect[32] = {2,    0xA5, 0x34, 0x12, 0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66,
                                0x55, 0xCC, 0xBB, 0xAA, 0x99, 0xEE, 0xDD, 0x1E, 0x0F, 0x5A, 0x4B,
                                0x3C, 0x2D, 0x96, 0x87, 0x78, 0x69, 0xA1, 0xB2, 0xC3, 0xD4};
    ASSERT_EQ(set_dir_item_info(&m_d, 16, &it, 1), 0);
    EXPECT_EQ(dir_lba(16), kPartStart + 187 + 1);
    std::vector<uint8_t> s = on_disk(dir_lba(16));
    EXPECT_EQ(std::vector<uint8_t>(s.begin(), s.begin() + 32), std::vector<uint8_t>(expect, expect + 32));
    EXPECT_EQ(on_disk(dir_lba(15))[15 * 32], ITEM_RESERVED);  // untouched
    kx_dir_item back;
    ASSERT_EQ(get_dir_item_info(&m_d, 16, &back), 0);
    EXPECT_EQ(memcmp(&back, &it, sizeof it), 0);

    uint8_t a = 0x05, c = 0x07, r;
    ASSERT_EQ(set_index_item_info(&m_d, 511, &a, 1), 0);
    ASSERT_EQ(set_index_item_info(&m_d, 512, &c, 1), 0);
    EXPECT_EQ(on_disk(index_lba(0))[511], 0x05);
    EXPECT_EQ(on_disk(index_lba(512))[0], 0x07);
    ASSERT_EQ(get_index_item_info(&m_d, 512, &r), 0);
    EXPECT_EQ(r, 0x07);
}

// Without flush a change waits in the pool; a failed write-back is 1 and the
// change is not written later; an unreadable sector is 4.
TEST_F(Items, FlushWriteFailureAndReadFailure) {
    ASSERT_EQ(store(100, item(kT, kT, 0), 0), 0);
    EXPECT_EQ(on_disk(dir_lba(100))[4 * 32], 0);
    ASSERT_EQ(sync_disk(0), 0);
    EXPECT_EQ(on_disk(dir_lba(100))[4 * 32], ITEM_FIRST);

    ide_inject_fault(0, dir_lba(100), dir_lba(100), IDE_FAULT_WRITE);
    EXPECT_EQ(set_dir_item_end_time(&m_d, 100, kT + 5, 1), 1);
    ide_clear_faults();
    ASSERT_EQ(sync_disk(0), 0);
    EXPECT_EQ(disk_word(100, 8), kT);

    ide_inject_fault(0, dir_lba(800), dir_lba(800), IDE_FAULT_READ);
    ide_inject_fault(0, index_lba(1100), index_lba(1100), IDE_FAULT_READ);
    kx_dir_item out;
    uint8_t b = 1;
    EXPECT_EQ(get_dir_item_info(&m_d, 800, &out), 4);
    EXPECT_EQ(set_dir_item_up_clus(&m_d, 800, 1, 1), 4);
    EXPECT_EQ(get_index_item_info(&m_d, 1100, &b), 4);
    EXPECT_EQ(set_index_item_info(&m_d, 1100, &b, 1), 4);
}

TEST_F(Items, SettersChangeOnlyTheirFields) {
    kx_dir_item it = item(kT, kT, DOWN_OPEN), out;
    it.item_num = 3;
    ASSERT_EQ(set_dir_item_info(&m_d, 200, &it, 0), 0);
    ASSERT_EQ(set_dir_item_up_clus(&m_d, 200, 7, 0), 0);
    ASSERT_EQ(set_dir_first_item(&m_d, 200, 40, 9, kT + 1, 0), 0);
    ASSERT_EQ(set_dir_last_item(&m_d, 200, 12, kT + 2, 0), 0);
    ASSERT_EQ(get_dir_item_info(&m_d, 200, &out), 0);
    EXPECT_EQ(out.up_cluster_no, 7u);
    EXPECT_EQ(out.item_num, 9);
    EXPECT_EQ(out.down_clus, 0u);
    EXPECT_EQ(out.end_length, 12);
    EXPECT_EQ(out.end_time, kT + 2);
    EXPECT_EQ(out.start_time, kT);
}

// A closed last cluster whose end equals its start lasts one second; the
// advance stays in the cache until another change marks the sector.
TEST_F(Items, ClusterEndFollowsSuccessorOrAdvancesInCacheOnly) {
    const packed_time next_second = make_packed_time(2009, 6, 15, 10, 0, 1);
    ASSERT_EQ(store(200, item(kT, kT, 0), 1), 0);
    packed_time t = 0;
    ASSERT_EQ(get_dir_item_time1(&m_d, 200, &t), 0);
    EXPECT_EQ(t, next_second);
    ASSERT_EQ(get_dir_item_time1(&m_d, 200, &t), 0);
    EXPECT_EQ(t, next_second);
    ASSERT_EQ(sync_disk(0), 0);
    EXPECT_EQ(disk_word(200, 8), kT);
    ASSERT_EQ(set_dir_item_up_clus(&m_d, 201, 1, 1), 0);
    EXPECT_EQ(disk_word(200, 8), next_second);

    ASSERT_EQ(store(210, item(kT, kT + 7, DOWN_OPEN), 0), 0);
    ASSERT_EQ(store(220, item(kT, kT, 230), 0), 0);
    ASSERT_EQ(store(230, item(kT + 9, kT + 9, 0), 0), 0);
    ASSERT_EQ(store(240, item(kT, kT, 5000), 0), 0);
    ASSERT_EQ(get_dir_item_time1(&m_d, 210, &t), 0);
    EXPECT_EQ(t, kT + 7);
    ASSERT_EQ(get_dir_item_time1(&m_d, 220, &t), 0);
    EXPECT_EQ(t, kT + 9);
    m_log.clear();
    EXPECT_EQ(get_dir_item_time1(&m_d, 240, &t), 5);  // a damaged link
    EXPECT_TRUE(m_log.contains("GET_DIR_ITEM(0 5000) total:1224 failed line:180"));
}

// The writer's sequence: the link is written through at once only when the
// next cluster's item lies in another sector.
TEST_F(Items, DownLinkIsWrittenThroughAcrossSectors) {
    ASSERT_EQ(set_dir_item_end_time(&m_d, 100, kT, 0), 0);
    ASSERT_EQ(set_dir_item_down_clus(&m_d, 100, 116, 1), 0);
    EXPECT_EQ(disk_word(100, 12), 116u);

    ASSERT_EQ(set_dir_item_end_time(&m_d, 120, kT, 0), 0);
    ASSERT_EQ(set_dir_item_down_clus(&m_d, 120, 121, 1), 0);
    EXPECT_EQ(disk_word(120, 12), 0u);
    ASSERT_EQ(store(121, item(kT, kT, DOWN_OPEN), 1), 0);
    EXPECT_EQ(disk_word(120, 12), 121u);
}

TEST_F(Items, ProtectedIndexItemsKeepTheirValue) {
    uint8_t v, out;
    make_index_item(&v, 2, CLUS_TYPE_START);
    ASSERT_EQ(set_index_item_info(&m_d, 5, &v, 1), 0);  // a reserved cluster
    EXPECT_EQ(on_disk(index_lba(5))[5], INDEX_PROTECTED);
    uint8_t bad = 0xC5;
    ASSERT_EQ(set_index_item_info(&m_d, 300, &bad, 1), 0);
    ASSERT_EQ(set_index_item_info(&m_d, 300, &v, 1), 0);
    ASSERT_EQ(get_index_item_info(&m_d, 300, &out), 0);
    EXPECT_EQ(out, 0xC5);
    EXPECT_EQ(on_disk(index_lba(300))[300], 0xC5);
    make_index_item(&v, 70, CLUS_TYPE_FOLLOW);
    EXPECT_EQ(v, 6);
    make_index_item(&v, 37, CLUS_TYPE_RESUME);
    EXPECT_EQ(v, 0x65);
}

// Channel and record kind are split over bytes 1 and 29 and come back whole;
// the same-second counter numbers the files started within one second.
TEST_F(Items, NewItemsCarryChannelKindAndSameSecondSequence) {
    kx_dir_item a = {}, b, c, d, back;
    a.reserved = 0x5A;
    make_dir_item(&a, 37, 2, 0x0D, 3, ITEM_FIRST, 0, 500, 0, 0);
    EXPECT_EQ(a.b1, 5 + 64 * 1 + 16 * 2);
    EXPECT_EQ(a.b29, 0x0C + 2);
    EXPECT_EQ(a.start_time, make_packed_time(2009, 6, 15, 13, 45, 30));
    EXPECT_EQ(a.end_time, a.start_time);
    EXPECT_EQ(a.down_clus, DOWN_OPEN);
    EXPECT_EQ(a.reserved, 0x5A);
    ASSERT_EQ(set_dir_item_info(&m_d, 500, &a, 1), 0);
    ASSERT_EQ(get_dir_item_info(&m_d, 500, &back), 0);
    EXPECT_EQ(dir_item_channel(&back), 37u);
    EXPECT_EQ(dir_item_record_kind(&back), 0x0Du);
    EXPECT_EQ(dir_item_media_type(&back), 2u);

    make_dir_item(&b, 1, 2, 0, 0, ITEM_FIRST, 0, 501, 0, 0);
    make_dir_item(&c, 1, 2, 0, 0, ITEM_FOLLOW, 501, 501, 1, 0);
    make_dir_item(&d, 1, 2, 0, 0, ITEM_FIRST, 0, 502, 0, 0);
    EXPECT_EQ(a.same_second_seq, 0);
    EXPECT_EQ(b.same_second_seq, 1);
    EXPECT_EQ(c.same_second_seq, 2);
    EXPECT_EQ(d.same_second_seq, 2);
    g_same_second_seq = 255;
    make_dir_item(&d, 1, 2, 0, 0, ITEM_FIRST, 0, 502, 0, 0);
    EXPECT_EQ(g_same_second_seq, 0);
}
