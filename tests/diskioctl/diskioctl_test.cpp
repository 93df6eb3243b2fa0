// The disk-access stand-in: which paths become disks, transfers that fail
// whole, and the in-memory overlay of read-only disks.
#include "DiskIOCtl.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "disk_table.h"
#include "support/temp_dir.h"

using bytes = std::vector<unsigned char>;

// Host paths first, empty list items skipped, at most 32 disks.
TEST(Disks, HostPathsThenTheEnvironmentGiveTheOrder) {
    TempDir dir;
    std::string a = make_sparse_image(dir.file("a.img"), 10), b = make_sparse_image(dir.file("b.img"), 20);
    setenv("TARVIK_DISKS", (b + ":" + a + "::" + b).c_str(), 1);
    use_disks({});
    disk_info info{};
    ASSERT_EQ(ide_getinfo64(&info), 3);
    EXPECT_EQ(std::vector<uint64_t>({0x7, 2, 20, 10}),
              std::vector<uint64_t>({info.present_mask, info.channel_num, info.capa[0], info.capa[1]}));
    use_disks(std::vector<std::string>(40, a));
    unsetenv("TARVIK_DISKS");
    ASSERT_EQ(ide_getinfo64(&info), 32);
    EXPECT_EQ(std::vector<uint64_t>({0xFFFFFFFF, 16}),
              std::vector<uint64_t>({info.present_mask, info.channel_num}));
    EXPECT_EQ(ide_disk_path(31), a);
}

// Discovery on a made-up machine: only the idle disk may get a number; disks
// in use (mounted, under a mounted mapper volume, swap) are passed over.
TEST(Disks, DiscoveryPassesOverTheSystemsDisks) {
    TempDir root;
    auto write_text = [](const std::string& path, const std::string& text) { std::ofstream(path) << text; };
    auto device = [&](const std::string& name, const char* sectors) {
        std::filesystem::create_directories(root.file("sys/block/" + name));
        write_text(root.file("sys/block/" + name + "/size"), sectors);
    };
    for (const char* name : {"ram0", "sda", "sdb", "sdc", "dm-0", "sde"}) device(name, "2048");
    device("sdd", "0");
    std::filesystem::create_directories(root.file("sys/block/sda/sda1"));
    write_text(root.file("sys/block/sda/sda1/partition"), "1");
    std::filesystem::create_directories(root.file("sys/block/sdb/holders/dm-0"));
    std::filesystem::create_directories(root.file("proc/self"));
    write_text(root.file("proc/self/mounts"),
               "/dev/sda1 / ext4 rw 0 0\n/dev/dm-0 /home ext4 rw 0 0\nproc /proc proc rw 0 0\n");
    write_text(root.file("proc/swaps"), "Filename Type Size Used Priority\n/dev/sde partition 1 0 -2\n");
    ide_set_system_root(root.path());
    const std::vector<ide_position> found = ide_discover_block_devices();
    ide_set_system_root("");
    std::vector<std::string> seen;
    for (const ide_position& p : found) seen.push_back(p.path + (p.skipped ? " skipped" : ""));
    EXPECT_EQ((std::vector<std::string>{"/dev/dm-0 skipped", "/dev/sda skipped", "/dev/sdb skipped",
                                        "/dev/sdc", "/dev/sde skipped"}),
              seen);
}

// A transfer that cannot complete fails whole and moves nothing; mended: a
// count near 2^32 does not wrap the range check.
TEST(Transfer, WhatCannotCompleteFailsWholeAndMovesNothing) {
    TempDir dir;
    std::string image = make_sparse_image(dir.file("disk.img"), 64),
                odd = make_sparse_image(dir.file("odd.img"), 0);
    std::string shrinking = make_sparse_image(dir.file("shrink.img"), 8);
    ASSERT_EQ(truncate(odd.c_str(), 1000), 0);  // one whole sector and a broken tail
    use_disks({image, odd, shrinking, dir.file("missing.img")});
    ASSERT_EQ(truncate(shrinking.c_str(), 5 * IDE_SECTOR_SIZE), 0);  // cut short after opening
    const int range = IDE_ERR_RANGE, none = IDE_ERR_NO_DISK;
    struct {
        uint32_t dev, count, lo, hi;
        bool write;
        int rc;
    } rows[] = {
        {0, 3, 62, 0, false, range},     {0, 1, 64, 0, false, range},
        {0, 1, 0, 1, false, range},      {0, 0xFFFFFFFFu, 2, 0, false, range},
        {0, 3, 62, 0, true, range},      {0, 1, 0, 1, true, range},
        {1, 1, 1, 0, false, range},      {3, 1, 0, 0, false, none},
        {3, 1, 0, 0, true, none},        {4, 1, 0, 0, false, none},
        {0x10000, 1, 0, 0, false, none}, {2, 4, 2, 0, false, IDE_ERR_SHORT},
        {0, 1, 63, 0, false, 0},         {1, 1, 0, 0, false, 0},
        {2, 3, 2, 0, false, 0},          {0, 0, 500, 0, true, 0},
    };
    uint64_t before = file_digest(image);
    for (const auto& r : rows) {
        bytes buf(4 * IDE_SECTOR_SIZE, 0xAA);
        int rc = r.write ? ide_write64(r.dev, r.count, r.lo, r.hi, buf.data())
                         : ide_read64(r.dev, r.count, r.lo, r.hi, buf.data());
        EXPECT_EQ(rc, r.rc) << r.dev << ": " << r.count << "@" << r.lo;
        EXPECT_TRUE(!rc || rc == IDE_ERR_SHORT || buf == bytes(buf.size(), 0xAA)) << r.dev << ": " << r.lo;
    }
    EXPECT_EQ(file_digest(image), before);
    EXPECT_EQ(ide_read64(0, 1, 0, 0, nullptr), IDE_ERR_ARG);
}

// A read-only disk's writes live in an overlay that reads see, until restart.
TEST(ReadOnly, WritesLandInTheOverlayAndTheImageStaysUnchanged) {
    TempDir dir;
    std::string image = make_sparse_image(dir.file("disk.img"), 4096);
    use_disks({image});
    bytes sector(IDE_SECTOR_SIZE, 6);
    ASSERT_EQ(ide_write64(0, 1, 5, 0, sector.data()), 0);
    uint64_t before = file_digest(image);
    use_disks({image}, true);
    ASSERT_TRUE(ide_disk_is_read_only(0));
    bytes two(2 * IDE_SECTOR_SIZE, 0xC3), far(IDE_SECTOR_SIZE, 0x7E), big(2048 * IDE_SECTOR_SIZE);
    ASSERT_EQ(ide_write64(0, 2, 3, 0, two.data()), 0);
    ASSERT_EQ(ide_write64(0, 1, 2000, 0, far.data()), 0);
    std::fill(sector.begin(), sector.end(), 0x01);
    ASSERT_EQ(ide_write64(0, 1, 4, 0, sector.data()), 0);  // the latest write wins
    ASSERT_EQ(ide_read64(0, 2048, 0, 0, big.data()), 0);
    const size_t S = IDE_SECTOR_SIZE;
    EXPECT_EQ(bytes({0, 0xC3, 0x01, 6, 0, 0x7E}),
              bytes({big[3 * S - 1], big[3 * S], big[4 * S], big[5 * S], big[1999 * S], big[2000 * S]}));
    EXPECT_EQ(ide_write64(0, 1, 4096, 0, far.data()), IDE_ERR_RANGE);
    EXPECT_EQ(file_digest(image), before);
    use_disks({image}, true);
    ASSERT_EQ(ide_read64(0, 1, 3, 0, sector.data()), 0);
    EXPECT_EQ(sector[0], 0);
}
