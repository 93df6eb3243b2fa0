// The sector buffer pool, watched through the disk-access stand-in's
// transfer counters and injected faults.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <vector>

#include "disk.h"
#include "platform/clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "volume/volume.h"

namespace {

const uint64_t k_sectors = 2048;

class BufPool : public ::testing::Test {
protected:
    void SetUp() override {
        m_images = {make_sparse_image(m_dir.file("d0.img"), k_sectors),
                    make_sparse_image(m_dir.file("d1.img"), k_sectors)};
        use_disks(m_images);
        ide_getinfo64(&g_disk_info);
        pc_clock_set_fake({2009, 5, 31, 14, 17, 54}, 1000);
        init_buf_pool();
        disk_reset_state();
        ide_reset_counters();
    }
    void TearDown() override { pc_clock_use_real(); }

    // The image file's bytes of one sector, read past the library.
    std::vector<uint8_t> on_disk(int disk, uint64_t sector) {
        std::vector<uint8_t> data(SECTOR_SIZE);
        int fd = open(m_images[disk].c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(pread(fd, data.data(), SECTOR_SIZE, (off_t)(sector * SECTOR_SIZE)), SECTOR_SIZE);
        close(fd);
        return data;
    }
    void put_on_disk(int disk, uint64_t sector, uint8_t fill) {
        uint8_t data[SECTOR_SIZE];
        memset(data, fill, sizeof data);
        ASSERT_EQ(ide_write64(disk, 1, (uint32_t)sector, 0, data), 0);
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
    void churn(int n, uint64_t first = 1000) {
        for (int i = 0; i < n; i++) release_buf(get_buf(0, first + i));
    }
    static std::vector<uint8_t> filled(uint8_t fill) { return std::vector<uint8_t>(SECTOR_SIZE, fill); }

    TempDir m_dir;
    LogCapture m_log;
    std::vector<std::string> m_images;
};

TEST_F(BufPool, HoldsAtMost256SectorsAtOnce) {
    std::vector<buf_head*> held;
    std::set<uint8_t*> areas;
    for (uint64_t s = 0; s < BUF_POOL_SIZE; s++) {
        buf_head* b = get_buf(0, s);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ((uintptr_t)b->data % SECTOR_SIZE, 0u);
        areas.insert(b->data);
        held.push_back(b);
    }
    EXPECT_EQ(areas.size(), (size_t)BUF_POOL_SIZE);
    EXPECT_EQ((uintptr_t)io_buf % SECTOR_SIZE, 0u);
    EXPECT_EQ(get_buf(0, 300), nullptr);
    EXPECT_EQ(read_buf(0, 300), nullptr);
    EXPECT_EQ(ide_get_counters(0).reads, 0u);

    release_buf(held[77]);
    buf_head* next = read_buf(0, 300);
    EXPECT_EQ(next, held[77]);
    EXPECT_EQ(find_buf(0, 77), nullptr);
    EXPECT_EQ(ide_get_counters(0).reads, 1u);
}

TEST_F(BufPool, ReusesTheBufferAssignedLongestAgoThatNobodyHolds) {
    buf_head* oldest = get_buf(0, 1);  // kept held
    memset(oldest->data, 0x42, SECTOR_SIZE);
    churn(BUF_POOL_SIZE - 1, 2);  // sectors 2..256: the whole rest of the pool

    // Looking a cached sector up does not make it younger.
    release_buf(find_buf(0, 2));
    churn(1, 5000);
    EXPECT_EQ(find_buf(0, 2), nullptr);
    buf_head* third = find_buf(0, 3);
    EXPECT_NE(third, nullptr);
    release_buf(third);

    // However long the pool is churned, the held buffer keeps its sector.
    churn(3 * BUF_POOL_SIZE, 6000);
    EXPECT_EQ(find_buf(0, 1), oldest);
    EXPECT_EQ(oldest->data[0], 0x42);
    EXPECT_EQ(oldest->data[SECTOR_SIZE - 1], 0x42);
    release_buf(oldest);
    release_buf(oldest);
    EXPECT_EQ(m_log.text(), "");
}

TEST_F(BufPool, AChangedBufferReachesTheDiskWhenItIsReused) {
    change(0, 5, 0xC3);
    EXPECT_EQ(ide_get_counters(0).writes, 0u);
    churn(BUF_POOL_SIZE);
    EXPECT_EQ(ide_get_counters(0).writes, 1u);
    EXPECT_EQ(on_disk(0, 5), filled(0xC3));
    // Reading it again goes to the disk and finds the change there.
    buf_head* b = read_buf(0, 5);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->data[100], 0xC3);
    release_buf(b);
}

TEST_F(BufPool, TheSameSectorOfTwoDisksHasTwoBuffers) {
    put_on_disk(0, 7, 0x10);
    put_on_disk(1, 7, 0x20);
    buf_head* a = read_buf(0, 7);
    buf_head* b = read_buf(1, 7);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->data[0], 0x10);
    EXPECT_EQ(b->data[0], 0x20);
    // Same bucket, other sector: sector 7 + 256 is not sector 7.
    EXPECT_EQ(find_buf(0, 7 + 256), nullptr);
    release_buf(a);
    release_buf(b);
}

TEST_F(BufPool, SynchronisingADiskWritesOnlyThatDisksChanges) {
    buf_head* d0a = change(0, 10, 0x01);
    change(0, 11, 0x02);
    buf_head* d1 = change(1, 10, 0x03);

    EXPECT_EQ(sync_disk(0), 0);
    EXPECT_EQ(ide_get_counters(0).writes, 2u);
    EXPECT_EQ(ide_get_counters(1).writes, 0u);
    EXPECT_EQ(on_disk(0, 10), filled(0x01));
    EXPECT_EQ(on_disk(0, 11), filled(0x02));
    EXPECT_EQ(d0a->dirty, 0);
    EXPECT_EQ(d1->dirty, 1);
    EXPECT_EQ(on_disk(1, 10), filled(0));

    EXPECT_EQ(sync_disk(1), 0);
    EXPECT_EQ(on_disk(1, 10), filled(0x03));
    EXPECT_EQ(sync_disk(0), 0);  // nothing left to write
    EXPECT_EQ(ide_get_counters(0).writes, 2u);
}

TEST_F(BufPool, AFailedWriteLosesTheChangeButCountsAsAnAccess) {
    ide_inject_fault(0, 12, 12, IDE_FAULT_WRITE);
    buf_head* bad = change(0, 12, 0x0B);
    change(0, 13, 0x0D);
    pc_clock_advance_ms(700);
    EXPECT_EQ(sync_disk(0), 1);  // the other buffer is written all the same
    EXPECT_EQ(on_disk(0, 13), filled(0x0D));
    EXPECT_EQ(on_disk(0, 12), filled(0));
    EXPECT_EQ(bad->dirty, 0);
    EXPECT_EQ(disk_access[0].last_access, 1700u);

    bad = change(0, 12, 0x0E);
    pc_clock_advance_ms(300);
    EXPECT_EQ(write_buf(bad), 1);
    EXPECT_EQ(bad->dirty, 0);
    EXPECT_EQ(disk_access[0].last_access, 2000u);
    EXPECT_EQ(write_buf(bad), 0);  // clean now: nothing to write
    EXPECT_EQ(write_buf(nullptr), 0);
}

TEST_F(BufPool, AFailedReadIsTriedAgainByTheNextRead) {
    put_on_disk(0, 9, 0x99);
    // Each failure looks for a partition table; with sector 30 cached the
    // only reads the disk sees are those of sector 9.
    release_buf(read_buf(0, KX_LABEL_SECTOR));
    ide_reset_counters();
    ide_inject_fault(0, 9, 9, IDE_FAULT_READ);
    EXPECT_EQ(read_buf(0, 9), nullptr);
    EXPECT_EQ(read_buf(0, 9), nullptr);
    EXPECT_EQ(ide_get_counters(0).reads, 2u);

    // Assigned, not valid, and not held by the failed reads.
    buf_head* b = get_buf(0, 9);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->valid, 0);
    EXPECT_EQ(b->hold, 1);
    release_buf(b);

    ide_clear_faults();
    b = read_buf(0, 9);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->data[0], 0x99);
    EXPECT_EQ(ide_get_counters(0).reads, 3u);
    release_buf(b);
    EXPECT_EQ(m_log.text(), "");
}

TEST_F(BufPool, GivingBackABufferNobodyHoldsIsReported) {
    buf_head* b = get_buf(0, 3);
    release_buf(b);
    release_buf(b);
    release_buf(nullptr);
    EXPECT_EQ(m_log.text(), "Trying to free free buffer\n");
    EXPECT_EQ(b->hold, 0);
    EXPECT_EQ(get_buf(0, 3), b);
    EXPECT_EQ(b->hold, 1);
}

TEST_F(BufPool, AHoldCountNeverWrapsToFree) {
    buf_head* b = get_buf(0, 3);
    for (int i = 1; i < 255; i++) ASSERT_EQ(get_buf(0, 3), b);
    EXPECT_EQ(get_buf(0, 3), nullptr);
    EXPECT_EQ(find_buf(0, 3), nullptr);
    EXPECT_EQ(b->hold, 255);
    // Still held: churning the pool does not take it.
    churn(2 * BUF_POOL_SIZE);
    release_buf(b);
    EXPECT_EQ(find_buf(0, 3), b);
}

TEST_F(BufPool, ABrokenRingIsRebuiltAndThePoolCarriesOn) {
    // After 256 sectors the first one assigned is the oldest again: the next
    // search for a buffer starts at it.
    std::vector<buf_head*> first;
    for (uint64_t s = 0; s < BUF_POOL_SIZE; s++) first.push_back(get_buf(0, s));
    for (buf_head* h : first) release_buf(h);
    first[0]->ring_prev = nullptr;
    buf_head* taken = get_buf(0, 5000);
    EXPECT_NE(taken, nullptr);
    EXPECT_EQ(m_log.text(), "Free block list corrupted\n");
    buf_head* cached = find_buf(0, 1);  // cached sectors survive the rebuild
    EXPECT_NE(cached, nullptr);
    release_buf(taken);
    release_buf(cached);

    std::vector<buf_head*> held;
    for (uint64_t s = 0; s < BUF_POOL_SIZE; s++) {
        buf_head* h = get_buf(0, 3000 + s);
        ASSERT_NE(h, nullptr);
        held.push_back(h);
    }
    EXPECT_EQ(std::set<buf_head*>(held.begin(), held.end()).size(), (size_t)BUF_POOL_SIZE);
    EXPECT_EQ(get_buf(0, 2999), nullptr);
    EXPECT_EQ(m_log.text(), "Free block list corrupted\n");
}

}  // namespace
