// Cluster index items, directory items and the search over the index, on a
// formatted volume of 1224 clusters of 256 sectors (64 reserved), checked
// against the disk's bytes past the buffer pool.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "kxtime.h"
#include "support/test_volume.h"

namespace {

const packed_time kT = make_packed_time(2009, 6, 15, 10, 0, 0);
const uint32_t kTotal = 1224;
const uint8_t kAny = SEARCH_ANY_CHANNEL;

uint8_t idx(uint32_t channel, uint32_t clus_type) {
    return (uint8_t)(channel + 64 * clus_type);
}

class Index : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_NE(nullptr, v.pdp);
        ASSERT_EQ(kTotal, v.pdp->total_clus);
        v.pdp->current_cluster = kTotal - 1;  // one pass, no second section
        g_same_second_seq = 0;
        v.log.clear();
    }
    uint64_t index_lba(uint32_t clus) { return v.start + v.pdp->index_off + clus / 512; }
    // Lays index bytes out from `first` on.
    void lay(uint32_t first, std::vector<uint8_t> items) {
        for (uint8_t b : items) ASSERT_EQ(0, set_index_item_info(v.pdp, first++, &b, 0));
    }
    // Each case: mode, start cluster, channel, bound, and the found cluster
    // or the negated error code.
    void expect_search(const std::vector<std::vector<int64_t>>& cases) {
        for (const auto& c : cases) {
            uint32_t out = 0xDEADBEEF;
            int r = search_clus(v.pdp, (int)c[0], (uint32_t)c[1], (uint32_t)c[3], &out, (uint8_t)c[2]);
            EXPECT_EQ(r ? -r : (int64_t)out, c[4])
                << "mode " << c[0] << " from " << c[1] << " channel " << c[2] << " bound " << c[3];
        }
    }

    TestVolume v{320000, 256, 4096};
};

}  // namespace

// Catches a field at the wrong offset or byte order, an item or index byte
// in the wrong sector (cluster 16 opens the second directory sector, 512 the
// second index sector), and (mended) accessors that address sectors past the
// areas for clusters past total_clus: refused with 5 and the accessor's tag
// before the disk is touched.
TEST_F(Index, ItemsLieAtTheirPlacesAndClustersPastTheVolumeAreRefused) {
    kx_dir_item it = {2,      0xA5,       0x1234,     0x11223344, 0x55667788, 0x99AABBCC, 0xDDEE,
                      0x0F1E, 0x2D3C4B5A, 0x69788796, 0xA1,       0xB2,       0xC3,       0xD4},
                back;
    const sector_bytes bytes = {2,    0xA5, 0x34, 0x12, 0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66,
                                0x55, 0xCC, 0xBB, 0xAA, 0x99, 0xEE, 0xDD, 0x1E, 0x0F, 0x5A, 0x4B,
                                0x3C, 0x2D, 0x96, 0x87, 0x78, 0x69, 0xA1, 0xB2, 0xC3, 0xD4};
    ASSERT_EQ(set_dir_item_info(v.pdp, 16, &it, 1), 0);
    sector_bytes s = v.sector(v.start + 187 + 1);
    EXPECT_EQ(sector_bytes(s.begin(), s.begin() + 32), bytes);
    EXPECT_EQ(v.sector(v.start + v.pdp->dir_off)[15 * 32], ITEM_RESERVED);
    ASSERT_EQ(get_dir_item_info(v.pdp, 16, &back), 0);
    EXPECT_EQ(memcmp(&back, &it, sizeof it), 0);
    uint8_t a = 0x05, c = 0x07;
    ASSERT_EQ(set_index_item_info(v.pdp, 511, &a, 1), 0);
    ASSERT_EQ(set_index_item_info(v.pdp, 512, &c, 1), 0);
    EXPECT_EQ(std::vector<uint8_t>({0x05, 0x07}),
              std::vector<uint8_t>({v.sector(index_lba(0))[511], v.sector(index_lba(512))[0]}));

    kx_driver* d = v.pdp;
    packed_time t;
    const std::pair<int, std::function<int(uint32_t)>> accessors[] = {
        {166, [&](uint32_t n) { return get_dir_item_info(d, n, &it); }},
        {180, [&](uint32_t n) { return get_dir_item_time(d, n, &t); }},
        {197, [&](uint32_t n) { return get_dir_item_time1(d, n, &t); }},
        {235, [&](uint32_t n) { return set_dir_item_info(d, n, &it, 1); }},
        {255, [&](uint32_t n) { return set_dir_item_down_clus(d, n, 0, 1); }},
        {267, [&](uint32_t n) { return set_dir_item_up_clus(d, n, 0, 1); }},
        {280, [&](uint32_t n) { return set_dir_item_end_time(d, n, kT, 1); }},
        {295, [&](uint32_t n) { return set_dir_last_item(d, n, 0, kT, 1); }},
        {327, [&](uint32_t n) { return set_dir_first_item(d, n, 0, 0, kT, 1); }},
    };
    ide_reset_counters();
    for (const auto& [tag, call] : accessors) {
        v.log.clear();
        EXPECT_EQ(call(1225), 5) << tag;
        EXPECT_EQ(v.log.text(),
                  "GET_DIR_ITEM(0 1225) total:1224 failed line:" + std::to_string(tag) + "!!!!!!!!!!!!\n");
    }
    EXPECT_EQ(get_index_item_info(d, 1225, &a), 5);
    EXPECT_EQ(set_index_item_info(d, 0xFFFFFFFFu, &a, 1), 5);
    EXPECT_EQ(ide_get_counters(0).reads + ide_get_counters(0).writes, 0u);
    for (const auto& [tag, call] : accessors) EXPECT_EQ(call(1224), 0) << tag;
}

// Catches a reserved or bad cluster's index byte overwritten, index bytes
// built with channel and type in the wrong bits, channel and record kind not
// coming back whole from bytes 1 and 29, and the same-second counter (files
// started within one second; following items take it without counting).
TEST_F(Index, ProtectedIndexBytesAndNewItems) {
    uint8_t val, bad = 0xC5;
    make_index_item(&val, 2, CLUS_TYPE_START);
    ASSERT_EQ(set_index_item_info(v.pdp, 5, &val, 1), 0);  // a reserved cluster
    ASSERT_EQ(set_index_item_info(v.pdp, 300, &bad, 1), 0);
    ASSERT_EQ(set_index_item_info(v.pdp, 300, &val, 1), 0);
    EXPECT_EQ(std::vector<uint8_t>({INDEX_PROTECTED, 0xC5}),
              std::vector<uint8_t>({v.sector(index_lba(5))[5], v.sector(index_lba(300))[300]}));
    make_index_item(&val, 70, CLUS_TYPE_FOLLOW);
    EXPECT_EQ(val, 6);
    make_index_item(&val, 37, CLUS_TYPE_RESUME);
    EXPECT_EQ(val, 0x65);

    kx_dir_item a = {}, b, c, d, back;
    a.reserved = 0x5A;
    make_dir_item(&a, 37, 2, 0x0D, 3, ITEM_FIRST, 0, 500, 0, 0);
    EXPECT_EQ(
        std::vector<uint32_t>({5 + 64 + 32, 0x0E, make_packed_time(2009, 5, 31, 12, 0, 0), DOWN_OPEN, 0x5A}),
        std::vector<uint32_t>({a.b1, a.b29, a.start_time, a.down_clus, a.reserved}));
    ASSERT_EQ(set_dir_item_info(v.pdp, 500, &a, 1), 0);
    ASSERT_EQ(get_dir_item_info(v.pdp, 500, &back), 0);
    EXPECT_EQ(std::vector<uint32_t>({37, 0x0D, 2}),
              std::vector<uint32_t>(
                  {dir_item_channel(&back), dir_item_record_kind(&back), dir_item_media_type(&back)}));
    make_dir_item(&b, 1, 2, 0, 0, ITEM_FIRST, 0, 501, 0, 0);
    make_dir_item(&c, 1, 2, 0, 0, ITEM_FOLLOW, 501, 501, 1, 0);
    make_dir_item(&d, 1, 2, 0, 0, ITEM_FIRST, 0, 502, 0, 0);
    EXPECT_EQ(std::vector<int>({0, 1, 2, 2}),
              std::vector<int>({a.same_second_seq, b.same_second_seq, c.same_second_seq, d.same_second_seq}));
    g_same_second_seq = 255;
    make_dir_item(&d, 1, 2, 0, 0, ITEM_FIRST, 0, 502, 0, 0);
    EXPECT_EQ(g_same_second_seq, 0);
}

// 100: start of a channel-5 file, 101 follows, 102 starts a channel-7 file,
// 103 is a bad cluster that kept channel 5, 104 follows, 105 resumes channel
// 5. Catches every mode stopping early, late or on the wrong channel; mended:
// mode 9 (following a record) passes over a bad cluster of its channel.
TEST_F(Index, EachSearchModeStopsWhereItShould) {
    lay(100, {idx(5, 2), idx(5, 0), idx(7, 2), idx(5, 3), idx(5, 0), idx(5, 1)});
    expect_search({{2, 101, 5, 0, 104},
                   {2, 101, kAny, 0, 102},
                   {3, 100, 5, 0, 105},
                   {3, 100, kAny, 0, 102},
                   {4, 101, 5, 0, 103},
                   {4, 100, 7, 0, -12},
                   {5, 100, kAny, 0, 103},
                   {10, 100, 9, 0, 102},
                   {7, 105, 5, 0, 104},
                   {8, 104, 5, 0, 100},
                   {11, 104, 5, 0, 101},
                   {11, 105, 5, 0, -12},
                   {12, 102, 7, 0, -12},
                   {12, 102, 5, 0, 101},
                   {12, 105, 5, 0, 104},
                   {6, 104, 5, 0, 104},
                   {99, 104, 5, 0, 104},
                   {6, 10, 5, 0, -3},
                   {3, 100, 9, 0, -3}});
    lay(200, {idx(5, 2), idx(5, 0), idx(5, 3), idx(7, 0), idx(5, 0), idx(5, 2), idx(5, 0)});
    expect_search({{9, 200, kAny, 0, 201}, {9, 201, 7, 0, 204}, {9, 204, 5, 0, -3}, {9, 203, 5, 0, -3}});
    v.pdp->index_off = 0;
    expect_search({{2, 100, 5, 0, -13}});
}

// Explicit bounds are inclusive; bound 0 means the time sections [rev_clus,
// current] and [current + 1, end_cluster2]. Mended: damaged ranges or starts
// past the volume never lead the walk out of the index area (the sectors
// after it fail to read); the walk crosses index sectors at 511/512.
TEST_F(Index, SearchRangesStayInsideTheVolume) {
    ide_inject_fault(0, index_lba(kTotal) + 1, index_lba(kTotal) + 200, IDE_FAULT_READ | IDE_FAULT_WRITE);
    set_fields(v.pdp, {{&kx_driver::current_cluster, 500}, {&kx_driver::end_cluster2, 0xFFFFFF00}});
    expect_search({{2, 600, 5, 0, -3}, {5, 600, kAny, 0xFFFFFFFF, -3}});
    v.pdp->current_cluster = 0xFFFFFFF0;
    expect_search({{3, 600, 5, 0, -3},
                   {7, 0xFFFFFFF0, 5, 0, -3},
                   {1, 0xFFFFFFFF, kAny, 0, -3},
                   {8, kTotal + 900, 5, 70, -3}});
    ide_clear_faults();
    set_fields(v.pdp, {{&kx_driver::current_cluster, 200}, {&kx_driver::end_cluster2, 300}});
    lay(100, {idx(5, 0)});
    lay(250, {idx(9, 0)});
    lay(301, {idx(9, 0)});
    expect_search({{2, 90, 5, 99, -3},
                   {2, 90, 5, 100, 100},
                   {7, 110, 5, 101, -3},
                   {7, 110, 5, 100, 100},
                   {2, 150, 9, 0, -3},
                   {2, 201, 9, 0, 250},
                   {2, 250, 9, 0, -3},
                   {7, 240, 5, 0, -3},
                   {7, 190, 5, 0, 100}});
    v.pdp->current_cluster = kTotal - 1;
    lay(511, {idx(3, 0), idx(3, 0)});
    expect_search({{2, 511, 3, 0, 512}, {7, 512, 3, 0, 511}});
    ASSERT_EQ(sync_disk(0), 0);
    for (uint32_t faulty : {512u, 511u}) {
        init_buf_pool();
        ide_clear_faults();
        ide_inject_fault(0, index_lba(faulty), index_lba(faulty), IDE_FAULT_READ);
        expect_search({{faulty == 512 ? 2 : 7, faulty == 512 ? 511 : 512, 3, 0, -4}, {2, faulty, 3, 0, -4}});
    }
    // An index byte past the last cluster is never reached, whatever the bound.
    ide_clear_faults();
    lay(kTotal, {idx(3, 0)});
    expect_search({{2, kTotal - 2, 3, kTotal + 5, -3}});
}
