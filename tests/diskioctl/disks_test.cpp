// Which devices become the disks, and in which order.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <bit>
#include <climits>
#include <cstdlib>
#include <string>

#include "DiskIOCtl.h"
#include "support/temp_dir.h"

namespace {

class DisksEnv {
public:
    explicit DisksEnv(const std::string& value) { setenv("TARVIK_DISKS", value.c_str(), 1); }
    ~DisksEnv() { unsetenv("TARVIK_DISKS"); }
};

// The kernel name of the whole disk that holds the root file system ("" when
// the root is not on a block device, as in a container).
std::string root_disk_name() {
    struct stat st;
    if (stat("/", &st) != 0 || major(st.st_dev) == 0) return "";
    std::string link = "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                       std::to_string(minor(st.st_dev));
    char real[PATH_MAX];
    if (!realpath(link.c_str(), real)) return "";
    std::string path = real;
    size_t block = path.find("/block/");
    if (block == std::string::npos) return "";
    std::string rest = path.substr(block + 7);
    return rest.substr(0, rest.find('/'));
}

}  // namespace

TEST(Disks, EnvironmentListGivesTheOrder) {
    TempDir dir;
    std::string a = make_sparse_image(dir.file("a.img"), 10);
    std::string b = make_sparse_image(dir.file("b.img"), 20);
    std::string c = make_sparse_image(dir.file("c.img"), 30);
    DisksEnv env(c + ":" + a + "::" + b);
    use_disks({});

    disk_info info{};
    ASSERT_EQ(ide_getinfo64(&info), 3);
    EXPECT_EQ(info.present_mask, 0x7u);
    EXPECT_EQ(info.skip_mask, 0u);
    EXPECT_EQ(info.channel_num, 2u);
    EXPECT_EQ(info.capa[0], 30u);
    EXPECT_EQ(info.capa[1], 10u);
    EXPECT_EQ(info.capa[2], 20u);
    EXPECT_EQ(ide_disk_path(0), c);
    EXPECT_EQ(ide_disk_path(2), b);

    // Paths given by the host take precedence over the environment.
    use_disks({b});
    ASSERT_EQ(ide_getinfo64(&info), 1);
    EXPECT_EQ(ide_disk_path(0), b);
}

TEST(Disks, AtMostThirtyTwoPositions) {
    TempDir dir;
    std::string image = make_sparse_image(dir.file("disk.img"), 4);
    use_disks(std::vector<std::string>(40, image));

    disk_info info{};
    ASSERT_EQ(ide_getinfo64(&info), 32);
    EXPECT_EQ(info.present_mask, 0xFFFFFFFFu);
    EXPECT_EQ(info.channel_num, 16u);
    EXPECT_EQ(info.capa[31], 4u);
    EXPECT_EQ(ide_getinfo64(nullptr), -1);
}

// Without configured disks the machine's block devices are searched; the disk
// that carries the running system must never become a disk number.
TEST(Disks, DiscoveryPassesOverTheSystemDisk) {
    use_disks({});

    disk_info info{};
    int found = ide_getinfo64(&info);
    EXPECT_EQ(found, static_cast<int>(info.disk_num));
    EXPECT_EQ(info.skip_mask & ~info.present_mask, 0u);
    EXPECT_EQ(static_cast<int>(info.disk_num), std::popcount(info.present_mask & ~info.skip_mask));
    EXPECT_LE(info.disk_num, 32u);

    std::string root = root_disk_name();
    if (root.empty()) GTEST_SKIP() << "root file system is not on a block device";
    for (uint32_t n = 0; n < info.disk_num; n++) EXPECT_NE(ide_disk_path(static_cast<int>(n)), "/dev/" + root);
    EXPECT_NE(info.skip_mask, 0u);
}
