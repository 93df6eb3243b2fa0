// Damaged volumes at mount: a descriptor, collision list or disk label that
// no recorder wrote must never crash, hang or reach outside the partition.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "meta/meta.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

// One volume of 2^20 sectors from sector 2048, 64 sectors per cluster:
// 16280 clusters, 327 reserved, data from partition sector 6656.
const uint64_t kStart = 2048;
const uint32_t kSize = 1u << 20;
const uint64_t kDescriptor = kStart + KX_TEMP_OFF;
const uint64_t kCollisions = kStart + 38;

using sector = std::vector<uint8_t>;

class CorruptMount : public ::testing::Test {
   protected:
    void SetUp() override {
        kx_set_fs_adapt(1);
        use_disks({make_sparse_image(m_dir.file("disk.img"), kStart + kSize)});
        int count = 0;
        packed_time shutdown = 0;
        kx_file_sys_init(&count, &shutdown);
        kx_partition table[4] = {{kStart, kSize}, {0, 0}, {0, 0}, {0, 0}};
        ASSERT_EQ(0, kx_write_partitions(0, table));
        ASSERT_EQ(0, kx_format_driver(0, 0, 64));
        m_label = read(KX_LABEL_SECTOR);
        m_signature = read(0);
        m_desc = read(kDescriptor);
        m_coll = read(kCollisions);
    }

    sector read(uint64_t lba) {
        sector s(SECTOR_SIZE);
        EXPECT_EQ(0, ide_read64(0, 1, (uint32_t)lba, 0, s.data()));
        return s;
    }
    void write(uint64_t lba, const sector& s) { ASSERT_EQ(0, ide_write64(0, 1, (uint32_t)lba, 0, s.data())); }
    // The disk as formatted, then the given descriptor words changed.
    void restore() {
        write(KX_LABEL_SECTOR, m_label);
        write(0, m_signature);
        write(kDescriptor, m_desc);
        write(kCollisions, m_coll);
    }
    void with_words(const std::vector<std::pair<size_t, uint32_t>>& words) {
        restore();
        sector d = m_desc;
        for (auto [off, value] : words) put_le32(d.data() + off, value);
        write(kDescriptor, d);
    }
    // A mount from the disk's bytes (nothing cached in the pool).
    int mount(int part = 0) {
        init_buf_pool();
        m_log.clear();
        return kx_fs_mount(0, part);
    }

    TempDir m_dir;
    LogCapture m_log;
    sector m_label, m_signature, m_desc, m_coll;
};

struct bad_descriptor {
    const char* what;
    std::vector<std::pair<size_t, uint32_t>> words;  // (offset, value)
};

TEST_F(CorruptMount, DescriptorsThatDoNotFitThePartitionAreRefused) {
    const std::vector<bad_descriptor> cases = {
        {"sector_per_clus 0", {{48, 0}}},
        {"sector_per_clus not a power of two", {{48, 48}}},
        {"more clusters than the partition holds", {{48, 128}}},
        {"sector_size 1024", {{44, 1024}}},
        {"type 5", {{84, 5}}},
        {"type 255", {{84, 255}}},
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
    for (const bad_descriptor& c : cases) {
        with_words(c.words);
        ide_reset_counters();
        EXPECT_EQ(-1, mount()) << c.what;
        EXPECT_EQ("kx_fs_mount failed, partition crashed\n", m_log.text()) << c.what;
        EXPECT_EQ(nullptr, get_pdp(0, 0)) << c.what;
        EXPECT_EQ(0u, ide_get_counters(0).writes) << c.what << ": a refused volume is not written";
    }
    restore();
    EXPECT_EQ(0, mount()) << "the formatted volume itself mounts";
}

TEST_F(CorruptMount, ACollisionCountBeyondTheListIsClamped) {
    with_words({{12, 0}, {24, 400}, {160, 1000}, {164, 900}});  // open: the mount saves it
    sector list(SECTOR_SIZE);
    for (uint32_t k = 0; k < 128; k++) put_le32(list.data() + 4 * k, 500 + 7 * k);
    write(kCollisions, list);
    ASSERT_EQ(0, mount());
    EXPECT_TRUE(m_log.contains("collision_num 1000 too large, clamped to 128\n"));
    kx_driver* pdp = get_pdp(0, 0);
    ASSERT_NE(nullptr, pdp);
    EXPECT_EQ(128u, pdp->collision_num);
    EXPECT_LE(pdp->collision_index, 128u);
    EXPECT_EQ(128u, get_le32(read(kDescriptor).data() + 160));
    kx_dump_drivers();
    driver_info info;
    EXPECT_EQ(0, kx_get_driver_info(0, 0, &info));
    EXPECT_EQ(130u, info.section_num);
}

// The user-data ring's size and positions are checked where the ring is
// used; they do not keep the recordings from being mounted.
TEST_F(CorruptMount, ADamagedUserDataRingDoesNotStopTheMount) {
    for (uint32_t num : {0u, 1u, 2u}) {
        with_words({{12, 0}, {96, num}, {100, 0xFFFFFFF0}, {104, 7}});
        EXPECT_EQ(0, mount()) << num;
        EXPECT_TRUE(m_log.contains("save_pdp,")) << num;
    }
}

TEST_F(CorruptMount, AGarbageLabelMountsNothing) {
    std::mt19937 rng(7);
    sector garbage(SECTOR_SIZE);
    for (uint8_t& b : garbage) b = (uint8_t)rng();
    restore();
    write(KX_LABEL_SECTOR, garbage);
    EXPECT_EQ(-1, mount());

    // A label of the right form whose entries point anywhere.
    sector label = m_label;
    for (int i = 0; i < 4; i++) {
        put_le64(label.data() + 52 + 64 * i + 48, ((uint64_t)rng() << 32) | rng());
        put_le64(label.data() + 52 + 64 * i + 56, ((uint64_t)rng() << 32) | rng());
    }
    write(KX_LABEL_SECTOR, label);
    for (int part = 0; part < 4; part++) EXPECT_EQ(-1, mount(part)) << part;
    int count = -1;
    packed_time shutdown = 0;
    m_log.clear();
    EXPECT_EQ(7, kx_file_sys_init(&count, &shutdown));
    EXPECT_EQ(0, count);
}

// Words that make a mount go wrong most easily: the edges of the volume.
uint32_t interesting_word(std::mt19937& rng) {
    static const uint32_t values[] = {0,     1,    2,          7,          34,         38,        187,
                                      255,   256,  326,        327,        328,        511,       512,
                                      6400,  6656, 16279,      16280,      16281,      0x80000,   kSize - 1,
                                      kSize, 0x55, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
    return values[rng() % (sizeof values / sizeof values[0])];
}

// Thousands of volumes with random damage to their descriptor, collision
// list and label: each mounts (0) or is refused (-1), and what mounts can be
// dumped, summarised and searched without leaving its tables.
TEST_F(CorruptMount, RandomDamageNeverCrashes) {
    const int kRounds = 1500;
    int mounted = 0;
    for (uint32_t seed : {1u, 2u}) {
        std::mt19937 rng(seed);
        for (int round = 0; round < kRounds; round++) {
            sector desc = m_desc, coll = m_coll, label = m_label;
            int changes = 1 + (int)(rng() % 6);
            for (int i = 0; i < changes; i++) {
                switch (rng() % 6) {
                    case 0:  // a descriptor byte (the check word is left alone mostly)
                        desc[rng() % 328] = (uint8_t)rng();
                        break;
                    case 1:
                    case 2:  // a descriptor word set to an edge value
                        put_le32(desc.data() + 4 * (rng() % 82), interesting_word(rng));
                        break;
                    case 3:  // a collision list entry
                        put_le32(coll.data() + 4 * (rng() % 128), rng() % 3 ? interesting_word(rng) : rng());
                        break;
                    case 4:  // the open flag, so that recovery runs over the damage
                        put_le32(desc.data() + 12, 0);
                        break;
                    default:  // rarely, the label
                        if (rng() % 8 == 0) label[rng() % SECTOR_SIZE] = (uint8_t)rng();
                        break;
                }
            }
            write(KX_LABEL_SECTOR, label);
            write(kDescriptor, desc);
            write(kCollisions, coll);
            int r = mount();
            ASSERT_TRUE(r == 0 || r == -1) << seed << "/" << round;
            if (r != 0) continue;
            mounted++;
            kx_driver* pdp = get_pdp(0, 0);
            ASSERT_NE(nullptr, pdp);
            ASSERT_LE(pdp->collision_num, 128u);
            ASSERT_LE(pdp->collision_index, pdp->collision_num);
            ASSERT_TRUE(pdp->current_cluster == 0 || pdp->current_cluster < pdp->total_clus)
                << pdp->current_cluster << " " << pdp->rev_clus << " " << pdp->total_clus;
            link_drivers((int)pdp->type);
            kx_dump_drivers();
            driver_info info;
            ASSERT_EQ(0, kx_get_driver_info(0, 0, &info));
            link_time_sections(1, pdp, 1);
            link_time_sections(0, pdp, 1);
        }
    }
    RecordProperty("mounted", mounted);
    EXPECT_GT(mounted, kRounds / 10) << "the damage must leave enough volumes mountable to test them";
}

}  // namespace
