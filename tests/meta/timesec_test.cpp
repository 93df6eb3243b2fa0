// Time sections and collisions on a formatted volume (16280 clusters of 64
// sectors): every step is checked on the descriptor and collision sectors as
// the disk holds them.
#include <gtest/gtest.h>

#include <cstring>

#include "kxtime.h"
#include "support/test_volume.h"

namespace {

packed_time at(int hour, int minute, int second) {
    return make_packed_time(2009, 5, 31, hour, minute, second);
}

class TimeSections : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_NE(nullptr, v.pdp);
        m_rev = v.pdp->rev_clus;
    }
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
    uint32_t word(size_t off) { return v.desc_word(off); }
    uint32_t collision(uint32_t k) { return get_le32(v.sector(v.start + 38).data() + 4 * k); }

    TestVolume v;
    uint32_t m_rev = 0;
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
    EXPECT_EQ(m_rev + 2, collision(0));
    EXPECT_EQ(1u, word(160));
    EXPECT_EQ(m_rev + 2, word(24));

    uint32_t clus = m_rev + 2;
    packed_time t = at(10, 0, 39);
    for (int k = 1; k < 128; k++) write_cluster(++clus, t = time_add(t, -60));
    ASSERT_EQ(128u, v.pdp->collision_num);
    EXPECT_EQ(128u, word(160));
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

// The first cluster of a pass opens the volume and is saved; then the
// descriptor is saved at every cluster 512k - 1 (511, 1023...) with
// saved_cluster and index_clus.
TEST_F(TimeSections, TheDescriptorReachesTheDiskEveryFiveHundredTwelveClusters) {
    write_cluster(m_rev, at(10, 0, 0));
    EXPECT_EQ(m_rev, word(24));
    EXPECT_EQ(0u, word(12));
    for (uint32_t c = m_rev + 1; c <= 1022; c++) set_current_cluster(v.pdp, c);
    EXPECT_EQ(511u, word(24));
    set_current_cluster(v.pdp, 1023);
    EXPECT_EQ(std::vector<uint32_t>({1023, 1023, 1023}),
              std::vector<uint32_t>({word(24), word(112), word(116)}));
}

// Section 2 keeps 256 clusters clear ahead of the writer and disappears
// (all four words 0 on the disk) once fewer than that are left of it.
TEST_F(TimeSections, SectionTwoShrinksAheadOfTheWriterAndDisappears) {
    write_cluster(m_rev, at(10, 0, 0));
    v.pdp->start_cluster2 = 4000;
    v.pdp->end_cluster2 = 5000;
    v.pdp->start_time2 = at(8, 0, 0);
    v.pdp->end_time2 = at(9, 0, 0);
    set_current_cluster(v.pdp, 4700);
    EXPECT_EQ(4956u, v.pdp->start_cluster2);
    set_current_cluster(v.pdp, 4743);
    ASSERT_EQ(0, save_pdp(v.pdp));
    EXPECT_EQ(std::vector<uint32_t>({4999, 5000, at(9, 0, 0)}),
              std::vector<uint32_t>({word(28), word(32), word(40)}));
    EXPECT_FALSE(v.log.contains("SET TO 0"));
    set_current_cluster(v.pdp, 4744);
    EXPECT_TRUE(v.log.contains("pdp->start_cluster2 SET TO 0\n"));
    ASSERT_EQ(0, save_pdp(v.pdp));
    EXPECT_EQ(std::vector<uint32_t>({0, 0, 0, 0}),
              std::vector<uint32_t>({word(28), word(32), word(36), word(40)}));
}

// Under the adapter flag a full volume turns its pass into section 2 and is
// saved closed, fill_count 255 followed by 1; a mount then runs no recovery.
// The next pass reopens it, and passing the old collision deletes it.
TEST_F(TimeSections, AWrapTurnsThePassIntoSectionTwoAndClosesTheVolume) {
    kx_set_fs_adapt(1);
    write_cluster(m_rev, at(10, 0, 0));
    write_cluster(m_rev + 99, at(10, 5, 0));
    write_cluster(m_rev + 100, at(9, 0, 0));  // a collision at rev + 100
    uint32_t last = v.pdp->total_clus - 1;
    write_cluster(last, at(11, 0, 0));
    v.pdp->fill_count = 255;
    driver_full(v.pdp);
    EXPECT_TRUE(v.log.contains("only one driver or use g_fs_adapt\n"));
    EXPECT_EQ(1, v.sector(v.desc_lba())[8]);
    const size_t offs[] = {12, 16, 20, 24, 28, 32, 40, 160};
    const uint32_t want[] = {KX_STATUS_CLOSED, at(12, 0, 0), at(12, 0, 0),  m_rev - 1,
                             m_rev + 255,      last,         at(11, 0, 30), 1};
    for (size_t i = 0; i < std::size(offs); i++) EXPECT_EQ(want[i], word(offs[i])) << "word " << offs[i];
    EXPECT_EQ(0u, v.pdp->collision_index);
    EXPECT_EQ(last, v.pdp->sections[2].end_clus);
    EXPECT_EQ(m_rev + 100, v.pdp->sections[2].start_clus) << "the entries moved up by one";

    v.remount();
    EXPECT_FALSE(v.log.contains("restore_fs41"));
    EXPECT_EQ(m_rev - 1, v.pdp->current_cluster);
    write_cluster(m_rev, at(12, 0, 0));
    EXPECT_EQ(std::vector<uint32_t>({0, m_rev + 256, at(12, 0, 0)}),
              std::vector<uint32_t>({word(12), word(28), word(16)}));
    for (uint32_t c = m_rev + 1; c < m_rev + 100; c++) set_current_cluster(v.pdp, c);
    EXPECT_FALSE(v.log.contains("Delete old collision"));
    set_current_cluster(v.pdp, m_rev + 100);
    EXPECT_TRUE(v.log.contains("Delete old collision at cluster " + std::to_string(m_rev + 100) +
                               " in work driver\n"));
    EXPECT_EQ(0u, word(160));
    v.remount();
    EXPECT_TRUE(v.log.contains("restore_fs41")) << "open again: a mount recovers it";
}

// After a wrap the old collision lies ahead of the writer: a mount rebuilds
// from the saved list the same table the writer kept, split at the write
// position. Catches sections lost, merged or ending at the wrong time.
TEST_F(TimeSections, AMountRebuildsTheSectionsTheWriterKept) {
    kx_set_fs_adapt(1);
    for (uint32_t i = 0; i < 20; i++) write_cluster(m_rev + i, at(10, i, 0));
    write_cluster(m_rev + 20, at(9, 0, 0));  // collision at rev + 20
    write_cluster(m_rev + 1000, at(9, 50, 0));
    driver_full(v.pdp);
    for (uint32_t i = 0; i < 5; i++) write_cluster(m_rev + i, at(12, i, 0));
    refresh_current_section(v.pdp);
    std::vector<time_section> kept(v.pdp->sections, v.pdp->sections + 3);
    v.pdp->status = KX_STATUS_CLOSED;  // the mount takes the write position as it is
    ASSERT_EQ(0, save_pdp(v.pdp));
    v.remount();
    ASSERT_EQ(1u, v.pdp->collision_num);
    EXPECT_EQ(0u, v.pdp->collision_index);
    // The new pass; what is left of the old one before its collision; the
    // old pass after it up to where it ended (section 2).
    const uint32_t clusters[3][2] = {{m_rev, m_rev + 4}, {m_rev + 5, m_rev + 19}, {m_rev + 20, m_rev + 1000}};
    const packed_time times[3][2] = {
        {at(12, 0, 0), at(12, 4, 30)}, {at(10, 5, 0), at(10, 19, 30)}, {at(9, 0, 0), at(9, 50, 30)}};
    for (int k = 0; k < 3; k++) {
        const time_section& s = v.pdp->sections[k];
        EXPECT_EQ(std::vector<uint32_t>({clusters[k][0], clusters[k][1], times[k][0], times[k][1]}),
                  std::vector<uint32_t>({s.start_clus, s.end_clus, s.start_time, s.end_time}))
            << k;
        EXPECT_EQ(std::vector<uint32_t>({kept[k].start_clus, kept[k].end_clus}),
                  std::vector<uint32_t>({s.start_clus, s.end_clus}))
            << k;
        EXPECT_EQ(v.pdp, s.owner);
    }
}

// A search walks sections forward by ascending start, backward by descending
// end, equal times in slot order; entries out of order, other drivers under
// the adapter flag (unless all are asked for) and failed drivers take no part.
TEST_F(TimeSections, LinkingKeepsEqualTimesInSlotOrderAndHonoursTheAdapterFlag) {
    v.format(0, 2, (1u << 20) / 2, 64);
    v.remount();
    kx_driver *one = v.pdp, *other = get_pdp(0, 1);
    ASSERT_NE(nullptr, other);
    auto set = [](time_section* e, uint32_t c0, uint32_t c1, packed_time t0, packed_time t1) {
        e->start_clus = c0;
        e->end_clus = c1;
        e->start_time = t0;
        e->end_time = t1;
    };
    set(&one->sections[0], 400, 410, at(10, 0, 0), at(11, 0, 0));
    set(&one->sections[1], 420, 410, at(9, 0, 0), at(9, 30, 0));  // clusters out of order
    set(&other->sections[0], 500, 510, at(10, 0, 0), at(11, 0, 0));
    set(&other->sections[1], 520, 530, at(12, 0, 0), at(11, 0, 0));  // times out of order
    time_section* fwd = link_time_sections(1, one, 0);
    ASSERT_NE(nullptr, fwd);
    ASSERT_EQ(&one->sections[0], fwd);
    ASSERT_EQ(&other->sections[0], fwd->next);
    EXPECT_EQ(nullptr, fwd->next->next);
    time_section* back = link_time_sections(0, other, 0);
    EXPECT_EQ(&one->sections[0], back);
    EXPECT_EQ(410u, back->cursor);
    kx_set_fs_adapt(1);
    fwd = link_time_sections(1, other, 0);
    EXPECT_EQ(&other->sections[0], fwd);
    EXPECT_EQ(nullptr, fwd->next);
    EXPECT_EQ(&one->sections[0], link_time_sections(1, other, 1));
    other->err_status = KX_ERR_STATUS_FAILED;
    EXPECT_EQ(nullptr, link_time_sections(1, other, 1)->next);
}
