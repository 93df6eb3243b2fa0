// Read-only disks: writes are kept in memory and seen by later reads; the
// device itself is never written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "DiskIOCtl.h"
#include "support/temp_dir.h"

// Catches a write reaching the image, an overlay that a large or partial
// read does not see, an older overlay write winning, and an overlay that
// outlives a fresh start.
TEST(ReadOnly, WritesLandInTheOverlayAndTheImageStaysUnchanged) {
    TempDir dir;
    std::string image = make_sparse_image(dir.file("disk.img"), 4096);
    use_disks({image});
    std::vector<unsigned char> sector(IDE_SECTOR_SIZE);
    for (uint32_t s = 0; s < 16; s++) {  // sector n holds n + 1
        std::memset(sector.data(), static_cast<int>(s + 1), sector.size());
        ASSERT_EQ(ide_write64(0, 1, s, 0, sector.data()), 0);
    }
    uint64_t before = file_digest(image);

    use_disks({image}, true);
    ASSERT_TRUE(ide_disk_is_read_only(0));
    std::vector<unsigned char> two(2 * IDE_SECTOR_SIZE, 0xC3), far(IDE_SECTOR_SIZE, 0x7E);
    ASSERT_EQ(ide_write64(0, 2, 3, 0, two.data()), 0);
    ASSERT_EQ(ide_write64(0, 1, 2000, 0, far.data()), 0);
    std::vector<unsigned char> big(2048 * IDE_SECTOR_SIZE);  // 1 MiB: disk bytes with the overlay on top
    ASSERT_EQ(ide_read64(0, 2048, 0, 0, big.data()), 0);
    EXPECT_EQ(big[3 * IDE_SECTOR_SIZE - 1], 3);
    EXPECT_EQ(big[3 * IDE_SECTOR_SIZE], 0xC3);
    EXPECT_EQ(big[5 * IDE_SECTOR_SIZE - 1], 0xC3);
    EXPECT_EQ(big[5 * IDE_SECTOR_SIZE], 6);
    EXPECT_EQ(big[2000 * IDE_SECTOR_SIZE + 100], 0x7E);
    EXPECT_EQ(big[1999 * IDE_SECTOR_SIZE], 0);

    std::fill(sector.begin(), sector.end(), 0x01);
    ASSERT_EQ(ide_write64(0, 1, 4, 0, sector.data()), 0);  // the latest write wins
    ASSERT_EQ(ide_read64(0, 2, 3, 0, two.data()), 0);
    EXPECT_EQ(two[0], 0xC3);
    EXPECT_EQ(two[IDE_SECTOR_SIZE], 0x01);
    EXPECT_EQ(ide_write64(0, 1, 4096, 0, far.data()), IDE_ERR_RANGE);
    EXPECT_EQ(file_digest(image), before);

    use_disks({image}, true);
    ASSERT_EQ(ide_read64(0, 1, 3, 0, sector.data()), 0);
    EXPECT_EQ(sector[0], 4);
}

// Catches a file the process may not write being opened for writing (or not
// at all). Root may write any file, so the check runs in a child that has
// given up root.
TEST(ReadOnly, AFileThatCannotBeWrittenIsOpenedReadOnly) {
    TempDir dir;
    std::string image = make_sparse_image(dir.file("locked.img"), 8);
    ASSERT_EQ(chmod(image.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    uint64_t before = file_digest(image);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
        use_disks({image});
        unsigned char out[IDE_SECTOR_SIZE], back[IDE_SECTOR_SIZE] = {};
        std::memset(out, 0x42, sizeof out);
        bool ok = ide_disk_is_read_only(0) && ide_write64(0, 1, 1, 0, out) == 0 &&
                  ide_read64(0, 1, 1, 0, back) == 0 && back[0] == 0x42;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(file_digest(image), before);
}
