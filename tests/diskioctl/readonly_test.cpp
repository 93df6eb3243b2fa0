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

namespace {

// Puts a recognisable byte in every sector of an image (sector n holds n + 1).
void fill_image(int sectors) {
    std::vector<unsigned char> sector(IDE_SECTOR_SIZE);
    for (int s = 0; s < sectors; s++) {
        std::memset(sector.data(), s + 1, sector.size());
        ASSERT_EQ(ide_write64(0, 1, static_cast<uint32_t>(s), 0, sector.data()), 0);
    }
}

}  // namespace

TEST(ReadOnly, WritesLandInTheOverlayAndTheImageStaysUnchanged) {
    TempDir dir;
    std::string image = make_sparse_image(dir.file("disk.img"), 4096);
    use_disks({image});
    fill_image(16);
    uint64_t before = file_digest(image);

    use_disks({image}, true);
    ASSERT_TRUE(ide_disk_is_read_only(0));
    std::vector<unsigned char> written(2 * IDE_SECTOR_SIZE, 0xC3);
    ASSERT_EQ(ide_write64(0, 2, 3, 0, written.data()), 0);
    std::vector<unsigned char> far(IDE_SECTOR_SIZE, 0x7E);
    ASSERT_EQ(ide_write64(0, 1, 2000, 0, far.data()), 0);

    // A 1 MiB read sees disk bytes with the kept sectors laid over them.
    std::vector<unsigned char> big(2048 * IDE_SECTOR_SIZE);
    ASSERT_EQ(ide_read64(0, 2048, 0, 0, big.data()), 0);
    EXPECT_EQ(big[2 * IDE_SECTOR_SIZE], 3);
    EXPECT_EQ(big[3 * IDE_SECTOR_SIZE], 0xC3);
    EXPECT_EQ(big[5 * IDE_SECTOR_SIZE - 1], 0xC3);
    EXPECT_EQ(big[5 * IDE_SECTOR_SIZE], 6);
    EXPECT_EQ(big[2000 * IDE_SECTOR_SIZE + 100], 0x7E);
    EXPECT_EQ(big[1999 * IDE_SECTOR_SIZE], 0);

    // A small read inside the kept range, and the latest write wins.
    std::vector<unsigned char> again(IDE_SECTOR_SIZE, 0x01);
    ASSERT_EQ(ide_write64(0, 1, 4, 0, again.data()), 0);
    std::vector<unsigned char> small(2 * IDE_SECTOR_SIZE);
    ASSERT_EQ(ide_read64(0, 2, 3, 0, small.data()), 0);
    EXPECT_EQ(small[0], 0xC3);
    EXPECT_EQ(small[IDE_SECTOR_SIZE], 0x01);

    // Writes past the end fail on a read-only disk too.
    EXPECT_EQ(ide_write64(0, 1, 4096, 0, far.data()), IDE_ERR_RANGE);

    EXPECT_EQ(file_digest(image), before);

    // A fresh start forgets the overlay.
    use_disks({image}, true);
    ASSERT_EQ(ide_read64(0, 1, 3, 0, small.data()), 0);
    EXPECT_EQ(small[0], 4);
}

// A file the process may not write is opened read-only with the overlay.
// Root may write any file, so the check runs in a child that has given up
// root (or directly, when the suite does not run as root).
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
        unsigned char sector[IDE_SECTOR_SIZE];
        std::memset(sector, 0x42, sizeof sector);
        unsigned char back[IDE_SECTOR_SIZE] = {};
        bool ok = ide_disk_is_read_only(0) && ide_write64(0, 1, 1, 0, sector) == 0 &&
                  ide_read64(0, 1, 1, 0, back) == 0 && back[0] == 0x42;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(file_digest(image), before);
}
