// Sector transfers, the spin-up check before a transfer and the early wake-up
// of the next driver, driven by the fake clock and the disk-access stand-in's
// counters.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "disk.h"
#include "platform/clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "volume/volume.h"

namespace {

// What the host hooks saw, with the number of spin-ups the disk-access
// library had made when each hook ran (to show the order of the calls).
std::vector<std::string> g_calls;

std::string tagged(const char* what) { return std::string(what) + ":" + std::to_string(ide_get_counters(0).wakeups); }
void hook_lock() { g_calls.push_back(tagged("lock")); }
void hook_unlock() { g_calls.push_back(tagged("unlock")); }
void hook_wakeup(int disk) { g_calls.push_back("wakeup " + std::to_string(disk)); }

const kx_hooks k_lock_hooks = {nullptr, hook_lock, hook_unlock};

class Transfer : public ::testing::Test {
protected:
    void SetUp() override {
        use_disks({make_sparse_image(m_dir.file("d0.img"), 4096), make_sparse_image(m_dir.file("d1.img"), 4096)});
        ide_getinfo64(&g_disk_info);
        pc_clock_set_fake({2009, 5, 31, 14, 17, 54}, 100000);
        init_buf_pool();
        disk_reset_state();
        kx_set_hooks(nullptr);
        ide_reset_counters();
        g_calls.clear();
    }
    void TearDown() override {
        kx_set_hooks(nullptr);
        pc_clock_use_real();
    }

    // One sector read from disk 0 after `idle_ms` without any access.
    void read_after(uint32_t idle_ms) {
        pc_clock_advance_ms(idle_ms);
        ASSERT_EQ(disk_read(0, 1, 7, m_sector), 0);
    }
    uint64_t wakeups(int disk = 0) { return ide_get_counters(disk).wakeups; }

    TempDir m_dir;
    LogCapture m_log;
    uint8_t m_sector[SECTOR_SIZE] = {};
};

TEST_F(Transfer, MovesSectorsAndRecordsTheAccessTimeOnlyOnSuccess) {
    std::vector<uint8_t> out(3 * SECTOR_SIZE), in(3 * SECTOR_SIZE);
    for (size_t i = 0; i < out.size(); i++) out[i] = (uint8_t)(i * 7 + 1);

    pc_clock_advance_ms(250);
    ASSERT_EQ(disk_write(1, 3, 100, out.data()), 0);
    EXPECT_EQ(disk_access[1].last_access, 100250u);
    EXPECT_EQ(disk_access[0].last_access, 100000u);
    pc_clock_advance_ms(250);
    ASSERT_EQ(disk_read(1, 3, 100, in.data()), 0);
    EXPECT_EQ(in, out);
    EXPECT_EQ(disk_access[1].last_access, 100500u);

    // The library's own code comes back unchanged; a failed transfer is not
    // an access. (Reporting it reads the partition table: cached here, so
    // that no successful read comes in between.)
    release_buf(read_buf(1, KX_LABEL_SECTOR));
    pc_clock_set_tick(100500);
    ide_inject_fault(1, 101, 101, IDE_FAULT_READ | IDE_FAULT_WRITE);
    pc_clock_advance_ms(250);
    EXPECT_EQ(disk_read(1, 3, 100, in.data()), IDE_ERR_INJECTED);
    EXPECT_EQ(disk_write(1, 1, 101, out.data()), IDE_ERR_INJECTED);
    EXPECT_EQ(disk_access[1].last_access, 100500u);
    EXPECT_EQ(ide_get_counters(1).failed, 2u);
}

TEST_F(Transfer, SectorNumbersBeyond32BitsReachTheirPlace) {
    // A 2 TiB sparse image: sector 2^32 + 5 must not land on sector 5.
    const uint64_t lba = (1ull << 32) + 5;
    std::string big = make_sparse_image(m_dir.file("big.img"), lba + 1);
    use_disks({big});
    memset(m_sector, 0x5A, sizeof m_sector);
    ASSERT_EQ(disk_write(0, 1, lba, m_sector), 0);

    int fd = open(big.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    uint8_t high[SECTOR_SIZE], low[SECTOR_SIZE];
    EXPECT_EQ(pread(fd, high, sizeof high, (off_t)(lba * SECTOR_SIZE)), (ssize_t)sizeof high);
    EXPECT_EQ(pread(fd, low, sizeof low, 5 * SECTOR_SIZE), (ssize_t)sizeof low);
    close(fd);
    EXPECT_EQ(memcmp(high, m_sector, SECTOR_SIZE), 0);
    EXPECT_EQ(low[0], 0);
}

TEST_F(Transfer, ADiskWithoutStandbyTimeIsNeverWoken) {
    kx_set_hooks(&k_lock_hooks);
    read_after(10000);
    read_after(24u * 3600 * 1000);
    EXPECT_EQ(wakeups(), 0u);
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(Transfer, ADiskIdleForMoreThanHalfItsStandbyTimeIsWokenWithTheLockReleased) {
    kx_set_hooks(&k_lock_hooks);
    disk_access[0].standby_ms = 10000;

    read_after(5000);
    EXPECT_EQ(wakeups(), 0u);
    EXPECT_TRUE(g_calls.empty());

    read_after(5001);
    EXPECT_EQ(wakeups(), 1u);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"unlock:0", "lock:1"}));
    // The transfer that followed the wake-up recorded the access.
    EXPECT_EQ(disk_access[0].last_access, pc_tick_ms());
    EXPECT_EQ(wakeups(1), 0u);

    // Idle time is measured across the tick count wrapping: 5376 ms.
    pc_clock_set_tick(0xFFFFF000u);
    disk_touch(0);
    pc_clock_set_tick(0x00000500u);
    ASSERT_EQ(disk_read(0, 1, 7, m_sector), 0);
    EXPECT_EQ(wakeups(), 2u);
}

TEST_F(Transfer, WithoutBothLockHooksNoWakeUpIsMade) {
    disk_access[0].standby_ms = 10000;
    read_after(6000);  // before any hooks were installed

    const kx_hooks lock_only = {hook_wakeup, hook_lock, nullptr};
    kx_set_hooks(&lock_only);
    read_after(6000);

    kx_set_hooks(&k_lock_hooks);
    kx_set_hooks(nullptr);  // cleared again
    read_after(6000);

    EXPECT_EQ(wakeups(), 0u);
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(Transfer, TheNextDriverIsWokenByTheHostWhenItHasAWakeUpHook) {
    kx_driver next{};
    next.disk_no = 1;
    pc_clock_advance_ms(3000);

    // Without the hook: the disk-access library wakes the disk and the wake-up
    // counts as an access.
    wakeup_next_driver(&next);
    EXPECT_EQ(wakeups(1), 1u);
    EXPECT_EQ(disk_access[1].last_access, 103000u);

    // With it: the host alone is asked.
    const kx_hooks hooks = {hook_wakeup, hook_lock, hook_unlock};
    kx_set_hooks(&hooks);
    pc_clock_advance_ms(3000);
    wakeup_next_driver(&next);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"wakeup 1"}));
    EXPECT_EQ(wakeups(1), 1u);
    EXPECT_EQ(disk_access[1].last_access, 103000u);
}

}  // namespace
