// Time collisions on a formatted volume (16280 clusters of 64 sectors),
// checked on the descriptor and collision sectors as the disk holds them.
// The sections' life over wraps, mounts and searches is the search oracle's.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "kxtime.h"
#include "support/test_volume.h"

namespace {

packed_time at(int hour, int minute, int second) {
    return make_packed_time(2009, 5, 31, hour, minute, second);
}

class TimeSections : public ::testing::Test {
   protected:
    void SetUp() override { ASSERT_NE(nullptr, v.pdp); }
    // What the writer does for one cluster: stamp the time, take the cluster
    // (a closed one-cluster record lasting 30 s).
    void write_cluster(uint32_t clus, packed_time t) {
        update_write_time(v.pdp, t);
        kx_dir_item it{};
        it.item_type = ITEM_FIRST;
        it.start_time = t;
        it.end_time = time_add(t, 30);
        it.first_cluster_no = clus;
        ASSERT_EQ(0, set_dir_item_info(v.pdp, clus, &it, 0));
        set_current_cluster(v.pdp, clus);
    }
    uint32_t collision(uint32_t k) { return get_le32(v.sector(v.start + 38).data() + 4 * k); }

    TestVolume v;
    const uint32_t m_rev = v.pdp ? v.pdp->rev_clus : 0;
};

}  // namespace

// A clock set back by up to 10 s is the same pass; by 11 s it is a collision,
// which splits the sections and is saved with the next cluster. The list
// holds 128: the 129th is refused and changes nothing. Catches off-by-one at
// both limits and a list that reaches the disk late or not at all.
TEST_F(TimeSections, ClockStepsBackOverTenSecondsRecordCollisions) {
    write_cluster(m_rev, at(10, 0, 0));
    write_cluster(m_rev + 1, at(10, 1, 0));
    g_same_second_seq = 5;
    update_write_time(v.pdp, at(10, 1, 0));
    EXPECT_EQ(5, g_same_second_seq) << "the same second keeps the counter";
    update_write_time(v.pdp, at(10, 0, 50));  // back by exactly 10 s
    EXPECT_EQ(0u, v.pdp->collision_num);
    EXPECT_EQ(0, g_same_second_seq);
    update_write_time(v.pdp, at(10, 0, 39));  // back by 11 s
    EXPECT_TRUE(
        v.log.contains("Set new collision at cluster " + std::to_string(m_rev + 1) + " in work driver\n"));
    const time_section* s = v.pdp->sections;
    EXPECT_EQ(std::vector<uint32_t>({1, 1, m_rev + 2, m_rev + 1, at(10, 0, 50), m_rev + 2, at(10, 0, 39)}),
              std::vector<uint32_t>({v.pdp->collision_num, v.pdp->collision_index, v.pdp->collision[0],
                                     s[0].end_clus, s[0].end_time, s[1].start_clus, s[1].start_time}));
    write_cluster(m_rev + 2, at(10, 0, 39));
    // On the disk: the list, its count, the write position.
    EXPECT_EQ(std::make_tuple(m_rev + 2, 1u, m_rev + 2),
              std::make_tuple(collision(0), v.desc_word(160), v.desc_word(24)));

    uint32_t clus = m_rev + 2;
    packed_time t = at(10, 0, 39);
    for (int k = 1; k < 128; k++) write_cluster(++clus, t = time_add(t, -60));
    ASSERT_EQ(128u, v.pdp->collision_num);
    EXPECT_EQ(128u, v.desc_word(160));
    for (uint32_t k = 0; k < 128; k++) ASSERT_EQ(m_rev + 2 + k, collision(k)) << k;
    std::vector<uint32_t> list(v.pdp->collision, v.pdp->collision + KX_MAX_COLLISIONS);
    std::vector<time_section> table(v.pdp->sections, v.pdp->sections + KX_SECTION_NUM);
    v.log.clear();
    add_collision(v.pdp, t, time_add(t, -60));
    EXPECT_EQ("Set new collision at cluster " + std::to_string(clus) +
                  " in work driver\nToo many time collisions in work driver, new collision will not be "
                  "processed!!!!!!!\n",
              v.log.text());
    EXPECT_EQ(128u, v.pdp->collision_num);
    EXPECT_EQ(0, memcmp(list.data(), v.pdp->collision, sizeof(uint32_t) * KX_MAX_COLLISIONS));
    EXPECT_EQ(0, memcmp(table.data(), v.pdp->sections, sizeof(time_section) * KX_SECTION_NUM));
    EXPECT_EQ(0u, v.pdp->table_dirty);
}
