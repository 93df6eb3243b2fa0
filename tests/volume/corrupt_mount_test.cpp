// Damaged volumes at mount: a descriptor, collision list or disk label that
// no recorder wrote must never crash, hang or reach outside the partition.
//
// The volume: 2^20 sectors from sector 2048, 64 sectors per cluster, 16280
// clusters, 327 reserved, data from partition sector 6656.
#include <gtest/gtest.h>

#include <random>

#include "support/test_volume.h"

namespace {

const uint32_t kSize = 1u << 20;

class CorruptMount : public ::testing::Test {
protected:
    void SetUp() override {
        kx_set_fs_adapt(1);
        m_desc = v.sector(v.desc_lba());
        m_coll = v.sector(v.start + 38);
        m_label = v.sector(KX_LABEL_SECTOR);
    }
    // The disk as formatted, with these descriptor words, label and list.
    void lay(const std::vector<std::pair<size_t, uint32_t>>& words, sector_bytes label = {}, sector_bytes coll = {}) {
        sector_bytes d = m_desc;
        for (auto [off, value] : words) put_le32(d.data() + off, value);
        v.put_sector(v.desc_lba(), d);
        v.put_sector(KX_LABEL_SECTOR, label.empty() ? m_label : label);
        v.put_sector(v.start + 38, coll.empty() ? m_coll : coll);
    }
    // A mount from the disk's bytes (nothing cached in the pool).
    int mount(int part = 0) {
        init_buf_pool();
        v.log.clear();
        return kx_fs_mount(0, part);
    }

    TestVolume v{kSize, 64};
    sector_bytes m_desc, m_coll, m_label;
};

}  // namespace

// Mended: each of these descriptors would let a later step address sectors
// outside the partition or loop on a zero step; the mount refuses them
// without writing anything.
TEST_F(CorruptMount, DescriptorsThatDoNotFitThePartitionAreRefused) {
    const std::pair<const char*, std::vector<std::pair<size_t, uint32_t>>> cases[] = {
        {"sector_per_clus 0", {{48, 0}}},
        {"sector_per_clus not a power of two", {{48, 48}}},
        {"more clusters than the partition holds", {{48, 128}}},
        {"sector_size 1024", {{44, 1024}}},
        {"type 5", {{84, 5}}},
        {"descriptor offset other than 34", {{64, 35}}},
        {"collision sector on the disk label", {{156, 30}}},
        {"collision sector beyond the partition", {{156, kSize}}},
        {"directory area beyond the partition", {{68, kSize - 100}}},
        {"index area beyond the partition", {{60, kSize - 1}}},
        {"data area beyond the partition", {{72, 30000}}},
        {"data area on the descriptor", {{72, 0}}},
        {"user-data area beyond the partition", {{88, kSize - 100}}},
        {"user-data items beyond the partition", {{96, 0xFFFFFFFF}}},
        {"no cluster for the recording ring", {{56, 16280}}},
        {"current_cluster at total_clus", {{24, 16280}}},
        {"start_cluster2 beyond the volume", {{28, 0x80000000}}},
        {"end_cluster2 beyond the volume", {{32, 0xFFFFFFFF}}},
    };
    for (const auto& [what, words] : cases) {
        lay(words);
        ide_reset_counters();
        EXPECT_EQ(-1, mount()) << what;
        EXPECT_EQ("kx_fs_mount failed, partition crashed\n", v.log.text()) << what;
        EXPECT_EQ(nullptr, get_pdp(0, 0)) << what;
        EXPECT_EQ(0u, ide_get_counters(0).writes) << what;
    }
    lay({});
    EXPECT_EQ(0, mount()) << "the formatted volume itself mounts";
}

// Mended: a collision count past the 128-entry list is clamped (and saved so)
// instead of sizing loops over the list and the 130-entry section table.
// Damaged user-data words are checked where the ring is used and do not stop
// the mount.
TEST_F(CorruptMount, CountsAndRingWordsOutOfRangeAreContained) {
    sector_bytes list(SECTOR_SIZE);
    for (uint32_t k = 0; k < 128; k++) put_le32(list.data() + 4 * k, 500 + 7 * k);
    lay({{12, 0}, {24, 400}, {160, 1000}, {164, 900}}, {}, list);  // open: the mount saves it
    ASSERT_EQ(0, mount());
    EXPECT_TRUE(v.log.contains("collision_num 1000 too large, clamped to 128\n"));
    kx_driver* pdp = get_pdp(0, 0);
    ASSERT_NE(nullptr, pdp);
    EXPECT_EQ(128u, pdp->collision_num);
    EXPECT_LE(pdp->collision_index, 128u);
    EXPECT_EQ(128u, v.desc_word(160));
    driver_info info;
    EXPECT_EQ(0, kx_get_driver_info(0, 0, &info));
    EXPECT_EQ(130u, info.section_num);

    for (uint32_t num : {0u, 1u, 2u}) {
        lay({{12, 0}, {96, num}, {100, 0xFFFFFFF0}, {104, 7}});
        EXPECT_EQ(0, mount()) << num;
        EXPECT_TRUE(v.log.contains("save_pdp,")) << num;
    }
}

// Catches a garbage label, or a well-formed one whose entries point
// anywhere, getting a partition mounted.
TEST_F(CorruptMount, AGarbageLabelMountsNothing) {
    std::mt19937 rng(7);
    sector_bytes garbage(SECTOR_SIZE);
    for (uint8_t& b : garbage) b = (uint8_t)rng();
    lay({}, garbage);
    EXPECT_EQ(-1, mount());
    sector_bytes label = m_label;
    for (int i = 0; i < 4; i++) {
        put_le64(label.data() + 52 + 64 * i + 48, ((uint64_t)rng() << 32) | rng());
        put_le64(label.data() + 52 + 64 * i + 56, ((uint64_t)rng() << 32) | rng());
    }
    lay({}, label);
    for (int part = 0; part < 4; part++) EXPECT_EQ(-1, mount(part)) << part;
    EXPECT_EQ(7, v.start_up());
    EXPECT_EQ(0, v.count);
}

// Thousands of volumes with random damage (fixed seeds) to their descriptor,
// collision list and label: each mounts (0) or is refused (-1), and what
// mounts can be dumped, summarised and searched without leaving its tables.
TEST_F(CorruptMount, RandomDamageNeverCrashes) {
    // Words that make a mount go wrong most easily: the edges of the volume.
    static const uint32_t edges[] = {0,     1,     2,     7,     34,    38,    187,        255,        256,
                                     326,   327,   328,   511,   512,   6400,  6656,       16279,      16280,
                                     16281, 0x80000, kSize - 1, kSize, 0x55, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
    const int kRounds = 1500;
    int mounted = 0;
    for (uint32_t seed : {1u, 2u}) {
        std::mt19937 rng(seed);
        auto edge = [&rng] { return edges[rng() % std::size(edges)]; };
        for (int round = 0; round < kRounds; round++) {
            sector_bytes desc = m_desc, coll = m_coll, label = m_label;
            for (int i = 0, changes = 1 + (int)(rng() % 6); i < changes; i++) {
                switch (rng() % 6) {
                    case 0: desc[rng() % 328] = (uint8_t)rng(); break;  // a byte, mostly not the check word
                    case 1:
                    case 2: put_le32(desc.data() + 4 * (rng() % 82), edge()); break;
                    case 3: put_le32(coll.data() + 4 * (rng() % 128), rng() % 3 ? edge() : rng()); break;
                    case 4: put_le32(desc.data() + 12, 0); break;  // open: recovery runs over the damage
                    default: if (rng() % 8 == 0) label[rng() % SECTOR_SIZE] = (uint8_t)rng(); break;
                }
            }
            v.put_sector(KX_LABEL_SECTOR, label);
            v.put_sector(v.desc_lba(), desc);
            v.put_sector(v.start + 38, coll);
            int r = mount();
            ASSERT_TRUE(r == 0 || r == -1) << seed << "/" << round;
            if (r != 0) continue;
            mounted++;
            kx_driver* pdp = get_pdp(0, 0);
            ASSERT_NE(nullptr, pdp);
            ASSERT_LE(pdp->collision_num, 128u);
            ASSERT_LE(pdp->collision_index, pdp->collision_num);
            ASSERT_TRUE(pdp->current_cluster == 0 || pdp->current_cluster < pdp->total_clus) << pdp->current_cluster;
            link_drivers((int)pdp->type);
            kx_dump_drivers();
            driver_info info;
            ASSERT_EQ(0, kx_get_driver_info(0, 0, &info));
            link_time_sections(1, pdp, 1);
            link_time_sections(0, pdp, 1);
        }
    }
    EXPECT_GT(mounted, kRounds / 10) << "the damage must leave enough volumes mountable to test them";
}
