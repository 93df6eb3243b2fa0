// The player area and the log area, on two partitions large enough for both
// reserved regions, the second beyond 4 GiB.
#include "adapt_fixture.h"

namespace {

struct AreaTest : AdaptTest {
    uint64_t area = 0;
    uint32_t sectors = 0;

    void SetUp() override { ASSERT_TRUE(mount(2, 8400000, 256)); }
};

// The player directory comes from the disk: only the 17 entries that fit in
// its sector are searched whatever its count says, and an entry reaching
// outside the area, even by its last partial sector, finds nothing. Its
// listing shows exactly the names that open: no entry outside the area, no
// name that fills all 20 bytes or holds a "/", a repeated name once.
TEST_F(AreaTest, DamagedPlayerDirectory) {
    ASSERT_TRUE(player_area(pdp(), &area, &sectors));
    sector_bytes dir(512, 'z');  // no terminator after the entries
    memcpy(dir.data(), "PLAYER2.0\0\0\0\0\0\0\0\xFF\xFF\xFF\xFF", 20);
    for (uint32_t i = 0; i < PLAYER_MAX_ENTRIES; i++) {
        uint8_t* e = &dir[20 + i * 28];
        snprintf((char*)e, 20, "f%u", i);
        put_le32(e + 20, i == 0 ? 0xFFFFFFFF : i == 15 ? 513 : 512);
        put_le32(e + 24, i == 1 ? sectors * 512 : i == 15 ? (sectors - 1) * 512 : 512 * (i + 1));
    }
    memset(&dir[20 + 2 * 28], 'n', 20);
    strcpy((char*)&dir[20 + 3 * 28], "f4");
    strcpy((char*)&dir[20 + 5 * 28], "a/b");
    disk->put_sector(area, dir);
    init_buf_pool();
    const std::vector<std::string> listed = names("/mnt/idea0/player/*");
    EXPECT_EQ(
        (std::vector<std::string>{"f4", "f6", "f7", "f8", "f9", "f10", "f11", "f12", "f13", "f14", "f16"}),
        listed);
    for (const std::string& name : listed)
        EXPECT_EQ(512u, read_path("/mnt/idea0/player/" + name).size()) << name;
    for (const char* missing : {"f0", "f1", "f15", "zzzzzzzz"})
        EXPECT_EQ(nullptr, kx_fopen((std::string("/mnt/idea0/player/") + missing).c_str(), "rb")) << missing;
    EXPECT_EQ(nullptr, kx_fopen("/mnt/idea0/player/new", "wb"));  // every entry taken
    EXPECT_EQ("No such file!\nNo such file!\nNo such file!\nNo such file!\nNo such file!\n", log().text());
}

// Log transfers are addressed in 64 bits: on a partition beyond 4 GiB they
// reach the log area itself, not its address cut to 32 bits, and they end
// 8 MiB from its start.
TEST_F(AreaTest, LogAreaBeyondFourGiB) {
    ASSERT_TRUE(log_area(pdp(1), &area, &sectors));
    ASSERT_GT(area * 512, 1ull << 32);
    const std::vector<uint8_t> data = pattern(1500, 5);
    KXFILE f = kx_fopen("/mnt/idea1/log/system", "wb");
    ASSERT_TRUE(f != nullptr && kx_fseek(f, 100, 0) == 0);
    EXPECT_EQ(data.size(), kx_fwrite(data.data(), 1, data.size(), f));
    EXPECT_EQ(0, kx_fclose(f));
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 412, disk->sector(area).begin() + 100));
    EXPECT_EQ(sector_bytes(512), disk->sector(area & 0x7FFFFF));
    f = kx_fopen("/mnt/idea1/log/system", "rb");
    const std::vector<uint8_t> back = read_all(f, {2000});
    EXPECT_EQ(std::min(sectors, LOG_AREA_MAX_SECTORS) * 512ull, back.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin() + 100));
    EXPECT_EQ(0u, kx_fwrite(data.data(), 1, 10, f));
    EXPECT_EQ(0, kx_fclose(f));
}

// A reserved region is used only where writing it cannot touch metadata or
// recordings: inside the reserved clusters, clear of the user-data area.
TEST_F(AreaTest, ReservedRegionsOnlyInsideTheReservedClusters) {
    kx_driver* p = pdp();
    const uint32_t ud_end = p->ud_off + p->ud_item_num * p->ud_item_size / 512,
                   reserved_end = p->data_off + p->rev_clus * p->sector_per_clus;
    const uint32_t cases[][2] = {{ud_end, 4096},         {ud_end - 1, 4096}, {p->data_off - 16, 16},
                                 {reserved_end - 8, 16}, {0, 4096},          {ud_end, 0}};
    for (const auto& [off, n] : cases) {
        p->resv1_off = off;
        p->resv1_sectors = n;
        EXPECT_EQ(off == ud_end && n == 4096, player_area(p, &area, &sectors)) << off << " " << n;
    }
    EXPECT_EQ(nullptr, kx_fopen("/mnt/idea0/player/x", "wb"));
}

}  // namespace
