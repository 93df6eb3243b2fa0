// Sector transfers over image files: data lands where it is addressed, a
// transfer that cannot complete fails whole without moving a byte, and the
// injected faults and counters that the layers' tests rely on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "DiskIOCtl.h"
#include "support/temp_dir.h"

namespace {

using bytes = std::vector<unsigned char>;

bytes pattern(uint32_t sectors, unsigned char seed) {
    bytes b(static_cast<size_t>(sectors) * IDE_SECTOR_SIZE);
    for (size_t i = 0; i < b.size(); i++) b[i] = static_cast<unsigned char>(seed + i * 7);
    return b;
}

bytes file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

// Catches data landing at the wrong offset or only in a cache.
TEST(Transfer, WriteThenReadRoundTripsThroughTheFile) {
    TempDir dir;
    std::string image = make_sparse_image(dir.file("disk.img"), 64);
    use_disks({image});
    EXPECT_FALSE(ide_disk_is_read_only(0));
    bytes data = pattern(3, 0x11), back(5 * IDE_SECTOR_SIZE, 0xEE);
    ASSERT_EQ(ide_write64(0, 3, 5, 0, data.data()), 0);
    ASSERT_EQ(ide_read64(0, 5, 4, 0, back.data()), 0);
    bytes expected(5 * IDE_SECTOR_SIZE, 0);
    std::copy(data.begin(), data.end(), expected.begin() + IDE_SECTOR_SIZE);
    EXPECT_EQ(back, expected);
    bytes file = file_bytes(image);
    EXPECT_EQ(bytes(file.begin() + 5 * IDE_SECTOR_SIZE, file.begin() + 8 * IDE_SECTOR_SIZE), data);
}

// Catches range checks that wrap (count near 2^32), ignore the high LBA half,
// let a shrunken file or a missing disk pass, or move part of a transfer.
TEST(Transfer, WhatCannotCompleteFailsWholeAndMovesNothing) {
    TempDir dir;
    std::string image = make_sparse_image(dir.file("disk.img"), 64);
    std::string odd = make_sparse_image(dir.file("odd.img"), 0);
    ASSERT_EQ(truncate(odd.c_str(), 1000), 0);  // one whole sector and a broken tail
    std::string shrinking = make_sparse_image(dir.file("shrink.img"), 8);
    use_disks({image, odd, shrinking, dir.file("missing.img")});
    ASSERT_EQ(truncate(shrinking.c_str(), 5 * IDE_SECTOR_SIZE), 0);  // cut short after opening
    disk_info info{};
    ASSERT_EQ(ide_getinfo64(&info), 4);  // a path that cannot be opened keeps its number
    EXPECT_EQ(info.capa[1], 1u);
    EXPECT_EQ(info.capa[3], 0u);

    struct { uint32_t dev, count, lo, hi; bool write; int rc; } rows[] = {
        {0, 3, 62, 0, false, IDE_ERR_RANGE},       {0, 1, 64, 0, false, IDE_ERR_RANGE},
        {0, 1, 0, 1, false, IDE_ERR_RANGE},        {0, 0xFFFFFFFFu, 2, 0, false, IDE_ERR_RANGE},
        {0, 3, 62, 0, true, IDE_ERR_RANGE},        {0, 1, 0, 1, true, IDE_ERR_RANGE},
        {1, 1, 1, 0, false, IDE_ERR_RANGE},        {2, 4, 2, 0, false, IDE_ERR_SHORT},
        {3, 1, 0, 0, false, IDE_ERR_NO_DISK},      {3, 1, 0, 0, true, IDE_ERR_NO_DISK},
        {4, 1, 0, 0, false, IDE_ERR_NO_DISK},      {0x10000, 1, 0, 0, false, IDE_ERR_NO_DISK},
        {0, 1, 63, 0, false, 0},                   {1, 1, 0, 0, false, 0},
        {2, 3, 2, 0, false, 0},                    {0, 0, 500, 0, true, 0},  // empty: a success
    };
    uint64_t before = file_digest(image);
    for (const auto& r : rows) {
        bytes buf(4 * IDE_SECTOR_SIZE, 0xAA);
        int rc = r.write ? ide_write64(r.dev, r.count, r.lo, r.hi, buf.data())
                         : ide_read64(r.dev, r.count, r.lo, r.hi, buf.data());
        EXPECT_EQ(rc, r.rc) << r.dev << " " << r.count << "@" << r.lo;
        if (rc && rc != IDE_ERR_SHORT) {  // a short read may have filled part of the buffer
            EXPECT_EQ(buf, bytes(4 * IDE_SECTOR_SIZE, 0xAA)) << r.dev << " " << r.count << "@" << r.lo;
        }
    }
    EXPECT_EQ(file_digest(image), before);
    unsigned char sector[IDE_SECTOR_SIZE];
    EXPECT_EQ(ide_read64(0, 1, 0, 0, nullptr), IDE_ERR_ARG);
    EXPECT_EQ(ide_write64(0, 1, 0, 0, nullptr), IDE_ERR_ARG);
    use_disks({image});  // a fresh start closes the old disks
    EXPECT_EQ(ide_read64(1, 1, 0, 0, sector), IDE_ERR_NO_DISK);
}

// Catches a fault range that misses transfers overlapping only its edges,
// read faults blocking writes, and faults not surviving ide_init.
TEST(Faults, EveryTransferTouchingAFaultFailsWhole) {
    TempDir dir;
    std::string image = make_sparse_image(dir.file("disk.img"), 64);
    use_disks({image});
    ide_inject_fault(0, 10, 12, IDE_FAULT_READ);
    ide_inject_fault(0, 30, 20, IDE_FAULT_WRITE);  // given backwards: sectors 20..30
    bytes buf(4 * IDE_SECTOR_SIZE, 0x99);
    EXPECT_EQ(ide_read64(0, 3, 8, 0, buf.data()), IDE_ERR_INJECTED);   // ends at 10
    EXPECT_EQ(ide_read64(0, 4, 12, 0, buf.data()), IDE_ERR_INJECTED);  // starts at 12
    EXPECT_EQ(buf, bytes(4 * IDE_SECTOR_SIZE, 0x99));
    EXPECT_EQ(ide_read64(0, 2, 8, 0, buf.data()), 0);
    EXPECT_EQ(ide_read64(0, 4, 13, 0, buf.data()), 0);
    EXPECT_EQ(ide_write64(0, 1, 11, 0, buf.data()), 0);
    uint64_t before = file_digest(image);
    EXPECT_EQ(ide_write64(0, 4, 17, 0, buf.data()), IDE_ERR_INJECTED);
    EXPECT_EQ(ide_write64(0, 1, 30, 0, buf.data()), IDE_ERR_INJECTED);
    EXPECT_EQ(file_digest(image), before);
    ide_init();
    EXPECT_EQ(ide_write64(0, 1, 30, 0, buf.data()), IDE_ERR_INJECTED);
    ide_clear_faults();
    EXPECT_EQ(ide_write64(0, 1, 30, 0, buf.data()), 0);
}

// Catches faults applied to the wrong disk or kind, a malformed entry
// spoiling the rest, and the variable not being read afresh by ide_init.
TEST(Faults, FromTheEnvironmentPerDiskAndKind) {
    TempDir dir;
    std::string a = make_sparse_image(dir.file("a.img"), 64), b = make_sparse_image(dir.file("b.img"), 64);
    setenv("TARVIK_FAULTS", "0:5:r,bogus,1:0x7-9:w,0:40-41:rw,1:3:x", 1);
    use_disks({a, b});
    unsigned char s[IDE_SECTOR_SIZE] = {};
    EXPECT_EQ(ide_read64(0, 1, 5, 0, s), IDE_ERR_INJECTED);
    EXPECT_EQ(ide_write64(0, 1, 5, 0, s), 0);
    EXPECT_EQ(ide_read64(1, 1, 5, 0, s), 0);
    EXPECT_EQ(ide_write64(1, 1, 8, 0, s), IDE_ERR_INJECTED);
    EXPECT_EQ(ide_read64(1, 1, 8, 0, s), 0);
    EXPECT_EQ(ide_read64(0, 1, 41, 0, s), IDE_ERR_INJECTED);
    EXPECT_EQ(ide_write64(0, 1, 40, 0, s), IDE_ERR_INJECTED);
    EXPECT_EQ(ide_read64(1, 1, 3, 0, s), 0);
    unsetenv("TARVIK_FAULTS");
    ide_clear_faults();
    ide_init();
    EXPECT_EQ(ide_read64(0, 1, 5, 0, s), 0);
}

// The layers' tests count transfers: catches miscounted calls, sectors,
// failures or wake-ups, and counters that survive a reset or ide_init.
TEST(Counters, CountCallsSectorsFailuresAndWakeups) {
    TempDir dir;
    use_disks({make_sparse_image(dir.file("a.img"), 64), make_sparse_image(dir.file("b.img"), 64)});
    bytes buf(8 * IDE_SECTOR_SIZE);
    ASSERT_EQ(ide_read64(0, 8, 0, 0, buf.data()), 0);
    ASSERT_EQ(ide_read64(0, 2, 0, 0, buf.data()), 0);
    ASSERT_EQ(ide_write64(0, 3, 0, 0, buf.data()), 0);
    ASSERT_NE(ide_read64(0, 8, 60, 0, buf.data()), 0);
    ASSERT_EQ(ide_wakeup(1), 0);
    ide_counters c = ide_get_counters(0);
    EXPECT_EQ(std::vector<uint64_t>({c.reads, c.read_sectors, c.writes, c.written_sectors, c.failed, c.wakeups}),
              std::vector<uint64_t>({3, 18, 1, 3, 1, 0}));
    EXPECT_EQ(ide_get_counters(1).wakeups, 1u);
    ide_reset_counters();
    EXPECT_EQ(ide_get_counters(1).wakeups, 0u);
    ASSERT_EQ(ide_read64(0, 1, 0, 0, buf.data()), 0);
    ide_init();
    EXPECT_EQ(ide_get_counters(0).reads, 0u);
}
