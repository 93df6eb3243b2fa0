#include "support/test_volume.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/clock.h"

TestDisks::TestDisks(const std::vector<uint64_t>& sectors) {
    for (size_t i = 0; i < sectors.size(); i++)
        m_images.push_back(make_sparse_image(dir.file("disk" + std::to_string(i) + ".img"), sectors[i]));
    use_disks(m_images);
    pc_clock_set_fake({2009, 5, 31, 12, 0, 0}, 1000);
    kx_set_fs_adapt(0);
    start_up();
}

TestDisks::~TestDisks() {
    pc_clock_use_real();
}

void TestDisks::format(int disk, int parts, uint64_t size, uint32_t spc, uint64_t start) {
    kx_partition table[4] = {};
    for (int j = 0; j < parts; j++) table[j] = {start + j * size, size};
    ASSERT_EQ(0, kx_write_partitions(disk, table));
    for (int j = 0; j < parts; j++) ASSERT_EQ(0, kx_format_driver(disk, j, spc));
}

int TestDisks::start_up(packed_time shutdown) {
    log.clear();
    count = -1;
    return kx_file_sys_init(&count, &shutdown);
}

sector_bytes TestDisks::sector(uint64_t lba, int disk) const {
    sector_bytes s(SECTOR_SIZE);
    EXPECT_EQ(0, ide_read64(disk, 1, (uint32_t)lba, (uint32_t)(lba >> 32), s.data())) << lba;
    return s;
}

void TestDisks::put_sector(uint64_t lba, const sector_bytes& s, int disk) {
    ASSERT_EQ(0, ide_write64(disk, 1, (uint32_t)lba, (uint32_t)(lba >> 32), s.data())) << lba;
}

void TestDisks::put_word(uint64_t lba, size_t off, uint32_t value, int disk) {
    sector_bytes s = sector(lba, disk);
    put_le32(s.data() + off, value);
    put_sector(lba, s, disk);
    init_buf_pool();
}

TestVolume::TestVolume(uint64_t size, uint32_t spc, uint64_t start_sector)
    : TestDisks({start_sector + size}), start(start_sector) {
    kx_partition table[4] = {{start, size}, {0, 0}, {0, 0}, {0, 0}};
    EXPECT_EQ(0, kx_write_partitions(0, table));
    EXPECT_EQ(0, kx_format_driver(0, 0, spc));
    remount();
    EXPECT_NE(nullptr, pdp) << "the formatted volume did not mount";
}

int TestVolume::remount(packed_time shutdown) {
    int r = start_up(shutdown);
    pdp = get_pdp(0, 0);
    return r;
}

kx_driver TestVolume::desc() const {
    kx_driver d{};
    pdp_decode(&d, sector(desc_lba()).data());
    return d;
}

uint32_t TestVolume::desc_word(size_t off) const {
    return get_le32(sector(desc_lba()).data() + off);
}

kx_dir_item TestVolume::item(uint32_t clus) const {
    kx_dir_item it{};
    dir_item_decode(sector(start + desc().dir_off + clus / 16).data() + (clus % 16) * 32, &it);
    return it;
}

void expect_text_file(const std::string& path, const std::string& actual) {
    const char* update = getenv("TARVIK_UPDATE_GOLDEN");
    if (update && std::string(update) == "1") {
        std::ofstream(path, std::ios::binary) << actual;
        return;
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in.good()) << "cannot read " << path;
    std::ostringstream expected;
    expected << in.rdbuf();
    EXPECT_EQ(expected.str(), actual) << "differs from " << path;
}
