// Sector transfers over image files: data lands where it is addressed, and a
// transfer that cannot complete fails whole without moving a byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "DiskIOCtl.h"
#include "support/temp_dir.h"

namespace {

std::vector<unsigned char> pattern(uint32_t sectors, unsigned char seed) {
    std::vector<unsigned char> bytes(static_cast<size_t>(sectors) * IDE_SECTOR_SIZE);
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<unsigned char>(seed + i * 7);
    return bytes;
}

std::vector<unsigned char> file_bytes(const std::string& path, uint64_t offset, size_t n) {
    std::vector<unsigned char> bytes(n);
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(pread(fd, bytes.data(), n, static_cast<off_t>(offset)), static_cast<ssize_t>(n));
    close(fd);
    return bytes;
}

bool all_equal(const std::vector<unsigned char>& bytes, size_t from, size_t to, unsigned char v) {
    return std::all_of(bytes.begin() + from, bytes.begin() + to, [v](unsigned char b) { return b == v; });
}

}  // namespace

TEST(Transfer, WriteThenReadRoundTripsAndReachesTheFile) {
    TempDir dir;
    std::string image = make_sparse_image(dir.file("disk.img"), 64);
    use_disks({image});

    EXPECT_FALSE(ide_disk_is_read_only(0));
    auto data = pattern(3, 0x11);
    ASSERT_EQ(ide_write64(0, 3, 5, 0, data.data()), 0);

    std::vector<unsigned char> back(5 * IDE_SECTOR_SIZE, 0xEE);
    ASSERT_EQ(ide_read64(0, 5, 4, 0, back.data()), 0);
    EXPECT_TRUE(all_equal(back, 0, IDE_SECTOR_SIZE, 0));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin() + IDE_SECTOR_SIZE));
    EXPECT_TRUE(all_equal(back, 4 * IDE_SECTOR_SIZE, back.size(), 0));

    // The bytes are in the file at sector 5, not merely remembered.
    EXPECT_EQ(file_bytes(image, 5 * IDE_SECTOR_SIZE, data.size()), data);
}

TEST(Transfer, PastTheEndFailsAndMovesNothing) {
    TempDir dir;
    std::string image = make_sparse_image(dir.file("disk.img"), 64);
    use_disks({image});
    uint64_t before = file_digest(image);

    std::vector<unsigned char> buf(4 * IDE_SECTOR_SIZE, 0xAA);
    EXPECT_EQ(ide_read64(0, 3, 62, 0, buf.data()), IDE_ERR_RANGE);
    EXPECT_EQ(ide_read64(0, 1, 64, 0, buf.data()), IDE_ERR_RANGE);
    EXPECT_EQ(ide_read64(0, 1, 0, 1, buf.data()), IDE_ERR_RANGE);       // high half of the LBA
    EXPECT_EQ(ide_read64(0, 0xFFFFFFFFu, 2, 0, buf.data()), IDE_ERR_RANGE);  // no wrap-around
    EXPECT_TRUE(all_equal(buf, 0, buf.size(), 0xAA));

    EXPECT_EQ(ide_write64(0, 3, 62, 0, buf.data()), IDE_ERR_RANGE);
    EXPECT_EQ(ide_write64(0, 1, 0, 1, buf.data()), IDE_ERR_RANGE);
    EXPECT_EQ(file_digest(image), before);

    // The last sector itself is in range, and an empty transfer is a success.
    EXPECT_EQ(ide_read64(0, 1, 63, 0, buf.data()), 0);
    EXPECT_EQ(ide_read64(0, 0, 500, 0, nullptr), 0);
    EXPECT_EQ(ide_write64(0, 0, 500, 0, nullptr), 0);
}

TEST(Transfer, ShortAndShrunkenFiles) {
    TempDir dir;
    // 1000 bytes hold one whole sector; the broken tail is not part of the disk.
    std::string odd = dir.file("odd.img");
    ASSERT_EQ(truncate(make_sparse_image(odd, 0).c_str(), 1000), 0);
    std::string shrinking = make_sparse_image(dir.file("shrink.img"), 8);
    use_disks({odd, shrinking});

    disk_info info{};
    ASSERT_EQ(ide_getinfo64(&info), 2);
    EXPECT_EQ(info.capa[0], 1u);
    std::vector<unsigned char> buf(4 * IDE_SECTOR_SIZE, 0x5C);
    EXPECT_EQ(ide_read64(0, 1, 0, 0, buf.data()), 0);
    EXPECT_EQ(ide_read64(0, 1, 1, 0, buf.data()), IDE_ERR_RANGE);

    // A file cut short after opening: the read meets its end and fails whole.
    ASSERT_EQ(truncate(shrinking.c_str(), 5 * IDE_SECTOR_SIZE), 0);
    EXPECT_NE(ide_read64(1, 4, 2, 0, buf.data()), 0);
    EXPECT_EQ(ide_read64(1, 3, 2, 0, buf.data()), 0);
    EXPECT_EQ(ide_get_counters(1).failed, 1u);
}

TEST(Transfer, UnknownDisksAndBadArgumentsFail) {
    TempDir dir;
    std::string image = make_sparse_image(dir.file("disk.img"), 16);
    use_disks({image, dir.file("missing.img")});

    // A path that cannot be opened still takes its disk number.
    disk_info info{};
    ASSERT_EQ(ide_getinfo64(&info), 2);
    EXPECT_EQ(info.capa[1], 0u);
    EXPECT_EQ(ide_disk_path(1), dir.file("missing.img"));

    unsigned char sector[IDE_SECTOR_SIZE] = {};
    EXPECT_EQ(ide_read64(1, 1, 0, 0, sector), IDE_ERR_NO_DISK);
    EXPECT_EQ(ide_read64(1, 0, 0, 0, sector), IDE_ERR_NO_DISK);
    EXPECT_EQ(ide_write64(1, 1, 0, 0, sector), IDE_ERR_NO_DISK);
    EXPECT_EQ(ide_read64(2, 1, 0, 0, sector), IDE_ERR_NO_DISK);
    EXPECT_EQ(ide_read64(0x10000, 1, 0, 0, sector), IDE_ERR_NO_DISK);  // device type 1
    EXPECT_EQ(ide_read64(0, 1, 0, 0, nullptr), IDE_ERR_ARG);
    EXPECT_EQ(ide_write64(0, 1, 0, 0, nullptr), IDE_ERR_ARG);
    EXPECT_EQ(ide_disk_path(-1), "");

    // A fresh start closes the old disks: the second number is gone.
    use_disks({image});
    EXPECT_EQ(ide_getinfo64(&info), 1);
    EXPECT_EQ(ide_read64(1, 1, 0, 0, sector), IDE_ERR_NO_DISK);
}
