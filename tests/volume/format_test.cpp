// Volume format: geometry, descriptor, reserved items, refusals, reformat.
#include <gtest/gtest.h>

#include <tuple>

#include "support/test_volume.h"

namespace {

// A disk of `sectors` whose partition 0 is {start, size} (no table for size 0).
struct FormatDisk : TestDisks {
    explicit FormatDisk(uint64_t sectors, uint64_t start = 0, uint64_t size = 0) : TestDisks({sectors}) {
        kx_partition parts[4] = {{start, size}, {0, 0}, {0, 0}, {0, 0}};
        EXPECT_EQ(0, size ? kx_write_partitions(0, parts) : 0);
        log.clear();
    }
    // Byte 0 of items 0..count-1 (item_bytes each) of an area is `mark` for
    // the first `marked` items; every other byte is 0.
    void expect_marked(uint64_t area, uint32_t count, uint32_t item_bytes, uint32_t marked, uint8_t mark) {
        for (uint32_t i = 0; i < count; i += 512 / item_bytes) {
            sector_bytes s = sector(area + i * item_bytes / 512);
            for (uint32_t b = 0; b < 512; b++)
                ASSERT_EQ((b % item_bytes == 0 && i + b / item_bytes < marked) ? mark : 0, s[b])
                    << area << "+" << i;
        }
    }
    kx_driver descriptor(uint64_t start = 0) {
        kx_driver d{};
        pdp_decode(&d, sector(start + KX_TEMP_OFF).data());
        return d;
    }
};

}  // namespace

// The recorder's own worked example, a 500 GB disk at 4096 sectors per
// cluster: every descriptor word, the reserved items, the cleared areas.
TEST(Format, WorkedExampleGivesTheRecordersGeometry) {
    const uint64_t size = 976773168;
    FormatDisk disk(size, 0, size);
    const uint32_t junk_at[] = {187 + 100, 15616 + 5, 30976 + 3, 30976 + 479, 31488 + 100, 38};
    for (uint32_t lba : junk_at) disk.put_sector(lba, sector_bytes(SECTOR_SIZE, 0xAA));
    ASSERT_EQ(0, kx_format_driver(0, 0, 4096));
    EXPECT_EQ("kx_format_driver(disk_no = 0, part = 0, sector_per_clus = 4096)\n", disk.log.text());
    // Descriptor words at these byte offsets; every other word is 0.
    const std::pair<size_t, uint32_t> words[] = {
        {12, 0x55},   {44, 512},    {48, 4096},  {56, 64},  {60, 30976},   {64, 34},     {68, 187},
        {72, 31488},  {76, 238462}, {88, 31488}, {92, 16},  {96, 0x80000}, {100, 1},     {104, 1},
        {136, 15616}, {144, 47872}, {148, 4096}, {156, 38}, {184, 51968},  {188, 16384}, {328, KX_CHECK_WORD},
    };
    sector_bytes want(SECTOR_SIZE, 0);
    for (auto [off, value] : words) put_le32(&want[off], value);
    EXPECT_EQ(want, disk.sector(KX_TEMP_OFF));
    disk.expect_marked(187, 64 + 16, 32, 64, 0xFE);
    disk.expect_marked(15616, 64 + 16, 32, 64, 0xFE);
    disk.expect_marked(30976, 512, 1, 64, 0xC0);
    for (uint32_t lba : junk_at) EXPECT_EQ(sector_bytes(SECTOR_SIZE, 0), disk.sector(lba)) << lba;
    // The descriptor's words come back as they are stored, the 64-bit start too.
    kx_driver stored = disk.descriptor(), back{};
    stored.start_sector = 0x123456789ull;
    sector_bytes s(SECTOR_SIZE);
    pdp_encode(&stored, s.data());
    pdp_decode(&back, s.data());
    EXPECT_EQ(std::make_tuple(stored.start_sector, stored.total_clus, stored.index_off),
              std::make_tuple(back.start_sector, back.total_clus, back.index_off));
}

// Reserved clusters follow the size up to 262,144 sectors, and the two
// reserved regions exist only when they fit. Mended: never fewer reserved
// clusters than hold the 16,384-sector user-data area (rows 6 and 7).
TEST(Format, ReservedClustersFollowThePartitionSize) {
    struct {
        uint64_t size;
        uint32_t spc, rev_clus;
        bool resv1, resv2;
    } rows[] = {
        {13107200, 4096, 64, true, true}, {13107199, 4096, 63, true, true}, {40000000, 1024, 256, true, true},
        {1000000, 64, 312, false, false}, {1100000, 64, 343, true, false},  {1000000, 32768, 1, true, false},
        {400000, 64, 256, false, false},
    };
    for (const auto& r : rows) {
        FormatDisk disk(r.size, 0, r.size);
        ASSERT_EQ(0, kx_format_driver(0, 0, r.spc));
        kx_driver d = disk.descriptor();
        EXPECT_EQ(r.rev_clus, d.rev_clus) << r.size;
        EXPECT_EQ(std::vector<uint32_t>({r.resv1 ? d.data_off + 16384 : 0, r.resv1 ? 4096u : 0,
                                         r.resv2 ? d.data_off + 20480 : 0, r.resv2 ? 16384u : 0}),
                  std::vector<uint32_t>({d.resv1_off, d.resv1_sectors, d.resv2_off, d.resv2_sectors}))
            << r.size;
        EXPECT_LE((uint64_t)d.ud_off + 16384, (uint64_t)d.data_off + (uint64_t)d.rev_clus * r.spc) << r.size;
        if (r.spc == 64 && r.rev_clus == 256) {  // the raised reserved clusters are marked
            disk.expect_marked(d.second_dir, 256 + 16, 32, 256, 0xFE);
            disk.expect_marked(d.index_off, 512, 1, 256, 0xC0);
        }
    }
}

// Bad arguments, a missing table or a partition too small for its areas and
// one recording cluster change nothing (mended: the size check cannot wrap).
TEST(Format, RefusesWhatCannotBeFormatted) {
    FormatDisk bare(30000);
    ide_reset_counters();
    for (uint32_t spc : {3u, 0u}) {
        bare.log.clear();
        EXPECT_EQ(1, kx_format_driver(0, 0, spc));
        EXPECT_TRUE(bare.log.contains(")\nkx_format_driver bad parameter\n"));
    }
    EXPECT_EQ(1, kx_format_driver(0, 4, 64));
    EXPECT_EQ(1, kx_format_driver(40, 0, 64));
    EXPECT_EQ(0u, ide_get_counters(0).reads);
    EXPECT_EQ(1, kx_format_driver(0, 0, 64));
    EXPECT_TRUE(bare.log.contains("kx_format_driver read partition failed\n"));

    for (uint64_t size : {5000ull, 27135ull, 0ull}) {
        FormatDisk disk(30000, 0, size ? size : 27136);
        uint64_t before = file_digest(disk.image());
        EXPECT_EQ(1, kx_format_driver(0, size ? 0 : 1, 4096));
        EXPECT_TRUE(
            disk.log.contains("kx_format_driver bad size of partition, " + std::to_string(size) + "\n"));
        EXPECT_EQ(before, file_digest(disk.image()));
        if (size) continue;
        ASSERT_EQ(0, kx_format_driver(0, 0, 4096));  // 27,136 sectors just hold them
        EXPECT_EQ(4u, disk.descriptor().rev_clus);
        EXPECT_EQ(5u, disk.descriptor().total_clus);
    }
}

// Mended: the bulk writes of a format went past the pool, so a stale pool
// copy of an item (or a dirty one written back later) survived a reformat.
// Also catches the old index area not being saved in the last cluster.
TEST(Format, ReformatKeepsTheOldIndexAndLeavesNoStaleItems) {
    FormatDisk disk(200000, 1000, 150000);
    ASSERT_EQ(0, kx_format_driver(0, 0, 4096));
    ASSERT_EQ(0, kx_fs_mount(0, 0));
    kx_driver* pdp = get_pdp(0, 0);
    const uint32_t c = pdp->rev_clus;
    kx_dir_item it{};
    it.item_type = ITEM_FIRST;
    ASSERT_EQ(0, set_dir_item_info(pdp, c, &it, 1));  // stays cached in the pool
    uint8_t idx = 0x85;
    ASSERT_EQ(0, set_index_item_info(pdp, c, &idx, 1));
    sector_bytes old_index = disk.sector(1000 + pdp->index_off);
    ASSERT_EQ(0, kx_format_driver(0, 0, 4096));
    EXPECT_EQ(old_index, disk.sector(1000 + pdp->data_off + (uint64_t)(pdp->total_clus - 1) * 4096));
    ASSERT_EQ(0, kx_fs_mount(0, 0));
    ASSERT_EQ(0, get_dir_item_info(pdp, c, &it));
    EXPECT_EQ(ITEM_UNUSED, it.item_type);
    ASSERT_EQ(0, get_index_item_info(pdp, c, &idx));
    EXPECT_EQ(0, idx);
}
