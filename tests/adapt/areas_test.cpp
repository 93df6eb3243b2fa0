// The partition summary, the player area and the log area.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "adapt_support.h"
#include "disk.h"

using namespace adapt_test;

namespace {

constexpr uint64_t PART_SECTORS = 2000000;  // large enough for both reserved regions
constexpr uint64_t FAR_START = 9000000;     // partition 1 starts beyond 4 GiB

struct AreaFixture : ::testing::Test {
    Volume vol{std::vector<kx_partition>{{2048, PART_SECTORS}, {FAR_START, PART_SECTORS}}, 256};
    uint64_t area = 0;
    uint32_t sectors = 0;

    // Bytes of the image file at an absolute byte address, not through the
    // library.
    std::vector<uint8_t> image_bytes(uint64_t at, size_t n) {
        std::vector<uint8_t> out(n);
        const int fd = open(vol.image.c_str(), O_RDONLY);
        EXPECT_EQ((ssize_t)n, pread(fd, out.data(), n, (off_t)at));
        close(fd);
        return out;
    }
    size_t put(const char* path, const char* mode, const std::vector<uint8_t>& data, int64_t at = 0) {
        KXFILE f = kx_fopen(path, mode);
        if (f == nullptr) return 0;
        EXPECT_EQ(0, kx_fseek(f, at, 0));
        const size_t n = kx_fwrite(data.data(), 1, data.size(), f);
        EXPECT_EQ(0, kx_fclose(f));
        return n;
    }
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = (uint8_t)(i * 29 + seed + (i >> 8));
    return v;
}

int32_t word(const uint8_t* rec, size_t off) {
    return (int32_t)get_le32(rec + off);
}

TEST_F(AreaFixture, SummaryReadAndWritten) {
    RecordLayout layout(vol.pdp());
    layout_record r;
    r.start = at(2009, 5, 31, 9, 15, 30);
    r.end = at(2009, 5, 31, 10, 0, 0);
    r.write_data = false;
    layout.write(r);

    KXFILE f = kx_fopen("/mnt/idea0/DVRWorkDirectory", "rb");
    ASSERT_NE(nullptr, f);
    uint8_t rec[SUMMARY_RECORD_BYTES + 16];
    memset(rec, 0xAA, sizeof rec);
    ASSERT_EQ(1u, kx_fread(rec, SUMMARY_RECORD_BYTES, 1, f));
    EXPECT_EQ(0xAA, rec[SUMMARY_RECORD_BYTES]);   // nothing beyond the record
    EXPECT_EQ(0, word(rec, 36) | word(rec, 40));  // type, err_status
    EXPECT_EQ(0, memcmp(rec + 44, rec + 108, 64));
    const int32_t start1[8] = {2009, 5, 31, 0, 9, 15, 30, 0}, unset[8] = {2000, 1, 1, 0, 0, 0, 0, 0};
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(start1[i], word(rec, 44 + 4 * i)) << i;
        for (size_t off : {172, 204, 236, 268}) EXPECT_EQ(unset[i], word(rec, off + 4 * i)) << off;
    }
    uint8_t small[100];  // a shorter request gets what fits
    EXPECT_EQ(1u, kx_fread(small, sizeof small, 1, f));
    EXPECT_EQ(0, memcmp(small, rec, sizeof small));
    EXPECT_EQ(0, kx_fclose(f));

    // Written back, the label and the word reach the descriptor on the disk.
    memcpy(rec, "NORTH GATE", 11);
    put_le32(rec + 32, 0x1234);
    EXPECT_EQ(0u, put("/mnt/idea0/DVRWorkDirectory", "wb", std::vector<uint8_t>(rec, rec + 100)));
    EXPECT_EQ(300u, put("/mnt/idea0/DVRWorkDirectory", "wb", std::vector<uint8_t>(rec, rec + 300)));
    alignas(512) uint8_t desc[512];
    ASSERT_EQ(0, disk_read(0, 1, vol.pdp()->start_sector + KX_TEMP_OFF, desc));
    EXPECT_EQ(0, memcmp(desc + 192, "NORTH GATE", 11));
    EXPECT_EQ(0x1234u, get_le32(desc + 232));
    // Span 1 unset while span 2 is not: the writer moves on as when the
    // volume is full (in single-driver mode the ring restarts in place).
    for (size_t off : {44, 76})
        for (int i = 0; i < 8; i++) put_le32(rec + off + 4 * i, (uint32_t)unset[i]);
    put_le32(rec + 172, 2008);
    EXPECT_EQ(300u, put("/mnt/idea0/DVRWorkDirectory", "wb", std::vector<uint8_t>(rec, rec + 300)));
    EXPECT_EQ(vol.pdp()->rev_clus - 1, vol.pdp()->current_cluster);
    EXPECT_EQ(KX_STATUS_CLOSED, vol.pdp()->status);
}

TEST_F(AreaFixture, PlayerFilesWrittenAndReadBack) {
    ASSERT_TRUE(player_area(vol.pdp(), &area, &sectors));
    EXPECT_EQ(nullptr, kx_fopen("/mnt/idea0/player/setup.bin", "rb"));
    EXPECT_EQ("No such directory!\n", vol.log.text());
    const std::vector<uint8_t> setup = pattern(1000, 1), ui = pattern(513, 2);
    EXPECT_EQ(1000u, put("/mnt/idea0/player/setup.bin", "wb", setup));
    EXPECT_EQ(513u, put("/mnt/idea0/player/ui.bin", "wb", ui));

    alignas(512) uint8_t dir[512];
    ASSERT_EQ(0, disk_read(0, 1, area, dir));
    EXPECT_EQ(0, memcmp(dir, "PLAYER2.0", 10));
    EXPECT_EQ(2u, get_le32(dir + 16));
    EXPECT_STREQ("setup.bin", (const char*)dir + 20);
    EXPECT_EQ(1000u, get_le32(dir + 40));
    EXPECT_EQ(512u, get_le32(dir + 44));
    EXPECT_STREQ("ui.bin", (const char*)dir + 48);
    EXPECT_EQ(513u, get_le32(dir + 68));
    EXPECT_EQ(1536u, get_le32(dir + 72));  // (512 + 1000 + 512) / 512 * 512
    EXPECT_TRUE(setup == image_bytes((area + 1) * 512, 1000));

    // Read back in pieces of any size, from any position, never past the end.
    for (const auto& [name, data] : {std::pair{"setup.bin", &setup}, std::pair{"ui.bin", &ui}}) {
        KXFILE f = kx_fopen((std::string("/mnt/idea0/player/") + name).c_str(), "rb");
        ASSERT_NE(nullptr, f);
        EXPECT_TRUE(*data == read_all(f, {1, 511, 100}));
        ASSERT_EQ(0, kx_fseek(f, 301, 0));
        uint8_t b[300];
        ASSERT_EQ(200u, kx_fread(b, 1, 200, f));
        EXPECT_EQ(0, memcmp(b, data->data() + 301, 200));
        EXPECT_EQ(0, kx_fclose(f));
    }
    // Writing a name again restarts the directory.
    EXPECT_EQ(10u, put("/mnt/idea0/player/setup.bin", "wb", pattern(10, 3)));
    vol.log.clear();
    EXPECT_EQ(nullptr, kx_fopen("/mnt/idea0/player/ui.bin", "rb"));
    EXPECT_EQ(nullptr, kx_fopen("/mnt/idea0/player/a-name-over-twenty-chars", "wb"));
    EXPECT_EQ("No such file!\nNo such file!\n", vol.log.text());
}

// The player directory comes from the disk: a count beyond the entries that
// fit in its sector, or entries that point outside the area, find nothing and
// make nothing touch memory or sectors outside them.
TEST_F(AreaFixture, DamagedPlayerDirectory) {
    ASSERT_TRUE(player_area(vol.pdp(), &area, &sectors));
    alignas(512) uint8_t dir[512] = {};
    memcpy(dir, "PLAYER2.0", 10);
    put_le32(dir + 16, 0xFFFFFFFF);
    for (uint32_t i = 0; i < PLAYER_MAX_ENTRIES; i++) {
        uint8_t* e = dir + 20 + i * 28;
        snprintf((char*)e, 20, "f%u", i);
        put_le32(e + 20, i == 0 ? 0xFFFFFFFF : 512);
        put_le32(e + 24, i == 1 ? sectors * 512 : 512 * (i + 1));
    }
    memset(dir + 20 + PLAYER_MAX_ENTRIES * 28, 'z', 512 - 20 - PLAYER_MAX_ENTRIES * 28);  // no terminator
    ASSERT_EQ(0, disk_write(0, 1, area, dir));
    init_buf_pool();
    for (const char* missing : {"f0", "f1", "zzzzzzzzzz"})
        EXPECT_EQ(nullptr, kx_fopen((std::string("/mnt/idea0/player/") + missing).c_str(), "rb")) << missing;
    KXFILE f = kx_fopen("/mnt/idea0/player/f16", "rb");
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(0, kx_fclose(f));
    vol.log.clear();
    EXPECT_EQ(nullptr, kx_fopen("/mnt/idea0/player/new", "wb"));  // every entry taken
    EXPECT_EQ("No such file!\n", vol.log.text());
}

// Log transfers are addressed in 64 bits: on a partition beyond 4 GiB they
// reach the log area itself, and they end 8 MiB from its start. A partition
// without reserved regions has neither area.
TEST_F(AreaFixture, LogAreaBeyondFourGiB) {
    ASSERT_TRUE(log_area(vol.pdp(1), &area, &sectors));
    ASSERT_GT(area * 512, 1ull << 32);
    const std::vector<uint8_t> data = pattern(1500, 5);
    EXPECT_EQ(data.size(), put("/mnt/idea1/log/system", "wb", data, 100));
    EXPECT_TRUE(data == image_bytes(area * 512 + 100, data.size()));
    EXPECT_TRUE(std::vector<uint8_t>(data.size(), 0) ==
                image_bytes((area * 512 + 100) & 0xFFFFFFFFu, data.size()));

    KXFILE f = kx_fopen("/mnt/idea1/log/system", "rb");
    ASSERT_NE(nullptr, f);
    std::vector<uint8_t> back(2000);
    EXPECT_EQ(2000u, kx_fread(back.data(), 1, back.size(), f));
    EXPECT_EQ(0, memcmp(back.data() + 100, data.data(), data.size()));
    ASSERT_EQ(0, kx_fseek(f, (int64_t)std::min(sectors, LOG_AREA_MAX_SECTORS) * 512 - 100, 0));
    EXPECT_EQ(100u, kx_fread(back.data(), 1, 1000, f));
    EXPECT_EQ(0u, kx_fread(back.data(), 1, 1000, f));
    EXPECT_EQ(0u, kx_fwrite(back.data(), 1, 10, f));
    EXPECT_EQ(0, kx_fclose(f));
}

TEST(Areas, SmallPartitionHasNone) {
    Volume vol(part_sectors(64, 100), 64);
    EXPECT_EQ(nullptr, kx_fopen("/mnt/idea0/player/setup.bin", "wb"));
    EXPECT_EQ(nullptr, kx_fopen("/mnt/idea0/log/system", "rb"));
    EXPECT_EQ(nullptr, kx_fopen("/mnt/idea3/log/system", "rb"));
    EXPECT_EQ("No such file!\nNo such file!\nNo such driver!\n", vol.log.text());
}

}  // namespace
