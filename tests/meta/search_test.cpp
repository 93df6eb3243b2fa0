// The search over the cluster index, on a freshly formatted volume whose
// index items the tests lay out cluster by cluster.
#include <gtest/gtest.h>

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
const uint32_t kTotal = 1224;
const uint8_t kAny = SEARCH_ANY_CHANNEL;

uint8_t idx(uint32_t channel, uint32_t clus_type) {
    return (uint8_t)(channel + 64 * clus_type);
}

class Search : public ::testing::Test {
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
        uint8_t desc[SECTOR_SIZE];
        ASSERT_EQ(ide_read64(0, 1, kPartStart + KX_TEMP_OFF, 0, desc), 0);
        pdp_decode(&m_d, desc);
        m_d.start_sector = kPartStart;
        m_d.disk_no = 0;
        ASSERT_EQ(m_d.total_clus, kTotal);
        ASSERT_EQ(m_d.rev_clus, 64u);
        m_d.current_cluster = kTotal - 1;  // one pass, no second section
        m_log.clear();
    }
    void TearDown() override { pc_clock_use_real(); }

    // Lays index items out from `first` on, protected ones included.
    void lay(uint32_t first, std::vector<uint8_t> items) {
        for (uint8_t v : items) {
            buf_head* b = read_buf(0, kPartStart + m_d.index_off + first / 512);
            ASSERT_NE(b, nullptr);
            b->data[first++ % 512] = v;
            b->dirty = 1;
            release_buf(b);
        }
    }
    // The search's answer: the found cluster, or the negated error code.
    int64_t find(int mode, uint32_t clus, uint8_t channel, uint32_t bound = 0) {
        uint32_t out = 0xDEADBEEF;
        int r = search_clus(&m_d, mode, clus, bound, &out, channel);
        return r ? -r : (int64_t)out;
    }
    uint64_t index_lba(uint32_t clus) { return kPartStart + m_d.index_off + clus / 512; }

    TempDir m_dir;
    LogCapture m_log;
    kx_driver m_d = {};
};

}  // namespace

// 100: start of a channel-5 file, 101 follows, 102 starts a channel-7 file,
// 103 is a bad cluster that kept channel 5, 104 follows, 105 resumes channel 5.
TEST_F(Search, EachModeStopsWhereItShould) {
    lay(100, {idx(5, 2), idx(5, 0), idx(7, 2), idx(5, 3), idx(5, 0), idx(5, 1)});
    EXPECT_EQ(find(2, 101, 5), 104);
    EXPECT_EQ(find(2, 101, kAny), 102);
    EXPECT_EQ(find(3, 100, 5), 105);
    EXPECT_EQ(find(3, 100, kAny), 102);
    EXPECT_EQ(find(4, 101, 5), 103);  // a bad cluster of the channel ends mode 4
    EXPECT_EQ(find(4, 100, 7), -12);  // the channel's next file start is a barrier
    EXPECT_EQ(find(5, 100, kAny), 103);
    EXPECT_EQ(find(10, 100, 9), 102);
    EXPECT_EQ(find(7, 105, 5), 104);
    EXPECT_EQ(find(8, 104, 5), 100);
    EXPECT_EQ(find(11, 104, 5), 101);
    EXPECT_EQ(find(11, 105, 5), -12);  // starting on a file start
    EXPECT_EQ(find(12, 102, 7), -12);
    EXPECT_EQ(find(12, 102, 5), 101);
    EXPECT_EQ(find(12, 105, 5), 104);  // a resumed file start is no barrier
    EXPECT_EQ(find(6, 104, 5), 104);
    EXPECT_EQ(find(99, 104, 5), 104);
    EXPECT_EQ(find(6, 10, 5), -3);  // below the recording ring
    EXPECT_EQ(find(3, 100, 9), -3);
    m_d.index_off = 0;
    EXPECT_EQ(find(2, 100, 5), -13);
}

// A record continues on the next cluster of its channel with clus_type 0; a
// bad cluster of the channel is passed over, the next file start ends it.
TEST_F(Search, FollowingARecordPassesItsBadClusters) {
    lay(100, {idx(5, 2), idx(5, 0), idx(5, 3), idx(7, 0), idx(5, 0), idx(5, 2), idx(5, 0)});
    EXPECT_EQ(find(9, 100, kAny), 101);
    EXPECT_EQ(find(9, 101, 7), 104);
    EXPECT_EQ(find(9, 104, 5), -3);
    EXPECT_EQ(find(9, 103, 5), -3);  // channel 7 has nothing further
}

// Explicit bounds and the time sections of bound 0: [rev_clus, current] and
// [current + 1, end_cluster2].
TEST_F(Search, RangesAndTimeSections) {
    lay(100, {idx(5, 0)});
    lay(250, {idx(9, 0)});
    lay(301, {idx(9, 0)});
    EXPECT_EQ(find(2, 90, 5, 99), -3);
    EXPECT_EQ(find(2, 90, 5, 100), 100);
    EXPECT_EQ(find(7, 110, 5, 101), -3);
    EXPECT_EQ(find(7, 110, 5, 100), 100);
    m_d.current_cluster = 200;
    m_d.end_cluster2 = 300;
    EXPECT_EQ(find(2, 150, 9), -3);  // never past current_cluster
    EXPECT_EQ(find(2, 201, 9), 250);
    EXPECT_EQ(find(2, 250, 9), -3);  // never past end_cluster2
    EXPECT_EQ(find(7, 240, 5), -3);  // never below current_cluster + 1
    EXPECT_EQ(find(7, 190, 5), 100);
}

// The walk takes the neighbouring index sector at 511/512 in both directions
// (seen through a read fault on that sector alone).
TEST_F(Search, WalksCrossIndexSectors) {
    lay(511, {idx(3, 0), idx(3, 0)});
    EXPECT_EQ(find(2, 511, 3), 512);
    EXPECT_EQ(find(7, 512, 3), 511);
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
// stamps each bad ring cluster it steps over; reserved ones pass silently.
TEST_F(Search, TakingAClusterToWrite) {
    lay(kTotal - 1, {idx(0, 3)});
    EXPECT_EQ(find(1, kTotal - 2, kAny), -3);
    lay(kTotal - 1, {idx(0, 0)});
    EXPECT_EQ(find(1, kTotal - 2, kAny), kTotal - 1);
    m_log.clear();
    EXPECT_EQ(find(1, 0, kAny), 64);
    EXPECT_EQ(m_log.text(), "");

    lay(300, {idx(5, 3), idx(0, 3), idx(5, 2)});
    EXPECT_EQ(find(1, 299, 5), 302);
    EXPECT_EQ(m_log.text(),
              "jump over bad cluster, dev = 0, clus = 300\njump over bad cluster, dev = 0, clus = 301\n");
    uint8_t sector[SECTOR_SIZE];
    ASSERT_EQ(ide_read64(0, 1, kPartStart + m_d.dir_off + 300 / 16, 0, sector), 0);
    kx_dir_item it;
    dir_item_decode(sector + (300 % 16) * 32, &it);
    const packed_time now = make_packed_time(2009, 6, 15, 13, 45, 30);
    kx_dir_item expect = {};
    expect.item_type = ITEM_FIRST;
    expect.start_time = expect.end_time = now;
    expect.first_cluster_no = 300;
    EXPECT_EQ(memcmp(&it, &expect, sizeof it), 0);
    uint8_t b;
    ASSERT_EQ(get_index_item_info(&m_d, 300, &b), 0);
    EXPECT_EQ(b, idx(5, 3));
}

// A failed data write marks the cluster bad at once, keeping its channel.
TEST_F(Search, MarkingAClusterBad) {
    lay(400, {idx(5, 0)});
    set_bad_clus(&m_d, 400);
    EXPECT_EQ(m_log.text(), "set bad clus : dev 0, clus 400\n");
    uint8_t sector[SECTOR_SIZE];
    ASSERT_EQ(ide_read64(0, 1, index_lba(400), 0, sector), 0);
    EXPECT_EQ(sector[400], 0xC5);
    EXPECT_EQ(find(2, 399, 5), -3);

    init_buf_pool();
    ide_inject_fault(0, index_lba(1100), index_lba(1100), IDE_FAULT_READ);
    ide_reset_counters();
    set_bad_clus(&m_d, 1100);
    set_bad_clus(&m_d, 0xFFFFFFFF);
    EXPECT_EQ(ide_get_counters(0).writes, 0u);
}

// A damaged descriptor's section ends and start clusters past the volume
// never lead a walk out of the index area: the sectors after it fail to read.
TEST_F(Search, DamagedRangesStayInsideTheVolume) {
    ide_inject_fault(0, index_lba(kTotal) + 1, index_lba(kTotal) + 200, IDE_FAULT_READ | IDE_FAULT_WRITE);
    m_d.current_cluster = 500;
    m_d.end_cluster2 = 0xFFFFFF00;
    EXPECT_EQ(find(2, 600, 5), -3);
    EXPECT_EQ(find(5, 600, kAny, 0xFFFFFFFF), -3);
    m_d.current_cluster = 0xFFFFFFF0;
    EXPECT_EQ(find(3, 600, 5), -3);
    EXPECT_EQ(find(7, 0xFFFFFFF0, 5), -3);
    EXPECT_EQ(find(1, 0xFFFFFFFF, kAny), -3);
    EXPECT_EQ(find(8, kTotal + 900, 5, 70), -3);
}
