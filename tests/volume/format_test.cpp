// Volume format: geometry, descriptor, reserved items, refusals, and
// re-initialising a whole disk.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>

#include "meta/meta.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "volume/volume.h"

namespace {

using sector = std::array<uint8_t, 512>;

sector disk_sector(uint64_t lba) {
    sector s{};
    EXPECT_EQ(0, ide_read64(0, 1, (uint32_t)lba, (uint32_t)(lba >> 32), s.data()));
    return s;
}

kx_driver disk_descriptor(uint64_t start) {
    kx_driver d{};
    pdp_decode(&d, disk_sector(start + KX_TEMP_OFF).data());
    return d;
}

// Byte 0 of items 0..count-1 (item_bytes each) of an area is `mark` for the
// first `marked` items; every other byte is 0.
void expect_marked(uint64_t area, uint32_t count, uint32_t item_bytes, uint32_t marked, uint8_t mark) {
    for (uint32_t i = 0; i < count; i += 512 / item_bytes) {
        sector s = disk_sector(area + i * item_bytes / 512);
        for (uint32_t b = 0; b < 512; b++) {
            uint32_t item = i + b / item_bytes;
            ASSERT_EQ((b % item_bytes == 0 && item < marked) ? mark : 0, s[b]) << "item " << item;
        }
    }
}

class FormatTest : public ::testing::Test {
protected:
    TempDir m_dir;
    LogCapture m_log;
    std::string m_image;

    // A fresh disk, the library started over it; with a size, a table whose
    // partition 0 is {start, size}.
    void start_disk(uint64_t sectors, uint64_t start = 0, uint64_t size = 0) {
        m_image = make_sparse_image(m_dir.file("disk.img"), sectors);
        use_disks({m_image});
        int count = 0;
        packed_time shutdown = 0;
        kx_file_sys_init(&count, &shutdown);
        kx_partition parts[4] = {{start, size}, {0, 0}, {0, 0}, {0, 0}};
        if (size) {
            ASSERT_EQ(0, kx_write_partitions(0, parts));
        }
        m_log.clear();
    }
};

TEST_F(FormatTest, WorkedExampleGivesTheRecordersGeometry) {
    const uint64_t size = 976773168;
    start_disk(size, 0, size);
    sector junk;
    junk.fill(0xAA);
    for (uint32_t lba : {187 + 100, 15616 + 5, 30976 + 3, 31488 + 100, 38})
        ASSERT_EQ(0, ide_write64(0, 1, lba, 0, junk.data()));

    ASSERT_EQ(0, kx_format_driver(0, 0, 4096));
    EXPECT_EQ("kx_format_driver(disk_no = 0, part = 0, sector_per_clus = 4096)\n", m_log.text());
    const std::map<size_t, uint32_t> words = {
        {12, 0x55},       {44, 512},         {48, 4096},        {56, 64},   {60, 30976},       {64, 34},
        {68, 187},        {72, 31488},       {76, 238462},      {88, 31488}, {92, 16},         {96, 0x80000},
        {100, 1},         {104, 1},          {136, 15616},      {144, 31488 + 16384},          {148, 4096},
        {156, 38},        {184, 31488 + 20480},                 {188, 16384}, {328, KX_CHECK_WORD}};
    sector d = disk_sector(KX_TEMP_OFF);
    for (size_t off = 0; off < 512; off += 4) {
        auto w = words.find(off);
        EXPECT_EQ(w == words.end() ? 0 : w->second, get_le32(&d[off])) << "word at " << off;
    }
    expect_marked(187, 64 + 16, 32, 64, 0xFE);
    expect_marked(15616, 64 + 16, 32, 64, 0xFE);
    expect_marked(30976, 512, 1, 64, 0xC0);
    for (uint32_t lba : {187 + 100, 15616 + 5, 30976 + 3, 31488 + 100, 38})
        EXPECT_EQ(sector{}, disk_sector(lba)) << "sector " << lba;
}

TEST_F(FormatTest, ReservedClustersFollowThePartitionSize) {
    struct row {
        uint64_t size;
        uint32_t spc, rev_clus;
        bool resv1, resv2;
    };
    const row rows[] = {
        {13107200, 4096, 64, true, true},  // the cap is reached exactly
        {13107199, 4096, 63, true, true},
        {40000000, 1024, 256, true, true},  // capped at 262,144 sectors
        {1000000, 64, 312, false, false},   // 19,968 reserved sectors: no regions
        {1100000, 64, 343, true, false},    // 21,952: region 1 only
        {1000000, 32768, 1, true, false},   // 0 by the size, raised to hold the user data
        {400000, 64, 256, false, false},    // 125 by the size, raised likewise
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.size);
        start_disk(r.size, 0, r.size);
        ASSERT_EQ(0, kx_format_driver(0, 0, r.spc));
        kx_driver d = disk_descriptor(0);
        EXPECT_EQ(r.rev_clus, d.rev_clus);
        EXPECT_EQ(r.resv1 ? d.data_off + 16384 : 0u, d.resv1_off);
        EXPECT_EQ(r.resv1 ? 4096u : 0u, d.resv1_sectors);
        EXPECT_EQ(r.resv2 ? d.data_off + 20480 : 0u, d.resv2_off);
        EXPECT_EQ(r.resv2 ? 16384u : 0u, d.resv2_sectors);
        // The user-data area lies inside the reserved clusters.
        EXPECT_LE((uint64_t)d.ud_off + 16384, (uint64_t)d.data_off + (uint64_t)d.rev_clus * r.spc);
    }
    kx_driver d = disk_descriptor(0);  // the last row's raised reserved clusters are marked
    expect_marked(d.second_dir, 256 + 16, 32, 256, 0xFE);
    expect_marked(d.index_off, 512, 1, 256, 0xC0);
}

TEST_F(FormatTest, RefusesWhatCannotBeFormatted) {
    start_disk(30000);  // no partition table
    ide_reset_counters();
    for (uint32_t spc : {3u, 0u}) {
        m_log.clear();
        EXPECT_EQ(1, kx_format_driver(0, 0, spc));
        EXPECT_TRUE(m_log.contains(")\nkx_format_driver bad parameter\n"));
    }
    EXPECT_EQ(1, kx_format_driver(0, 4, 64));
    EXPECT_EQ(1, kx_format_driver(40, 0, 64));
    EXPECT_EQ(0u, ide_get_counters(0).reads);  // refused before the table is read
    EXPECT_EQ(1, kx_format_driver(0, 0, 64));
    EXPECT_TRUE(m_log.contains("kx_format_driver read partition failed\n"));

    // Smaller than the areas; too small for the reserved clusters and one
    // recording cluster; an empty entry. The disk stays as it was.
    for (uint64_t size : {5000ull, 27135ull, 0ull}) {
        start_disk(30000, 0, size ? size : 27136);
        uint64_t before = file_digest(m_image);
        EXPECT_EQ(1, kx_format_driver(0, size ? 0 : 1, 4096));
        EXPECT_TRUE(m_log.contains("kx_format_driver bad size of partition, " + std::to_string(size) + "\n"));
        EXPECT_EQ(before, file_digest(m_image));
    }
    ASSERT_EQ(0, kx_format_driver(0, 0, 4096));  // 27,136 sectors just hold them
    EXPECT_EQ(4u, disk_descriptor(0).rev_clus);
    EXPECT_EQ(5u, disk_descriptor(0).total_clus);
}

TEST_F(FormatTest, ReformatKeepsTheOldIndexAndLeavesNoStaleItems) {
    start_disk(200000, 1000, 150000);
    ASSERT_EQ(0, kx_format_driver(0, 0, 4096));
    ASSERT_EQ(0, kx_fs_mount(0, 0));
    kx_driver* pdp = get_pdp(0, 0);
    const uint32_t c = pdp->rev_clus;
    kx_dir_item it{};
    it.item_type = ITEM_FIRST;
    ASSERT_EQ(0, set_dir_item_info(pdp, c, &it, 1));  // stays cached in the pool
    uint8_t idx = 0x85;
    ASSERT_EQ(0, set_index_item_info(pdp, c, &idx, 1));
    sector old_index = disk_sector(1000 + pdp->index_off);

    ASSERT_EQ(0, kx_format_driver(0, 0, 4096));
    EXPECT_EQ(old_index, disk_sector(1000 + pdp->data_off + (uint64_t)(pdp->total_clus - 1) * 4096));
    ASSERT_EQ(0, kx_fs_mount(0, 0));
    ASSERT_EQ(0, get_dir_item_info(pdp, c, &it));
    EXPECT_EQ(ITEM_UNUSED, it.item_type);
    ASSERT_EQ(0, get_index_item_info(pdp, c, &idx));
    EXPECT_EQ(0, idx);
}

TEST_F(FormatTest, InitDiskLaysOneVolumeOverTheDiskAndMountsIt) {
    start_disk(300000);
    EXPECT_EQ(0, kx_init_disk(0));
    kx_partition parts[4];
    ASSERT_EQ(0, kx_read_partitions(0, parts));
    EXPECT_EQ(0u, parts[0].start);
    EXPECT_EQ(300000u, parts[0].size);
    EXPECT_EQ(0u, parts[1].size + parts[2].size + parts[3].size);
    kx_driver* pdp = get_pdp(0, 0);
    ASSERT_NE(nullptr, pdp);
    EXPECT_EQ(4096u, pdp->sector_per_clus);
    EXPECT_EQ(71u, pdp->total_clus);
    int count = 0;
    packed_time shutdown = 0;
    EXPECT_EQ(0, kx_file_sys_init(&count, &shutdown));
    EXPECT_EQ(1, count);
}

}  // namespace
