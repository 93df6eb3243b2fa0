// Volume format: geometry, descriptor, reserved items, refusals, and
// re-initialising a whole disk.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "meta/meta.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "volume/volume.h"

namespace {

using sector_bytes = std::array<uint8_t, 512>;

class FormatTest : public ::testing::Test {
protected:
    TempDir m_dir;
    LogCapture m_log;
    std::string m_image;

    // A fresh disk of `sectors` without a label, the library started over it.
    void start_disk(uint64_t sectors) {
        m_image = make_sparse_image(m_dir.file("disk.img"), sectors);
        use_disks({m_image});
        int count = 0;
        packed_time shutdown = 0;
        kx_file_sys_init(&count, &shutdown);
        m_log.clear();
    }
    // The same with a table whose partition 0 is {start, size}.
    void start_disk(uint64_t sectors, uint64_t start, uint64_t size) {
        start_disk(sectors);
        kx_partition parts[4] = {{start, size}, {0, 0}, {0, 0}, {0, 0}};
        ASSERT_EQ(0, kx_write_partitions(0, parts));
        m_log.clear();
    }
    static sector_bytes disk_sector(uint64_t lba) {
        sector_bytes s{};
        EXPECT_EQ(0, ide_read64(0, 1, (uint32_t)lba, (uint32_t)(lba >> 32), s.data()));
        return s;
    }
    static void put_disk_sector(uint64_t lba, uint8_t fill) {
        sector_bytes s;
        s.fill(fill);
        ASSERT_EQ(0, ide_write64(0, 1, (uint32_t)lba, (uint32_t)(lba >> 32), s.data()));
    }
    static kx_driver disk_descriptor(uint64_t start) {
        kx_driver d{};
        sector_bytes s = disk_sector(start + KX_TEMP_OFF);
        pdp_decode(&d, s.data());
        return d;
    }
    // Byte `at` of items 0..count-1 (item_bytes each) of an area equals
    // `mark` for the first `marked` items and 0 elsewhere; all other bytes 0.
    static void expect_marked(uint64_t area, uint32_t count, uint32_t item_bytes, uint32_t marked, uint8_t mark) {
        for (uint32_t i = 0; i < count; i += 512 / item_bytes) {
            sector_bytes s = disk_sector(area + i * item_bytes / 512);
            for (uint32_t b = 0; b < 512; b++) {
                uint32_t item = i + b / item_bytes;
                uint8_t want = (b % item_bytes == 0 && item < marked) ? mark : 0;
                ASSERT_EQ(want, s[b]) << "item " << item << " byte " << b % item_bytes;
            }
        }
    }
};

TEST_F(FormatTest, WorkedExampleGivesTheRecordersGeometry) {
    const uint64_t size = 976773168;
    start_disk(size, 0, size);
    // Old contents in the areas, on the disk and as a dirty pool copy.
    for (uint64_t lba : {187ull + 100, 15616ull + 5, 30976ull + 3, 31488ull + 100}) put_disk_sector(lba, 0xAA);
    buf_head* b = read_buf(0, 31488 + 200);
    ASSERT_NE(nullptr, b);
    memset(b->data, 0x55, 512);
    b->dirty = 1;
    release_buf(b);

    ASSERT_EQ(0, kx_format_driver(0, 0, 4096));
    EXPECT_TRUE(m_log.contains("kx_format_driver(disk_no = 0, part = 0, sector_per_clus = 4096)\n"));

    kx_driver d = disk_descriptor(0);
    EXPECT_EQ(15616u, d.second_dir);
    EXPECT_EQ(30976u, d.index_off);
    EXPECT_EQ(31488u, d.data_off);
    EXPECT_EQ(238462u, d.total_clus);
    EXPECT_EQ(64u, d.rev_clus);
    EXPECT_EQ(31488u + 16384, d.resv1_off);
    EXPECT_EQ(4096u, d.resv1_sectors);
    EXPECT_EQ(31488u + 20480, d.resv2_off);
    EXPECT_EQ(16384u, d.resv2_sectors);
    EXPECT_EQ(KX_STATUS_CLOSED, d.status);
    EXPECT_EQ(512u, d.sector_size);
    EXPECT_EQ(34u, d.temp_off);
    EXPECT_EQ(187u, d.dir_off);
    EXPECT_EQ(38u, d.collision_off);
    EXPECT_EQ(31488u, d.ud_off);
    EXPECT_EQ(16u, d.ud_item_size);
    EXPECT_EQ(0x80000u, d.ud_item_num);
    EXPECT_EQ(1u, d.ud_first_item);
    EXPECT_EQ(1u, d.ud_last_item);
    sector_bytes raw = disk_sector(KX_TEMP_OFF);
    EXPECT_EQ(KX_CHECK_WORD, get_le32(&raw[328]));
    // Everything the format does not name is zero: times, type, sections, counts.
    for (size_t off : {0, 4, 8, 16, 20, 24, 28, 32, 36, 40, 52, 80, 84, 112, 116, 128, 160, 192, 224, 232, 332})
        EXPECT_EQ(0u, get_le32(&raw[off])) << "word at " << off;

    expect_marked(187, 64 + 16, 32, 64, 0xFE);
    expect_marked(15616, 64 + 16, 32, 64, 0xFE);
    expect_marked(30976, 512, 1, 64, 0xC0);
    for (uint64_t lba : {187ull + 100, 15616ull + 5, 30976ull + 3, 31488ull + 100, 31488ull + 200})
        EXPECT_EQ(sector_bytes{}, disk_sector(lba)) << "sector " << lba;
    EXPECT_EQ(sector_bytes{}, disk_sector(38));  // collision list
}

TEST_F(FormatTest, ReservedClustersFollowThePartitionSize) {
    struct row {
        uint64_t size;
        uint32_t spc;
        uint32_t rev_clus;
        bool resv1, resv2;
    };
    const row rows[] = {
        {13107200, 4096, 64, true, true},    // the cap is reached exactly
        {13107199, 4096, 63, true, true},
        {40000000, 1024, 256, true, true},   // capped at 262,144 sectors
        {1000000, 64, 312, false, false},    // 19,968 reserved sectors: no regions
        {1100000, 64, 343, true, false},     // 21,952: region 1 only
        {400000, 64, 256, false, false},     // 125 by the size, raised to cover user data
        {1000000, 32768, 1, true, false},    // 0 by the size, raised to one cluster
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
    // The raised reserved clusters are marked like any others.
    expect_marked(187, 256 + 16, 32, 1, 0xFE);
    start_disk(400000, 0, 400000);
    ASSERT_EQ(0, kx_format_driver(0, 0, 64));
    kx_driver d = disk_descriptor(0);
    expect_marked(187, 256 + 16, 32, 256, 0xFE);
    expect_marked(d.second_dir, 256 + 16, 32, 256, 0xFE);
    expect_marked(d.index_off, 512, 1, 256, 0xC0);
}

TEST_F(FormatTest, RefusesWhatCannotBeFormatted) {
    // Bad arguments are refused before the (absent) table is read.
    start_disk(100000);
    ide_reset_counters();
    for (uint32_t spc : {3u, 0u}) {
        m_log.clear();
        EXPECT_EQ(1, kx_format_driver(0, 0, spc));
        EXPECT_EQ("kx_format_driver(disk_no = 0, part = 0, sector_per_clus = " + std::to_string(spc) +
                      ")\nkx_format_driver bad parameter\n",
                  m_log.text());
    }
    EXPECT_EQ(1, kx_format_driver(0, 4, 64));
    EXPECT_EQ(1, kx_format_driver(40, 0, 64));
    EXPECT_EQ(0u, ide_get_counters(0).reads);
    m_log.clear();
    EXPECT_EQ(1, kx_format_driver(0, 0, 64));
    EXPECT_TRUE(m_log.contains("kx_format_driver read partition failed\n"));

    // Sizes: an empty entry, one smaller than the areas, one that cannot hold
    // the reserved clusters and a recording cluster; the disk stays as it was.
    for (uint64_t size : {0ull, 5000ull, 27135ull}) {
        start_disk(30000, 0, size);
        uint64_t before = file_digest(m_image);
        EXPECT_EQ(1, kx_format_driver(0, 0, 4096));
        EXPECT_TRUE(m_log.contains("kx_format_driver bad size of partition, " + std::to_string(size) + "\n"));
        EXPECT_EQ(before, file_digest(m_image));
    }
    start_disk(30000, 0, 27136);
    ASSERT_EQ(0, kx_format_driver(0, 0, 4096));
    kx_driver d = disk_descriptor(0);
    EXPECT_EQ(4u, d.rev_clus);
    EXPECT_EQ(5u, d.total_clus);
}

TEST_F(FormatTest, ReformattedVolumeShowsNoStaleItems) {
    start_disk(200000, 1000, 150000);
    ASSERT_EQ(0, kx_format_driver(0, 0, 4096));
    ASSERT_EQ(0, kx_fs_mount(0, 0));
    kx_driver* pdp = get_pdp(0, 0);
    ASSERT_NE(nullptr, pdp);
    kx_dir_item it{};
    it.item_type = ITEM_FIRST;
    it.first_cluster_no = pdp->rev_clus;
    ASSERT_EQ(0, set_dir_item_info(pdp, pdp->rev_clus, &it, 1));
    uint8_t idx = 0x85;
    ASSERT_EQ(0, set_index_item_info(pdp, pdp->rev_clus, &idx, 0));
    ASSERT_EQ(0, sync_disk(0));
    std::vector<sector_bytes> index_before;
    for (uint32_t s = 0; s < pdp->data_off - pdp->index_off; s++)
        index_before.push_back(disk_sector(1000 + pdp->index_off + s));

    ASSERT_EQ(0, kx_format_driver(0, 0, 4096));
    // The old cluster index was kept in the partition's last cluster.
    uint64_t last_clus = 1000 + pdp->data_off + (uint64_t)(pdp->total_clus - 1) * 4096;
    for (uint32_t s = 0; s < index_before.size(); s++) EXPECT_EQ(index_before[s], disk_sector(last_clus + s));

    ASSERT_EQ(0, kx_fs_mount(0, 0));
    pdp = get_pdp(0, 0);
    ASSERT_EQ(0, get_dir_item_info(pdp, pdp->rev_clus, &it));
    EXPECT_EQ(ITEM_UNUSED, it.item_type);
    ASSERT_EQ(0, get_index_item_info(pdp, pdp->rev_clus, &idx));
    EXPECT_EQ(0, idx);
}

TEST_F(FormatTest, InitDiskLaysOneVolumeOverTheDiskAndMountsIt) {
    start_disk(300000);
    EXPECT_EQ(0, kx_init_disk(0));
    kx_partition parts[4];
    ASSERT_EQ(0, kx_read_partitions(0, parts));
    EXPECT_EQ(0u, parts[0].start);
    EXPECT_EQ(300000u, parts[0].size);
    for (int j = 1; j < 4; j++) EXPECT_EQ(0u, parts[j].size);
    EXPECT_EQ(0, memcmp(disk_sector(0).data(), "KXFS4.1", 8));
    kx_driver* pdp = get_pdp(0, 0);
    ASSERT_NE(nullptr, pdp);
    EXPECT_EQ(4096u, pdp->sector_per_clus);
    EXPECT_EQ(4u, pdp->rev_clus);
    EXPECT_EQ(71u, pdp->total_clus);

    int count = 0;
    packed_time shutdown = 0;
    EXPECT_EQ(0, kx_file_sys_init(&count, &shutdown));
    EXPECT_EQ(1, count);
}

}  // namespace
