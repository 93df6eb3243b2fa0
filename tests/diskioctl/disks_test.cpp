// Which devices become the disks, and in which order.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <bit>
#include <climits>
#include <cstdlib>

#include "DiskIOCtl.h"
#include "support/temp_dir.h"

// Catches a wrong disk order, empty list items taken as disks, the host's
// paths losing to the environment, and more than 32 disk numbers.
TEST(Disks, HostPathsThenTheEnvironmentGiveTheOrder) {
    TempDir dir;
    std::string a = make_sparse_image(dir.file("a.img"), 10), b = make_sparse_image(dir.file("b.img"), 20);
    setenv("TARVIK_DISKS", (b + ":" + a + "::" + b).c_str(), 1);
    use_disks({});
    unsetenv("TARVIK_DISKS");
    disk_info info{};
    ASSERT_EQ(ide_getinfo64(&info), 3);
    EXPECT_EQ(info.present_mask, 0x7u);
    EXPECT_EQ(info.channel_num, 2u);
    EXPECT_EQ(info.capa[0], 20u);
    EXPECT_EQ(info.capa[1], 10u);
    EXPECT_EQ(ide_disk_path(1), a);

    setenv("TARVIK_DISKS", b.c_str(), 1);
    use_disks(std::vector<std::string>(40, a));
    unsetenv("TARVIK_DISKS");
    ASSERT_EQ(ide_getinfo64(&info), 32);
    EXPECT_EQ(info.present_mask, 0xFFFFFFFFu);
    EXPECT_EQ(info.channel_num, 16u);
    EXPECT_EQ(ide_disk_path(31), a);
    EXPECT_EQ(ide_getinfo64(nullptr), -1);
}

// Without configured disks the block devices are searched: the disk that
// carries the running system (mounted, swap or under a mounted holder) must
// never get a disk number that a write could reach.
TEST(Disks, DiscoveryPassesOverTheSystemDisk) {
    use_disks({});
    disk_info info{};
    EXPECT_EQ(ide_getinfo64(&info), static_cast<int>(info.disk_num));
    EXPECT_EQ(info.skip_mask & ~info.present_mask, 0u);
    EXPECT_EQ(static_cast<int>(info.disk_num), std::popcount(info.present_mask & ~info.skip_mask));

    struct stat st;
    if (stat("/", &st) != 0 || major(st.st_dev) == 0) GTEST_SKIP() << "root is not on a block device";
    std::string link = "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    char real[PATH_MAX];
    if (!realpath(link.c_str(), real)) GTEST_SKIP() << "no " << link;
    std::string path = real;
    size_t at = path.find("/block/");
    if (at == std::string::npos) GTEST_SKIP() << "root is on " << path;
    std::string root = "/dev/" + path.substr(at + 7, path.find('/', at + 7) - at - 7);
    for (uint32_t n = 0; n < info.disk_num; n++) EXPECT_NE(ide_disk_path(static_cast<int>(n)), root);
    EXPECT_NE(info.skip_mask, 0u);
}
