// The sector buffer pool, watched through transfer counters and faults.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "platform/clock.h"
#include "support/test_volume.h"

namespace {

class BufPool : public ::testing::Test {
   protected:
    void SetUp() override {
        init_buf_pool();
        disk_reset_state();
        ide_reset_counters();
        m_disks.log.clear();
    }
    // Reads a sector through the pool, fills it and gives it back dirty.
    buf_head* change(int disk, uint64_t sector, uint8_t fill) {
        buf_head* b = read_buf(disk, sector);
        EXPECT_NE(b, nullptr);
        if (!b) return nullptr;
        memset(b->data, fill, SECTOR_SIZE);
        b->dirty = 1;
        release_buf(b);
        return b;
    }
    // Assigns and gives back `n` buffers for sectors the test does not use,
    // which makes the pool reuse its oldest free buffers.
    static void churn(int n, uint64_t first = 1000) {
        for (int i = 0; i < n; i++) release_buf(get_buf(0, first + i));
    }
    static sector_bytes filled(uint8_t fill) { return sector_bytes(SECTOR_SIZE, fill); }
    uint64_t writes(int disk = 0) { return ide_get_counters(disk).writes; }

    TestDisks m_disks{{2048, 2048}};
};

}  // namespace

// A held buffer is never reused, a lookup does not make a buffer younger.
// Mended: the 256th hold is refused instead of wrapping the count to free.
TEST_F(BufPool, AHeldBufferIsNeverReused) {
    buf_head* oldest = get_buf(0, 1);
    memset(oldest->data, 0x42, SECTOR_SIZE);
    churn(BUF_POOL_SIZE - 1, 2);  // sectors 2..256: the rest of the pool
    release_buf(find_buf(0, 2));  // looked up, yet still the oldest free one
    churn(1, 5000);
    EXPECT_EQ(find_buf(0, 2), nullptr);
    churn(3 * BUF_POOL_SIZE, 6000);
    EXPECT_EQ(find_buf(0, 1), oldest);
    release_buf(oldest);  // the lookup's hold
    EXPECT_EQ(oldest->data[SECTOR_SIZE - 1], 0x42);
    for (int i = 1; i < 255; i++) ASSERT_EQ(get_buf(0, 1), oldest);
    EXPECT_EQ(get_buf(0, 1), nullptr);
    EXPECT_EQ(oldest->hold, 255);
    churn(2 * BUF_POOL_SIZE);
    EXPECT_EQ(oldest->data[0], 0x42);
    for (int i = 0; i < 255; i++) release_buf(oldest);
    EXPECT_EQ(m_disks.log.text(), "");
    release_buf(oldest);
    release_buf(nullptr);
    EXPECT_EQ(m_disks.log.text(), "Trying to free free buffer\n");
    EXPECT_EQ(oldest->hold, 0);
}

// Changes reach their own disk on reuse and on sync; a failed write-back
// drops the buffer's dirt and is no access.
TEST_F(BufPool, ChangesReachTheirDiskOnReuseAndOnSync) {
    change(0, 5, 0xC3);
    EXPECT_EQ(writes(), 0u);
    churn(BUF_POOL_SIZE);
    EXPECT_EQ(writes(), 1u);
    EXPECT_EQ(m_disks.sector(5), filled(0xC3));

    buf_head* a = change(0, 10, 0x01);
    change(0, 11, 0x02);
    buf_head* b = change(1, 10, 0x03);
    EXPECT_NE(a, b);
    EXPECT_EQ(find_buf(0, 10 + 256), nullptr);  // same bucket, other sector
    EXPECT_EQ(sync_disk(0), 0);
    EXPECT_EQ(writes(0), 3u);
    EXPECT_EQ(writes(1), 0u);
    EXPECT_EQ(m_disks.sector(11), filled(0x02));
    EXPECT_EQ(b->dirty, 1);
    EXPECT_EQ(m_disks.sector(10, 1), filled(0));
    EXPECT_EQ(sync_disk(1), 0);
    EXPECT_EQ(m_disks.sector(10, 1), filled(0x03));
    EXPECT_EQ(sync_disk(0), 0);
    EXPECT_EQ(writes(0), 3u);

    ide_inject_fault(0, 12, 12, IDE_FAULT_WRITE);
    buf_head* bad = change(0, 12, 0x0B);
    change(0, 13, 0x0D);
    pc_clock_advance_ms(700);
    EXPECT_EQ(sync_disk(0), 1);  // the other buffer is written all the same
    EXPECT_EQ(m_disks.sector(13), filled(0x0D));
    EXPECT_EQ(m_disks.sector(12), filled(0));
    EXPECT_EQ(bad->dirty, 0);
    EXPECT_EQ(disk_access[0].last_access, 1700u);
    bad = change(0, 12, 0x0E);
    EXPECT_EQ(write_buf(bad), 1);
    EXPECT_EQ(write_buf(bad), 0);  // clean now: nothing to write
    EXPECT_EQ(write_buf(nullptr), 0);
}

// Mended: a broken free ring is rebuilt (keeping cached sectors) instead of
// followed into a null pointer.
TEST_F(BufPool, ABrokenRingIsRebuiltAndThePoolCarriesOn) {
    std::vector<buf_head*> first;
    for (uint64_t s = 0; s < BUF_POOL_SIZE; s++) first.push_back(get_buf(0, s));
    for (buf_head* h : first) release_buf(h);
    first[0]->ring_prev = nullptr;  // the oldest: the next search starts there
    buf_head* taken = get_buf(0, 5000);
    EXPECT_NE(taken, nullptr);
    EXPECT_EQ(m_disks.log.text(), "Free block list corrupted\n");
    buf_head* cached = find_buf(0, 1);
    EXPECT_NE(cached, nullptr);
    release_buf(taken);
    release_buf(cached);
    std::set<buf_head*> held;
    for (uint64_t s = 0; s < BUF_POOL_SIZE; s++) held.insert(get_buf(0, 3000 + s));
    EXPECT_EQ(held.size(), (size_t)BUF_POOL_SIZE);
    EXPECT_EQ(held.count(nullptr), 0u);
    EXPECT_EQ(get_buf(0, 2999), nullptr);
}
