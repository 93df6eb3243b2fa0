// Sector transfers, the spin-up check before a transfer and the early wake-up
// of the next driver, driven by the fake clock and the disk-access stand-in's
// counters.
#include <gtest/gtest.h>

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

}  // namespace

// Catches a failed transfer counted as an access (which would postpone the
// next spin-up check) and the library's code not coming back unchanged.
TEST_F(Transfer, OnlyASuccessfulTransferIsAnAccess) {
    std::vector<uint8_t> out(3 * SECTOR_SIZE), in(3 * SECTOR_SIZE);
    for (size_t i = 0; i < out.size(); i++) out[i] = (uint8_t)(i * 7 + 1);
    pc_clock_advance_ms(250);
    ASSERT_EQ(disk_write(1, 3, 100, out.data()), 0);
    ASSERT_EQ(disk_read(1, 3, 100, in.data()), 0);
    EXPECT_EQ(in, out);
    EXPECT_EQ(disk_access[1].last_access, 100250u);
    EXPECT_EQ(disk_access[0].last_access, 100000u);
    // Reporting a failure reads the partition table: cached here, so that no
    // successful read comes in between.
    release_buf(read_buf(1, KX_LABEL_SECTOR));
    pc_clock_set_tick(100250);
    ide_inject_fault(1, 101, 101, IDE_FAULT_READ | IDE_FAULT_WRITE);
    pc_clock_advance_ms(250);
    EXPECT_EQ(disk_read(1, 3, 100, in.data()), IDE_ERR_INJECTED);
    EXPECT_EQ(disk_write(1, 1, 101, out.data()), IDE_ERR_INJECTED);
    EXPECT_EQ(disk_access[1].last_access, 100250u);
}

// Catches a 64-bit sector number cut to 32 bits (sector 2^32 + 5 landing on
// sector 5 of a 2 TiB disk).
TEST_F(Transfer, SectorNumbersBeyond32BitsReachTheirPlace) {
    const uint64_t lba = (1ull << 32) + 5;
    use_disks({make_sparse_image(m_dir.file("big.img"), lba + 1)});
    memset(m_sector, 0x5A, sizeof m_sector);
    ASSERT_EQ(disk_write(0, 1, lba, m_sector), 0);
    uint8_t high[SECTOR_SIZE], low[SECTOR_SIZE];
    ASSERT_EQ(ide_read64(0, 1, 5, 1, high), 0);
    ASSERT_EQ(ide_read64(0, 1, 5, 0, low), 0);
    EXPECT_EQ(memcmp(high, m_sector, SECTOR_SIZE), 0);
    EXPECT_EQ(low[0], 0);
}

// Catches wake-ups of disks without a standby time, at exactly half of it,
// with the host's lock held, and idle times miscounted across the tick wrap.
TEST_F(Transfer, ADiskIdleForMoreThanHalfItsStandbyTimeIsWokenWithTheLockReleased) {
    kx_set_hooks(&k_lock_hooks);
    read_after(24u * 3600 * 1000);  // no standby time: never woken
    disk_access[0].standby_ms = 10000;
    read_after(5000);
    EXPECT_EQ(wakeups(), 0u);
    EXPECT_TRUE(g_calls.empty());
    read_after(5001);
    EXPECT_EQ(wakeups(), 1u);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"unlock:0", "lock:1"}));
    EXPECT_EQ(disk_access[0].last_access, pc_tick_ms());
    EXPECT_EQ(wakeups(1), 0u);

    pc_clock_set_tick(0xFFFFF000u);
    disk_touch(0);
    pc_clock_set_tick(0x00000500u);  // 5376 ms later
    ASSERT_EQ(disk_read(0, 1, 7, m_sector), 0);
    EXPECT_EQ(wakeups(), 2u);
}

// Catches a wake-up made while only one lock hook (or none) is installed:
// the lock could not be released around it.
TEST_F(Transfer, WithoutBothLockHooksNoWakeUpIsMade) {
    disk_access[0].standby_ms = 10000;
    read_after(6000);
    const kx_hooks lock_only = {hook_wakeup, hook_lock, nullptr};
    kx_set_hooks(&lock_only);
    read_after(6000);
    kx_set_hooks(&k_lock_hooks);
    kx_set_hooks(nullptr);
    read_after(6000);
    EXPECT_EQ(wakeups(), 0u);
    EXPECT_TRUE(g_calls.empty());
}

// Catches the next driver's disk being woken twice (by the library and the
// host) or the host's wake-up counted as an access.
TEST_F(Transfer, TheNextDriverIsWokenByTheHostWhenItHasAWakeUpHook) {
    kx_driver next{};
    next.disk_no = 1;
    pc_clock_advance_ms(3000);
    wakeup_next_driver(&next);
    EXPECT_EQ(wakeups(1), 1u);
    EXPECT_EQ(disk_access[1].last_access, 103000u);
    const kx_hooks hooks = {hook_wakeup, hook_lock, hook_unlock};
    kx_set_hooks(&hooks);
    pc_clock_advance_ms(3000);
    wakeup_next_driver(&next);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"wakeup 1"}));
    EXPECT_EQ(wakeups(1), 1u);
    EXPECT_EQ(disk_access[1].last_access, 103000u);
}
