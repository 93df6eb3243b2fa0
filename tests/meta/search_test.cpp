// The search over the cluster index, on a freshly formatted volume (1224
// clusters of 256 sectors, 64 reserved) whose index bytes the tests lay out.
#include <gtest/gtest.h>

#include <cstring>

#include "kxtime.h"
#include "support/test_volume.h"

namespace {

const uint32_t kTotal = 1224;
const uint8_t kAny = SEARCH_ANY_CHANNEL;

uint8_t idx(uint32_t channel, uint32_t clus_type) { return (uint8_t)(channel + 64 * clus_type); }

// mode, start cluster, channel, bound, and the found cluster or -error.
struct search_case {
    int mode;
    uint32_t clus;
    uint8_t channel;
    uint32_t bound;
    int64_t want;
};

class Search : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, v.pdp);
        v.pdp->current_cluster = kTotal - 1;  // one pass, no second section
        v.log.clear();
    }
    // Lays index bytes out from `first` on, protected ones included.
    void lay(uint32_t first, std::vector<uint8_t> items) {
        for (uint8_t b : items) {
            buf_head* h = read_buf(0, index_lba(first));
            ASSERT_NE(h, nullptr);
            h->data[first++ % 512] = b;
            h->dirty = 1;
            release_buf(h);
        }
    }
    // The search's answer: the found cluster, or the negated error code.
    int64_t find(int mode, uint32_t clus, uint8_t channel, uint32_t bound = 0) {
        uint32_t out = 0xDEADBEEF;
        int r = search_clus(v.pdp, mode, clus, bound, &out, channel);
        return r ? -r : (int64_t)out;
    }
    void expect(const std::vector<search_case>& cases) {
        for (const search_case& c : cases)
            EXPECT_EQ(find(c.mode, c.clus, c.channel, c.bound), c.want)
                << "mode " << c.mode << " from " << c.clus << " channel " << (int)c.channel << " bound " << c.bound;
    }
    uint64_t index_lba(uint32_t clus) { return v.start + v.pdp->index_off + clus / 512; }

    TestVolume v{320000, 256, 4096};
};

}  // namespace

// 100: start of a channel-5 file, 101 follows, 102 starts a channel-7 file,
// 103 is a bad cluster that kept channel 5, 104 follows, 105 resumes channel
// 5. Catches every mode stopping early, late or on the wrong channel.
TEST_F(Search, EachModeStopsWhereItShould) {
    lay(100, {idx(5, 2), idx(5, 0), idx(7, 2), idx(5, 3), idx(5, 0), idx(5, 1)});
    expect({{2, 101, 5, 0, 104},  {2, 101, kAny, 0, 102}, {3, 100, 5, 0, 105},  {3, 100, kAny, 0, 102},
            {4, 101, 5, 0, 103},  {4, 100, 7, 0, -12},    {5, 100, kAny, 0, 103}, {10, 100, 9, 0, 102},
            {7, 105, 5, 0, 104},  {8, 104, 5, 0, 100},    {11, 104, 5, 0, 101},   {11, 105, 5, 0, -12},
            {12, 102, 7, 0, -12}, {12, 102, 5, 0, 101},   {12, 105, 5, 0, 104},   {6, 104, 5, 0, 104},
            {99, 104, 5, 0, 104}, {6, 10, 5, 0, -3},      {3, 100, 9, 0, -3}});
    v.pdp->index_off = 0;
    EXPECT_EQ(find(2, 100, 5), -13);
}

// Mode 9 follows a record: the next cluster of its channel with clus_type 0.
// Mended: a bad cluster of the channel is passed over, not taken for the
// record's end; the next file start ends it.
TEST_F(Search, FollowingARecordPassesItsBadClusters) {
    lay(100, {idx(5, 2), idx(5, 0), idx(5, 3), idx(7, 0), idx(5, 0), idx(5, 2), idx(5, 0)});
    expect({{9, 100, kAny, 0, 101}, {9, 101, 7, 0, 104}, {9, 104, 5, 0, -3}, {9, 103, 5, 0, -3}});
}

// Explicit bounds are inclusive; bound 0 means the time sections:
// [rev_clus, current] and [current + 1, end_cluster2]. Catches walks past a
// bound, and (mended) damaged ranges or starts past the volume leading the
// walk out of the index area (the sectors after it fail to read).
TEST_F(Search, RangesAndTimeSections) {
    ide_inject_fault(0, index_lba(kTotal) + 1, index_lba(kTotal) + 200, IDE_FAULT_READ | IDE_FAULT_WRITE);
    v.pdp->current_cluster = 500;
    v.pdp->end_cluster2 = 0xFFFFFF00;
    expect({{2, 600, 5, 0, -3}, {5, 600, kAny, 0xFFFFFFFF, -3}});
    v.pdp->current_cluster = 0xFFFFFFF0;
    expect({{3, 600, 5, 0, -3}, {7, 0xFFFFFFF0, 5, 0, -3}, {1, 0xFFFFFFFF, kAny, 0, -3}, {8, kTotal + 900, 5, 70, -3}});
    ide_clear_faults();
    v.pdp->current_cluster = kTotal - 1;
    v.pdp->end_cluster2 = 0;
    lay(100, {idx(5, 0)});
    lay(250, {idx(9, 0)});
    lay(301, {idx(9, 0)});
    expect({{2, 90, 5, 99, -3}, {2, 90, 5, 100, 100}, {7, 110, 5, 101, -3}, {7, 110, 5, 100, 100}});
    v.pdp->current_cluster = 200;
    v.pdp->end_cluster2 = 300;
    expect({{2, 150, 9, 0, -3}, {2, 201, 9, 0, 250}, {2, 250, 9, 0, -3}, {7, 240, 5, 0, -3}, {7, 190, 5, 0, 100}});
}

// The walk takes the neighbouring index sector at 511/512 in both
// directions, seen through a read fault on that sector alone.
TEST_F(Search, WalksCrossIndexSectors) {
    lay(511, {idx(3, 0), idx(3, 0)});
    expect({{2, 511, 3, 0, 512}, {7, 512, 3, 0, 511}});
    ASSERT_EQ(sync_disk(0), 0);
    for (uint32_t faulty : {512u, 511u}) {
        init_buf_pool();
        ide_clear_faults();
        ide_inject_fault(0, index_lba(faulty), index_lba(faulty), IDE_FAULT_READ);
        EXPECT_EQ(find(faulty == 512 ? 2 : 7, faulty == 512 ? 511 : 512, 3), -4) << faulty;
        EXPECT_EQ(find(2, faulty, 3), -4) << faulty;  // the start cluster's own sector
    }
}

// Mode 1 takes the next cluster not bad, up to the end of the volume, and
// stamps each bad ring cluster it steps over (reserved ones pass silently);
// a failed data write marks its cluster bad at once, keeping its channel.
TEST_F(Search, TakingAClusterAndMarkingOneBad) {
    lay(kTotal - 1, {idx(0, 3)});
    EXPECT_EQ(find(1, kTotal - 2, kAny), -3);
    lay(kTotal - 1, {idx(0, 0)});
    v.log.clear();
    expect({{1, kTotal - 2, kAny, 0, kTotal - 1}, {1, 0, kAny, 0, 64}});
    EXPECT_EQ(v.log.text(), "");
    lay(300, {idx(5, 3), idx(0, 3), idx(5, 2)});
    EXPECT_EQ(find(1, 299, 5), 302);
    EXPECT_EQ(v.log.text(), "jump over bad cluster, dev = 0, clus = 300\njump over bad cluster, dev = 0, clus = 301\n");
    kx_dir_item it = v.item(300), expect_it = {};
    expect_it.item_type = ITEM_FIRST;
    expect_it.start_time = expect_it.end_time = make_packed_time(2009, 5, 31, 12, 0, 0);
    expect_it.first_cluster_no = 300;
    EXPECT_EQ(memcmp(&it, &expect_it, sizeof it), 0);
    ASSERT_EQ(sync_disk(0), 0);
    EXPECT_EQ(v.index(300), idx(5, 3));

    lay(400, {idx(5, 0)});
    v.log.clear();
    set_bad_clus(v.pdp, 400);
    EXPECT_EQ(v.log.text(), "set bad clus : dev 0, clus 400\n");
    EXPECT_EQ(v.index(400), 0xC5);
    EXPECT_EQ(find(2, 399, 5), -3);
    init_buf_pool();
    ide_inject_fault(0, index_lba(1100), index_lba(1100), IDE_FAULT_READ);
    ide_reset_counters();
    set_bad_clus(v.pdp, 1100);
    set_bad_clus(v.pdp, 0xFFFFFFFF);
    EXPECT_EQ(ide_get_counters(0).writes, 0u);
}
