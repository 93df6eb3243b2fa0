// Cluster index items and directory items on a freshly formatted volume
// (1224 clusters of 256 sectors, 64 reserved), checked against the disk's
// bytes past the buffer pool.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "kxtime.h"
#include "platform/clock.h"
#include "support/test_volume.h"

namespace {

const packed_time kT = make_packed_time(2009, 6, 15, 10, 0, 0);

class Items : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, v.pdp);
        ASSERT_EQ(1224u, v.pdp->total_clus);
        g_same_second_seq = 0;
        v.log.clear();
    }
    // A 32-bit field of a directory item as the disk holds it.
    uint32_t disk_word(uint32_t clus, int offset) { return get_le32(v.sector(dir_lba(clus)).data() + (clus % 16) * 32 + offset); }
    uint64_t dir_lba(uint32_t clus) { return v.start + v.pdp->dir_off + clus / 16; }
    uint64_t index_lba(uint32_t clus) { return v.start + v.pdp->index_off + clus / 512; }
    // A closed one-cluster file item with the given times and down link.
    int store(uint32_t clus, packed_time start, packed_time end, uint32_t down, int flush) {
        kx_dir_item it = {};
        it.item_type = ITEM_FIRST;
        it.start_time = start;
        it.end_time = end;
        it.down_clus = down;
        return set_dir_item_info(v.pdp, clus, &it, flush);
    }

    TestVolume v{320000, 256, 4096};
};

}  // namespace

// Mended: clusters past the volume would address sectors beyond the index
// and directory areas. total_clus itself passes the check; one more is
// refused with the accessor's tag before the disk is touched.
TEST_F(Items, AccessorsRefuseClustersPastTheVolume) {
    kx_driver* d = v.pdp;
    kx_dir_item it = {};
    packed_time t;
    uint8_t b = 0;
    const std::pair<int, std::function<int(uint32_t)>> accessors[] = {
        {166, [&](uint32_t c) { return get_dir_item_info(d, c, &it); }},
        {180, [&](uint32_t c) { return get_dir_item_time(d, c, &t); }},
        {197, [&](uint32_t c) { return get_dir_item_time1(d, c, &t); }},
        {235, [&](uint32_t c) { return set_dir_item_info(d, c, &it, 1); }},
        {255, [&](uint32_t c) { return set_dir_item_down_clus(d, c, 0, 1); }},
        {267, [&](uint32_t c) { return set_dir_item_up_clus(d, c, 0, 1); }},
        {280, [&](uint32_t c) { return set_dir_item_end_time(d, c, kT, 1); }},
        {295, [&](uint32_t c) { return set_dir_last_item(d, c, 0, kT, 1); }},
        {327, [&](uint32_t c) { return set_dir_first_item(d, c, 0, 0, kT, 1); }},
    };
    ide_reset_counters();
    for (const auto& [tag, call] : accessors) {
        v.log.clear();
        EXPECT_EQ(call(1225), 5) << tag;
        EXPECT_EQ(v.log.text(), "GET_DIR_ITEM(0 1225) total:1224 failed line:" + std::to_string(tag) + "!!!!!!!!!!!!\n");
    }
    EXPECT_EQ(get_index_item_info(d, 1225, &b), 5);
    EXPECT_EQ(set_index_item_info(d, 0xFFFFFFFFu, &b, 1), 5);
    EXPECT_EQ(ide_get_counters(0).reads + ide_get_counters(0).writes, 0u);
    for (const auto& [tag, call] : accessors) EXPECT_EQ(call(1224), 0) << tag;
    EXPECT_EQ(get_index_item_info(d, 1224, &b), 0);
}

// Catches a field at the wrong offset or byte order, and an item or index
// byte in the wrong sector (cluster 16 opens the second directory sector,
// 512 the second index sector).
TEST_F(Items, ItemsLieAtTheirSectorsAndOffsets) {
    kx_dir_item it = {2, 0xA5, 0x1234, 0x11223344, 0x55667788, 0x99AABBCC, 0xDDEE,
                      0x0F1E, 0x2D3C4B5A, 0x69788796, 0xA1, 0xB2, 0xC3, 0xD4};
    const sector_bytes expect = {2,    0xA5, 0x34, 0x12, 0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66,
                                 0x55, 0xCC, 0xBB, 0xAA, 0x99, 0xEE, 0xDD, 0x1E, 0x0F, 0x5A, 0x4B,
                                 0x3C, 0x2D, 0x96, 0x87, 0x78, 0x69, 0xA1, 0xB2, 0xC3, 0xD4};
    ASSERT_EQ(set_dir_item_info(v.pdp, 16, &it, 1), 0);
    sector_bytes s = v.sector(v.start + 187 + 1);
    EXPECT_EQ(sector_bytes(s.begin(), s.begin() + 32), expect);
    EXPECT_EQ(v.sector(dir_lba(15))[15 * 32], ITEM_RESERVED);
    kx_dir_item back;
    ASSERT_EQ(get_dir_item_info(v.pdp, 16, &back), 0);
    EXPECT_EQ(memcmp(&back, &it, sizeof it), 0);
    uint8_t a = 0x05, c = 0x07, r;
    ASSERT_EQ(set_index_item_info(v.pdp, 511, &a, 1), 0);
    ASSERT_EQ(set_index_item_info(v.pdp, 512, &c, 1), 0);
    EXPECT_EQ(v.sector(index_lba(0))[511], 0x05);
    EXPECT_EQ(v.sector(index_lba(512))[0], 0x07);
    ASSERT_EQ(get_index_item_info(v.pdp, 512, &r), 0);
    EXPECT_EQ(r, 0x07);
}

// Catches an unflushed change written at once, a failed write-back reported
// as success or written later after all, and an unreadable sector not 4.
TEST_F(Items, FlushWriteFailureAndReadFailure) {
    ASSERT_EQ(store(100, kT, kT, 0, 0), 0);
    EXPECT_EQ(v.sector(dir_lba(100))[4 * 32], 0);
    ASSERT_EQ(sync_disk(0), 0);
    EXPECT_EQ(v.sector(dir_lba(100))[4 * 32], ITEM_FIRST);
    ide_inject_fault(0, dir_lba(100), dir_lba(100), IDE_FAULT_WRITE);
    EXPECT_EQ(set_dir_item_end_time(v.pdp, 100, kT + 5, 1), 1);
    ide_clear_faults();
    ASSERT_EQ(sync_disk(0), 0);
    EXPECT_EQ(disk_word(100, 8), kT);

    ide_inject_fault(0, dir_lba(800), dir_lba(800), IDE_FAULT_READ);
    ide_inject_fault(0, index_lba(1100), index_lba(1100), IDE_FAULT_READ);
    kx_dir_item out;
    uint8_t b = 1;
    EXPECT_EQ(get_dir_item_info(v.pdp, 800, &out), 4);
    EXPECT_EQ(set_dir_item_up_clus(v.pdp, 800, 1, 1), 4);
    EXPECT_EQ(get_index_item_info(v.pdp, 1100, &b), 4);
    EXPECT_EQ(set_index_item_info(v.pdp, 1100, &b, 1), 4);
}

// A closed last cluster whose end equals its start lasts one second; the
// advance stays in the pool until another change marks the sector. An open
// cluster ends at its own end, a linked one where its successor starts;
// catches a damaged link followed past the volume.
TEST_F(Items, ClusterEndFollowsSuccessorOrAdvancesInCacheOnly) {
    const packed_time next_second = kT + 1;
    ASSERT_EQ(store(200, kT, kT, 0, 1), 0);
    packed_time t = 0;
    ASSERT_EQ(get_dir_item_time1(v.pdp, 200, &t), 0);
    EXPECT_EQ(t, next_second);
    ASSERT_EQ(get_dir_item_time1(v.pdp, 200, &t), 0);
    EXPECT_EQ(t, next_second);
    ASSERT_EQ(sync_disk(0), 0);
    EXPECT_EQ(disk_word(200, 8), kT);
    ASSERT_EQ(set_dir_item_up_clus(v.pdp, 201, 1, 1), 0);
    EXPECT_EQ(disk_word(200, 8), next_second);

    ASSERT_EQ(store(210, kT, kT + 7, DOWN_OPEN, 0), 0);
    ASSERT_EQ(store(220, kT, kT, 230, 0), 0);
    ASSERT_EQ(store(230, kT + 9, kT + 9, 0, 0), 0);
    ASSERT_EQ(store(240, kT, kT, 5000, 0), 0);
    ASSERT_EQ(get_dir_item_time1(v.pdp, 210, &t), 0);
    EXPECT_EQ(t, kT + 7);
    ASSERT_EQ(get_dir_item_time1(v.pdp, 220, &t), 0);
    EXPECT_EQ(t, kT + 9);
    v.log.clear();
    EXPECT_EQ(get_dir_item_time1(v.pdp, 240, &t), 5);
    EXPECT_TRUE(v.log.contains("GET_DIR_ITEM(0 5000) total:1224 failed line:180"));
}

// The writer's sequence: the down link is written through at once only when
// the next cluster's item lies in another sector (else the next item's own
// flush carries it).
TEST_F(Items, DownLinkIsWrittenThroughAcrossSectors) {
    ASSERT_EQ(set_dir_item_end_time(v.pdp, 100, kT, 0), 0);
    ASSERT_EQ(set_dir_item_down_clus(v.pdp, 100, 116, 1), 0);
    EXPECT_EQ(disk_word(100, 12), 116u);
    ASSERT_EQ(set_dir_item_end_time(v.pdp, 120, kT, 0), 0);
    ASSERT_EQ(set_dir_item_down_clus(v.pdp, 120, 121, 1), 0);
    EXPECT_EQ(disk_word(120, 12), 0u);
    ASSERT_EQ(store(121, kT, kT, DOWN_OPEN, 1), 0);
    EXPECT_EQ(disk_word(120, 12), 121u);
}

// Catches a reserved or bad cluster's index byte overwritten by the writer,
// and index bytes built with channel and type in the wrong bits.
TEST_F(Items, ProtectedIndexItemsKeepTheirValue) {
    uint8_t val, out, bad = 0xC5;
    make_index_item(&val, 2, CLUS_TYPE_START);
    ASSERT_EQ(set_index_item_info(v.pdp, 5, &val, 1), 0);  // a reserved cluster
    EXPECT_EQ(v.sector(index_lba(5))[5], INDEX_PROTECTED);
    ASSERT_EQ(set_index_item_info(v.pdp, 300, &bad, 1), 0);
    ASSERT_EQ(set_index_item_info(v.pdp, 300, &val, 1), 0);
    ASSERT_EQ(get_index_item_info(v.pdp, 300, &out), 0);
    EXPECT_EQ(out, 0xC5);
    EXPECT_EQ(v.sector(index_lba(300))[300], 0xC5);
    make_index_item(&val, 70, CLUS_TYPE_FOLLOW);
    EXPECT_EQ(val, 6);
    make_index_item(&val, 37, CLUS_TYPE_RESUME);
    EXPECT_EQ(val, 0x65);
}

// Channel and record kind are split over bytes 1 and 29 and must come back
// whole; the same-second counter numbers the files started within one
// second (following items take the number without counting) and wraps.
TEST_F(Items, NewItemsCarryChannelKindAndSameSecondSequence) {
    pc_clock_set_fake({2009, 6, 15, 13, 45, 30}, 1000);
    kx_dir_item a = {}, b, c, d, back;
    a.reserved = 0x5A;
    make_dir_item(&a, 37, 2, 0x0D, 3, ITEM_FIRST, 0, 500, 0, 0);
    EXPECT_EQ(std::vector<uint32_t>({5 + 64 * 1 + 16 * 2, 0x0C + 2, make_packed_time(2009, 6, 15, 13, 45, 30), DOWN_OPEN, 0x5A}),
              std::vector<uint32_t>({a.b1, a.b29, a.start_time, a.down_clus, a.reserved}));
    EXPECT_EQ(a.end_time, a.start_time);
    ASSERT_EQ(set_dir_item_info(v.pdp, 500, &a, 1), 0);
    ASSERT_EQ(get_dir_item_info(v.pdp, 500, &back), 0);
    EXPECT_EQ(dir_item_channel(&back), 37u);
    EXPECT_EQ(dir_item_record_kind(&back), 0x0Du);
    EXPECT_EQ(dir_item_media_type(&back), 2u);
    make_dir_item(&b, 1, 2, 0, 0, ITEM_FIRST, 0, 501, 0, 0);
    make_dir_item(&c, 1, 2, 0, 0, ITEM_FOLLOW, 501, 501, 1, 0);
    make_dir_item(&d, 1, 2, 0, 0, ITEM_FIRST, 0, 502, 0, 0);
    EXPECT_EQ(std::vector<int>({0, 1, 2, 2}), std::vector<int>({a.same_second_seq, b.same_second_seq, c.same_second_seq, d.same_second_seq}));
    g_same_second_seq = 255;
    make_dir_item(&d, 1, 2, 0, 0, ITEM_FIRST, 0, 502, 0, 0);
    EXPECT_EQ(g_same_second_seq, 0);
}
