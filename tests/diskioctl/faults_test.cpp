// Injected faults and the transfer counters that tests of the layers above
// rely on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "DiskIOCtl.h"
#include "support/temp_dir.h"

namespace {

// Sets TARVIK_FAULTS for the life of the object.
class FaultsEnv {
public:
    explicit FaultsEnv(const char* value) { setenv("TARVIK_FAULTS", value, 1); }
    ~FaultsEnv() { unsetenv("TARVIK_FAULTS"); }
};

}  // namespace

TEST(Faults, InjectedRangeFailsEveryTransferTouchingIt) {
    TempDir dir;
    std::string image = make_sparse_image(dir.file("disk.img"), 64);
    use_disks({image});
    ide_inject_fault(0, 10, 12, IDE_FAULT_READ);
    ide_inject_fault(0, 30, 20, IDE_FAULT_WRITE);  // given backwards: sectors 20..30

    std::vector<unsigned char> buf(4 * IDE_SECTOR_SIZE, 0x99);
    EXPECT_EQ(ide_read64(0, 3, 8, 0, buf.data()), IDE_ERR_INJECTED);   // ends at 10
    EXPECT_EQ(ide_read64(0, 4, 12, 0, buf.data()), IDE_ERR_INJECTED);  // starts at 12
    EXPECT_EQ(ide_read64(0, 1, 11, 0, buf.data()), IDE_ERR_INJECTED);
    for (unsigned char b : buf) ASSERT_EQ(b, 0x99);  // nothing moved into the buffer
    EXPECT_EQ(ide_read64(0, 2, 8, 0, buf.data()), 0);
    EXPECT_EQ(ide_read64(0, 4, 13, 0, buf.data()), 0);

    // A read fault does not stop writes, and a write fault writes nothing.
    std::fill(buf.begin(), buf.end(), 0x3D);
    EXPECT_EQ(ide_write64(0, 1, 11, 0, buf.data()), 0);
    uint64_t before = file_digest(image);
    EXPECT_EQ(ide_write64(0, 4, 17, 0, buf.data()), IDE_ERR_INJECTED);
    EXPECT_EQ(ide_write64(0, 1, 30, 0, buf.data()), IDE_ERR_INJECTED);
    EXPECT_EQ(file_digest(image), before);
    EXPECT_EQ(ide_read64(0, 4, 17, 0, buf.data()), 0);

    ide_clear_faults();
    EXPECT_EQ(ide_read64(0, 1, 11, 0, buf.data()), 0);
    EXPECT_EQ(ide_write64(0, 1, 30, 0, buf.data()), 0);
}

TEST(Faults, FromTheEnvironmentPerDiskAndKind) {
    TempDir dir;
    std::string a = make_sparse_image(dir.file("a.img"), 64);
    std::string b = make_sparse_image(dir.file("b.img"), 64);
    FaultsEnv env("0:5:r,bogus,1:0x7-9:w,0:40-41:rw,1:3:x");
    use_disks({a, b});

    unsigned char sector[IDE_SECTOR_SIZE] = {};
    EXPECT_EQ(ide_read64(0, 1, 5, 0, sector), IDE_ERR_INJECTED);
    EXPECT_EQ(ide_write64(0, 1, 5, 0, sector), 0);
    EXPECT_EQ(ide_read64(1, 1, 5, 0, sector), 0);  // same sector, other disk
    EXPECT_EQ(ide_write64(1, 1, 8, 0, sector), IDE_ERR_INJECTED);
    EXPECT_EQ(ide_read64(1, 1, 8, 0, sector), 0);
    EXPECT_EQ(ide_read64(0, 1, 41, 0, sector), IDE_ERR_INJECTED);
    EXPECT_EQ(ide_write64(0, 1, 40, 0, sector), IDE_ERR_INJECTED);
    EXPECT_EQ(ide_read64(1, 1, 3, 0, sector), 0);  // the malformed entry is ignored

    // ide_init reads the variable afresh.
    unsetenv("TARVIK_FAULTS");
    ide_init();
    EXPECT_EQ(ide_read64(0, 1, 5, 0, sector), 0);
}

TEST(Counters, CountCallsSectorsFailuresAndWakeups) {
    TempDir dir;
    std::string a = make_sparse_image(dir.file("a.img"), 64);
    std::string b = make_sparse_image(dir.file("b.img"), 64);
    use_disks({a, b});

    std::vector<unsigned char> buf(8 * IDE_SECTOR_SIZE);
    ASSERT_EQ(ide_read64(0, 8, 0, 0, buf.data()), 0);
    ASSERT_EQ(ide_read64(0, 2, 0, 0, buf.data()), 0);
    ASSERT_EQ(ide_write64(0, 3, 0, 0, buf.data()), 0);
    ASSERT_NE(ide_read64(0, 8, 60, 0, buf.data()), 0);
    ASSERT_EQ(ide_wakeup(1), 0);
    ASSERT_EQ(ide_wakeup(1), 0);

    ide_counters c0 = ide_get_counters(0);
    EXPECT_EQ(c0.reads, 3u);
    EXPECT_EQ(c0.read_sectors, 18u);
    EXPECT_EQ(c0.writes, 1u);
    EXPECT_EQ(c0.written_sectors, 3u);
    EXPECT_EQ(c0.failed, 1u);
    EXPECT_EQ(c0.wakeups, 0u);
    EXPECT_EQ(ide_get_counters(1).wakeups, 2u);
    EXPECT_EQ(ide_get_counters(1).reads, 0u);

    ide_reset_counters();
    EXPECT_EQ(ide_get_counters(1).wakeups, 0u);
    ASSERT_EQ(ide_read64(0, 1, 0, 0, buf.data()), 0);
    ide_init();
    EXPECT_EQ(ide_get_counters(0).reads, 0u);
}
