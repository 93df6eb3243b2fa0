// Mounting a descriptor into a driver slot; damaged volumes never reach
// outside the partition. 2^20 sectors from 2048, 64 per cluster: 16280
// clusters, 327 reserved.
#include <gtest/gtest.h>

#include "support/test_volume.h"

namespace {

using K = kx_driver;
using words = std::vector<std::pair<size_t, uint32_t>>;
const uint32_t kSize = 1u << 20;

class Mount : public ::testing::Test {
   protected:
    void SetUp() override {
        m_desc = v.sector(v.desc_lba());
        m_coll = v.sector(v.start + 38);
        m_label = v.sector(KX_LABEL_SECTOR);
    }
    // The disk as formatted, then these descriptor words, label and list.
    void lay(const words& w, const sector_bytes& label = {}, const sector_bytes& coll = {}) {
        sector_bytes d = m_desc;
        for (auto [off, value] : w) put_le32(d.data() + off, value);
        v.put_sector(v.desc_lba(), d);
        v.put_sector(KX_LABEL_SECTOR, label.empty() ? m_label : label);
        v.put_sector(v.start + 38, coll.empty() ? m_coll : coll);
    }
    // A mount from the disk's bytes (nothing cached in the pool).
    int mount(int part = 0) {
        init_buf_pool();
        ide_reset_counters();
        v.log.clear();
        return kx_fs_mount(0, part);
    }

    TestVolume v{kSize, 64};
    sector_bytes m_desc, m_coll, m_label;
};

}  // namespace

// Mended: a descriptor saved with a transfer error (err_status 15) or a
// collision_index would retire the volume or misplace the writer for ever.
TEST_F(Mount, LoadingTakesTheDescriptorAndClearsTheMemoryWords) {
    lay({{108, 7}, {152, 15}, {156, 0}, {164, 77}, {180, 0xDEADBEEF}, {224, 0}, {160, 2}});
    v.put_word(v.start + 38, 4, 0x10002);
    v.put_word(v.start + 38, 0, 0x401);
    ASSERT_EQ(0, mount());
    kx_driver* pdp = get_pdp(0, 0);
    ASSERT_NE(nullptr, pdp);
    const int slot = driver_slot(pdp);
    EXPECT_EQ(std::vector<uint64_t>({0, 0, 2048, 0, 38, 0, 0, 0x401, 0x10002}),
              std::vector<uint64_t>({pdp->disk_no, pdp->part, pdp->start_sector, pdp->err_status,
                                     pdp->collision_off, get_le32(pdp->raw + 180), pdp->collision_index,
                                     pdp->collision[0], pdp->collision[1]}));
    EXPECT_TRUE(pdp->collision == g_collision_buf[slot] && pdp->sections == g_section_buf[slot]);
    for (int i = 0; i < KX_MAX_DRIVERS; i++)
        if (g_drivers[i].type == KX_FREE_SLOT)
            set_fields(&g_drivers[i], {{&K::type, 1}, {&K::disk_no, 9}, {&K::part, (uint32_t)i}});
    EXPECT_EQ(0, mount()) << "0.0 keeps its own slot";
    EXPECT_EQ(pdp, get_pdp(0, 0));
    EXPECT_EQ(-1, mount(1)) << "an empty table entry";
    free_driver(0, 0);
    set_fields(&g_drivers[slot], {{&K::type, 1}, {&K::disk_no, 9}});
    EXPECT_EQ(-1, mount());
    EXPECT_EQ("get_empty_driver failed!!!!!!!!!!!!!\n", v.log.text());
}

// Mended: each of these would let a later step address sectors outside the
// partition or loop on a zero step; refused without writing anything.
TEST_F(Mount, DescriptorsThatDoNotFitThePartitionAreRefused) {
    const std::pair<const char*, words> cases[] = {
        {"sector_per_clus 0", {{48, 0}}},
        {"sector_per_clus not a power of two", {{48, 48}}},
        {"sector_size 1024", {{44, 1024}}},
        {"type 5", {{84, 5}}},
        {"descriptor offset 35", {{64, 35}}},
        {"collision sector on the label", {{156, 30}}},
        {"collision sector on the descriptor", {{156, KX_TEMP_OFF}}},
        {"directory on the descriptor", {{68, KX_TEMP_OFF}}},
        {"collision sector past the end", {{156, kSize}}},
        {"directory past the end", {{68, kSize - 100}}},
        {"index past the end", {{60, kSize - 1}}},
        {"data on the descriptor", {{72, 0}}},
        {"no recording cluster", {{56, 16280}}},
        {"current_cluster at total_clus", {{24, 16280}}},
        {"start_cluster2 past the volume", {{28, 0x80000000}}},
        {"end_cluster2 past the volume", {{32, 0xFFFFFFFF}}},
    };
    for (const auto& [what, w] : cases) {
        lay(w);
        EXPECT_EQ(-1, mount()) << what;
        EXPECT_EQ("kx_fs_mount failed, partition crashed\n", v.log.text()) << what;
        EXPECT_EQ(nullptr, get_pdp(0, 0)) << what;
        EXPECT_EQ(0u, ide_get_counters(0).writes) << what;
    }
    lay({});
    EXPECT_EQ(0, mount()) << "the formatted volume itself mounts";
}

// Mended: words reading never uses (the user-data ring) refuse no volume; a
// data area past the partition's end is used with the clusters that fit,
// while the disk keeps its own count, also when a repair saves it.
TEST_F(Mount, VolumesThatCanBeReadAreMounted) {
    const struct {
        const char* what;
        words w;
        uint32_t clusters;  // in memory after the mount
    } cases[] = {
        {"user data at 0", {{88, 0}}, 16280},
        {"user data past the end", {{88, kSize - 100}}, 16280},
        {"user-data items past the end", {{96, 0xFFFFFFFF}}, 16280},
        {"data area 300 sectors too long", {{12, 0}, {72, 6656 + 300}}, (kSize - 6956) / 64},
        {"clusters of 128 sectors", {{12, 0}, {48, 128}}, (kSize - 6656) / 128},
    };
    for (const auto& c : cases) {
        lay(c.w);
        ASSERT_EQ(0, mount()) << c.what;
        EXPECT_EQ(c.clusters, get_pdp(0, 0)->total_clus) << c.what;
        EXPECT_EQ(c.clusters != 16280, v.log.contains("data area reaches past the partition's end"))
            << c.what;
        EXPECT_EQ(16280u, v.desc_word(76)) << c.what;
    }
}

// Mended: a collision count past the 128-entry list is clamped (and saved
// so) instead of sizing loops; user-data words are checked where used.
TEST_F(Mount, CountsAndRingWordsOutOfRangeAreContained) {
    sector_bytes list(SECTOR_SIZE);
    for (uint32_t k = 0; k < 128; k++) put_le32(list.data() + 4 * k, 500 + 7 * k);
    lay({{12, 0}, {24, 400}, {160, 1000}, {164, 900}}, {}, list);  // open: the mount saves it
    ASSERT_EQ(0, mount());
    EXPECT_TRUE(v.log.contains("collision_num 1000 too large, clamped to 128\n"));
    ASSERT_NE(nullptr, get_pdp(0, 0));
    EXPECT_EQ(std::vector<uint32_t>({128, 128}),
              std::vector<uint32_t>({get_pdp(0, 0)->collision_num, v.desc_word(160)}));
    EXPECT_LE(get_pdp(0, 0)->collision_index, 128u);
    for (uint32_t num : {0u, 1u, 2u}) {
        lay({{12, 0}, {96, num}, {100, 0xFFFFFFF0}, {104, 7}});
        EXPECT_EQ(0, mount()) << num;
        EXPECT_TRUE(v.log.contains("save_pdp,")) << num;
    }
}
