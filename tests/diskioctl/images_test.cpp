// Split raw and E01 images read as the raw image they hold; sets that lack a
// segment or hold a damaged one are refused naming the segment at fault.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "DiskIOCtl.h"
#include "support/temp_dir.h"

namespace {

using bytes = std::vector<unsigned char>;

int Shell(const std::string& cmd) {
    return std::system((cmd + " >/dev/null 2>&1").c_str());
}

// A raw image of random bytes with its split and E01 forms beside it: split
// at a length that is no multiple of a sector (so that reads straddle
// segments mid-sector), E01 in 1 MiB segments.
struct ImageSet {
    TempDir dir;
    std::string raw = dir.file("disk.img");
    bytes data = bytes(3 * 1024 * 1024 + 7 * IDE_SECTOR_SIZE);

    ImageSet() {
        std::mt19937 random(15);
        for (unsigned char& b : data) b = static_cast<unsigned char>(random());
        std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
        const std::string d = "'" + dir.path() + "/";
        EXPECT_EQ(0, Shell("split -b 777777 -a 3 --numeric-suffixes=1 " + d + "disk.img' " + d + "disk.'"));
        EXPECT_EQ(0, Shell("split -b 1048576 -a 3 -d " + d + "disk.img' " + d + "disk.img.'"));
        EXPECT_EQ(0, Shell("ewfacquire -u -q -c none -S 1048576 -t " + d + "ewf' " + d + "disk.img'"));
    }
};

}  // namespace

// Reads that straddle segments; a split or E01 disk is never written (the
// overlay takes its writes, as for any read-only disk).
TEST(Images, EveryKindReadsAsTheRawImage) {
    ImageSet set;
    for (const std::string name : {"disk.001", "disk.img.000", "ewf.E01"}) {
        use_disks({set.dir.file(name)});
        disk_info info{};
        ASSERT_EQ(1, ide_getinfo64(&info)) << name;
        ASSERT_EQ(set.data.size() / IDE_SECTOR_SIZE, info.capa[0]) << name;
        EXPECT_TRUE(ide_disk_is_read_only(0)) << name;
        bytes back(set.data.size());
        // Odd-sized transfers that start anywhere in a segment.
        for (uint32_t lba = 0, count = 1; lba < info.capa[0]; lba += count, count = count % 37 + 5) {
            count = static_cast<uint32_t>(std::min<uint64_t>(count, info.capa[0] - lba));
            ASSERT_EQ(0, ide_read64(0, count, lba, 0, back.data() + uint64_t{lba} * IDE_SECTOR_SIZE))
                << name << lba;
        }
        EXPECT_TRUE(back == set.data) << name;
    }
}

// Each damage names the file at fault; a missing first file is unreadable,
// every other fault makes the set incomplete.
TEST(Images, AnIncompleteOrDamagedSetNamesTheSegment) {
    const struct {
        std::string damage, open;
        int code;
        std::string named;
    } cases[] = {
        {"rm disk.003", "disk.001", IDE_OPEN_INCOMPLETE, "disk.003 is missing"},
        {"truncate -s 5000 disk.002", "disk.001", IDE_OPEN_INCOMPLETE, "disk.002 holds 5000 bytes"},
        {"rm ewf.E02", "ewf.E01", IDE_OPEN_INCOMPLETE, "ewf.E02 is missing"},
        {"rm ewf.E04", "ewf.E01", IDE_OPEN_INCOMPLETE, "ewf.E04 is missing"},
        {"truncate -s 600000 ewf.E03", "ewf.E01", IDE_OPEN_INCOMPLETE, "ewf.E03 is truncated"},
        {"rm disk.img.000", "disk.img.000", IDE_OPEN_UNREADABLE, "disk.img.000: No such file"},
    };
    for (const auto& c : cases) {
        ImageSet set;
        ASSERT_EQ(0, Shell("cd '" + set.dir.path() + "' && " + c.damage)) << c.damage;
        std::string message;
        EXPECT_EQ(c.code, ide_probe_image(set.dir.file(c.open), &message)) << c.damage;
        EXPECT_NE(std::string::npos, message.find(set.dir.path() + "/" + c.named))
            << c.damage << ": " << message;
        use_disks({set.dir.file(c.open)});
        bytes sector(IDE_SECTOR_SIZE);
        EXPECT_EQ(IDE_ERR_NO_DISK, ide_read64(0, 1, 0, 0, sector.data())) << c.damage;
    }
}
