// Time sections and collisions on a real formatted volume: every step is
// checked on the descriptor and collision sectors as the disk holds them.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kxtime.h"
#include "meta/meta.h"
#include "platform/clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

const uint64_t kPartStart = 2048;
const uint64_t kPartSize = 1u << 20;  // 64 sectors per cluster: 16280 clusters

packed_time at(int hour, int minute, int second) {
    return make_packed_time(2009, 5, 31, hour, minute, second);
}

class TimeSections : public ::testing::Test {
   protected:
    void SetUp() override {
        pc_clock_set_fake({2009, 5, 31, 12, 0, 0}, 1000);
        kx_set_fs_adapt(0);
        use_disks({make_sparse_image(m_dir.file("disk0.img"), kPartStart + kPartSize)});
        start_up();
        kx_partition parts[4] = {{kPartStart, kPartSize}, {0, 0}, {0, 0}, {0, 0}};
        ASSERT_EQ(0, kx_write_partitions(0, parts));
        ASSERT_EQ(0, kx_format_driver(0, 0, 64));
        mount();
    }
    void TearDown() override { pc_clock_use_real(); }

    void start_up() {
        int count = 0;
        packed_time shutdown = 0;
        kx_file_sys_init(&count, &shutdown);
    }
    // Start-up again over the same disk; the log then holds its messages.
    void mount() {
        m_log.clear();
        start_up();
        m_pdp = get_pdp(0, 0);
        ASSERT_NE(nullptr, m_pdp);
        m_rev = m_pdp->rev_clus;
    }
    // Saves the descriptor closed, so that a mount takes the write position
    // as it is instead of recovering it from the directory items.
    void save_closed() {
        m_pdp->status = KX_STATUS_CLOSED;
        ASSERT_EQ(0, save_pdp(m_pdp));
    }

    // A closed one-cluster record at clus.
    void stamp(uint32_t clus, packed_time start, packed_time end) {
        kx_dir_item it{};
        it.item_type = ITEM_FIRST;
        it.start_time = start;
        it.end_time = end;
        it.first_cluster_no = clus;
        ASSERT_EQ(0, set_dir_item_info(m_pdp, clus, &it, 0));
    }
    // What the writer does for one cluster: stamp the time, take the cluster.
    void write_cluster(uint32_t clus, packed_time t) {
        update_write_time(m_pdp, t);
        stamp(clus, t, time_add(t, 30));
        set_current_cluster(m_pdp, clus);
    }

    std::vector<uint8_t> disk_sector(uint64_t offset) {
        std::vector<uint8_t> s(SECTOR_SIZE);
        uint64_t lba = kPartStart + offset;
        EXPECT_EQ(0, ide_read64(0, 1, (uint32_t)lba, (uint32_t)(lba >> 32), s.data()));
        return s;
    }
    uint32_t disk_word(size_t off) { return get_le32(disk_sector(KX_TEMP_OFF).data() + off); }
    uint32_t disk_collision(uint32_t k) { return get_le32(disk_sector(38).data() + 4 * k); }

    TempDir m_dir;
    LogCapture m_log;
    kx_driver* m_pdp = nullptr;
    uint32_t m_rev = 0;
};

TEST_F(TimeSections, ClockStepsBackOverTenSecondsRecordCollisions) {
    write_cluster(m_rev, at(10, 0, 0));
    write_cluster(m_rev + 1, at(10, 1, 0));
    g_same_second_seq = 5;
    update_write_time(m_pdp, at(10, 1, 0));
    EXPECT_EQ(5, g_same_second_seq) << "the same second keeps the counter";
    update_write_time(m_pdp, at(10, 0, 50));  // back by exactly 10 s
    EXPECT_EQ(0u, m_pdp->collision_num);
    EXPECT_EQ(0, g_same_second_seq);
    EXPECT_FALSE(m_log.contains("Set new collision"));

    update_write_time(m_pdp, at(10, 0, 39));  // back by 11 s
    EXPECT_TRUE(
        m_log.contains("Set new collision at cluster " + std::to_string(m_rev + 1) + " in work driver\n"));
    ASSERT_EQ(1u, m_pdp->collision_num);
    EXPECT_EQ(1u, m_pdp->collision_index);
    EXPECT_EQ(m_rev + 2, m_pdp->collision[0]);
    EXPECT_EQ(m_rev + 1, m_pdp->sections[0].end_clus);
    EXPECT_EQ(at(10, 0, 50), m_pdp->sections[0].end_time);
    EXPECT_EQ(m_rev + 2, m_pdp->sections[1].start_clus);
    EXPECT_EQ(at(10, 0, 39), m_pdp->sections[1].start_time);

    // Taking the next cluster saves the changed list.
    stamp(m_rev + 2, at(10, 0, 39), at(10, 0, 59));
    set_current_cluster(m_pdp, m_rev + 2);
    EXPECT_EQ(m_rev + 2, disk_collision(0));
    EXPECT_EQ(1u, disk_word(160));
    EXPECT_EQ(m_rev + 2, disk_word(24));
    EXPECT_EQ(0u, m_pdp->table_dirty);
}

TEST_F(TimeSections, TheListHoldsOneHundredTwentyEightCollisions) {
    uint32_t clus = m_rev;
    packed_time t = at(20, 0, 0);
    write_cluster(clus, t);
    for (int k = 0; k < 128; k++) {
        t = time_add(t, -60);  // every cluster a minute earlier than the last
        write_cluster(++clus, t);
    }
    ASSERT_EQ(128u, m_pdp->collision_num);
    EXPECT_EQ(128u, m_pdp->collision_index);
    EXPECT_EQ(128u, disk_word(160));
    for (uint32_t k = 0; k < 128; k++) ASSERT_EQ(m_rev + 1 + k, disk_collision(k)) << k;
    EXPECT_EQ(m_rev + 128, m_pdp->sections[128].start_clus);

    std::vector<uint32_t> list(m_pdp->collision, m_pdp->collision + KX_MAX_COLLISIONS);
    std::vector<time_section> table(m_pdp->sections, m_pdp->sections + KX_SECTION_NUM);
    m_log.clear();
    add_collision(m_pdp, t, time_add(t, -60));  // the 129th
    EXPECT_EQ("Set new collision at cluster " + std::to_string(clus) +
                  " in work driver\nToo many time collisions in work driver, new collision will not be "
                  "processed!!!!!!!\n",
              m_log.text());
    EXPECT_EQ(128u, m_pdp->collision_num);
    EXPECT_EQ(0, memcmp(list.data(), m_pdp->collision, sizeof(uint32_t) * KX_MAX_COLLISIONS));
    EXPECT_EQ(0, memcmp(table.data(), m_pdp->sections, sizeof(time_section) * KX_SECTION_NUM));
    EXPECT_EQ(0u, m_pdp->table_dirty);
}

TEST_F(TimeSections, TheDescriptorReachesTheDiskEveryFiveHundredTwelveClusters) {
    write_cluster(m_rev, at(10, 0, 0));  // the first cluster of a pass is saved
    EXPECT_EQ(m_rev, disk_word(24));
    EXPECT_EQ(0u, disk_word(12)) << "taking a cluster opens the volume";
    for (uint32_t c = m_rev + 1; c <= 1022; c++) set_current_cluster(m_pdp, c);
    EXPECT_EQ(1022u, m_pdp->current_cluster);
    EXPECT_EQ(511u, disk_word(24)) << "511 was the last save point; 1022 is none";
    set_current_cluster(m_pdp, 1023);
    EXPECT_EQ(1023u, disk_word(24));
    EXPECT_EQ(1023u, disk_word(112));  // saved_cluster
    EXPECT_EQ(1023u, disk_word(116));  // index_clus
    EXPECT_EQ(1023u, m_pdp->index_clus);
}

TEST_F(TimeSections, SectionTwoShrinksAheadOfTheWriterAndDisappears) {
    write_cluster(m_rev, at(10, 0, 0));
    m_pdp->start_cluster2 = 4000;
    m_pdp->end_cluster2 = 5000;
    m_pdp->start_time2 = at(8, 0, 0);
    m_pdp->end_time2 = at(9, 0, 0);
    set_current_cluster(m_pdp, 4700);
    EXPECT_EQ(4956u, m_pdp->start_cluster2);
    set_current_cluster(m_pdp, 4743);
    ASSERT_EQ(0, save_pdp(m_pdp));
    EXPECT_EQ(4999u, disk_word(28));
    EXPECT_EQ(5000u, disk_word(32));
    EXPECT_EQ(at(9, 0, 0), disk_word(40));
    EXPECT_FALSE(m_log.contains("SET TO 0"));

    set_current_cluster(m_pdp, 4744);
    EXPECT_TRUE(m_log.contains("pdp->start_cluster2 SET TO 0\n"));
    ASSERT_EQ(0, save_pdp(m_pdp));
    for (size_t off : {28, 32, 36, 40}) EXPECT_EQ(0u, disk_word(off)) << off;
}

TEST_F(TimeSections, AWrapTurnsThePassIntoSectionTwoAndClosesTheVolume) {
    kx_set_fs_adapt(1);
    write_cluster(m_rev, at(10, 0, 0));
    write_cluster(m_rev + 99, at(10, 5, 0));
    write_cluster(m_rev + 100, at(9, 0, 0));  // a collision at rev + 100
    ASSERT_EQ(1u, m_pdp->collision_num);
    uint32_t last = m_pdp->total_clus - 1;
    write_cluster(last, at(11, 0, 0));
    m_pdp->fill_count = 255;

    driver_full(m_pdp);
    EXPECT_TRUE(m_log.contains("only one driver or use g_fs_adapt\n"));
    EXPECT_EQ(1, disk_sector(KX_TEMP_OFF)[8]) << "fill_count 255 is followed by 1";
    EXPECT_EQ(KX_STATUS_CLOSED, disk_word(12));
    EXPECT_EQ(at(12, 0, 0), disk_word(16));
    EXPECT_EQ(at(12, 0, 0), disk_word(20));
    EXPECT_EQ(m_rev - 1, disk_word(24));
    EXPECT_EQ(m_rev + 255, disk_word(28));
    EXPECT_EQ(last, disk_word(32));
    EXPECT_EQ(at(11, 0, 30), disk_word(40)) << "the end of the pass's last cluster";
    EXPECT_EQ(1u, disk_word(160)) << "the list is kept";
    EXPECT_EQ(0u, m_pdp->collision_index);
    EXPECT_EQ(last, m_pdp->sections[2].end_clus);
    EXPECT_EQ(m_rev + 100, m_pdp->sections[2].start_clus) << "the entries moved up by one";

    // Closed on the disk: a mount now runs no recovery and keeps the wrap.
    mount();
    EXPECT_FALSE(m_log.contains("restore_fs41"));
    EXPECT_EQ(KX_STATUS_CLOSED, m_pdp->status);
    EXPECT_EQ(m_rev - 1, m_pdp->current_cluster);

    // The next cluster taken opens the pass and the volume again.
    write_cluster(m_rev, at(12, 0, 0));
    EXPECT_EQ(0u, disk_word(12));
    EXPECT_EQ(m_rev + 256, disk_word(28));
    EXPECT_EQ(at(12, 0, 0), disk_word(16));
    for (uint32_t c = m_rev + 1; c < m_rev + 100; c++) set_current_cluster(m_pdp, c);
    EXPECT_FALSE(m_log.contains("Delete old collision"));
    set_current_cluster(m_pdp, m_rev + 100);  // passes the old collision
    EXPECT_TRUE(m_log.contains("Delete old collision at cluster " + std::to_string(m_rev + 100) +
                               " in work driver\n"));
    EXPECT_EQ(0u, m_pdp->collision_num);
    EXPECT_EQ(0u, disk_word(160));
    mount();
    EXPECT_TRUE(m_log.contains("restore_fs41")) << "open again: a mount recovers it";
}

TEST_F(TimeSections, AWrapWithoutTheAdapterFlagLeavesTheVolumeOpen) {
    write_cluster(m_rev, at(10, 0, 0));
    ASSERT_EQ(m_pdp, m_pdp->next) << "a single driver forms a ring of one";
    switch_work_driver(m_pdp);
    EXPECT_TRUE(m_log.contains("only one driver or use g_fs_adapt\n"));
    EXPECT_EQ(0u, disk_word(12));
    EXPECT_EQ(m_rev - 1, disk_word(24));
    EXPECT_EQ(m_pdp, g_work_driver[0]);
}

// The table the writer keeps while it goes and the one a mount builds from
// the saved list describe the same sections.
TEST_F(TimeSections, AMountRebuildsTheSectionsTheWriterKept) {
    for (uint32_t i = 0; i < 5; i++) write_cluster(m_rev + i, at(10, i, 0));
    for (uint32_t i = 5; i < 10; i++) write_cluster(m_rev + i, at(9, i, 0));
    for (uint32_t i = 10; i < 12; i++) write_cluster(m_rev + i, at(8, i, 0));
    ASSERT_EQ(2u, m_pdp->collision_num);
    refresh_current_section(m_pdp);
    std::vector<time_section> kept(m_pdp->sections, m_pdp->sections + 4);
    save_closed();
    mount();
    EXPECT_EQ(2u, m_pdp->collision_index);
    const uint32_t clusters[4][2] = {
        {m_rev, m_rev + 4}, {m_rev + 5, m_rev + 9}, {m_rev + 10, m_rev + 11}, {0, 0}};
    for (int k = 0; k < 4; k++) {
        EXPECT_EQ(clusters[k][0], m_pdp->sections[k].start_clus) << k;
        EXPECT_EQ(clusters[k][1], m_pdp->sections[k].end_clus) << k;
        EXPECT_EQ(kept[k].start_clus, m_pdp->sections[k].start_clus) << k;
        EXPECT_EQ(kept[k].end_clus, m_pdp->sections[k].end_clus) << k;
        EXPECT_EQ(m_pdp, m_pdp->sections[k].owner);
    }
    EXPECT_EQ(at(10, 0, 0), m_pdp->sections[0].start_time);
    EXPECT_EQ(at(10, 4, 30), m_pdp->sections[0].end_time);
    EXPECT_EQ(at(9, 5, 0), m_pdp->sections[1].start_time);
    EXPECT_EQ(at(8, 11, 30), m_pdp->sections[2].end_time);

    // Forward: ascending start; backward: descending end.
    time_section* fwd = link_time_sections(1, m_pdp, 0);
    ASSERT_NE(nullptr, fwd);
    EXPECT_EQ(&m_pdp->sections[2], fwd);
    EXPECT_EQ(&m_pdp->sections[1], fwd->next);
    EXPECT_EQ(&m_pdp->sections[0], fwd->next->next);
    EXPECT_EQ(nullptr, fwd->next->next->next);
    EXPECT_EQ(m_rev + 10, fwd->cursor);
    time_section* back = link_time_sections(0, m_pdp, 0);
    EXPECT_EQ(&m_pdp->sections[0], back);
    EXPECT_EQ(m_rev + 4, back->cursor);
}

// After a wrap the old collisions lie ahead of the writer: a mount splits
// the table at the write position, as the writer's own table is split.
TEST_F(TimeSections, AMountSplitsTheSectionsAtTheWritePosition) {
    kx_set_fs_adapt(1);
    for (uint32_t i = 0; i < 20; i++) write_cluster(m_rev + i, at(10, i, 0));
    write_cluster(m_rev + 20, at(9, 0, 0));  // collision at rev + 20
    write_cluster(m_rev + 1000, at(9, 50, 0));
    driver_full(m_pdp);
    for (uint32_t i = 0; i < 5; i++) write_cluster(m_rev + i, at(12, i, 0));
    refresh_current_section(m_pdp);
    std::vector<time_section> kept(m_pdp->sections, m_pdp->sections + 3);
    save_closed();
    mount();
    ASSERT_EQ(1u, m_pdp->collision_num);
    EXPECT_EQ(0u, m_pdp->collision_index);
    // The new pass; what is left of the old one before its collision; the
    // old pass after it up to where it ended (section 2).
    const uint32_t clusters[3][2] = {{m_rev, m_rev + 4}, {m_rev + 5, m_rev + 19}, {m_rev + 20, m_rev + 1000}};
    const packed_time starts[3] = {at(12, 0, 0), at(10, 5, 0), at(9, 0, 0)};
    for (int k = 0; k < 3; k++) {
        EXPECT_EQ(clusters[k][0], m_pdp->sections[k].start_clus) << k;
        EXPECT_EQ(clusters[k][1], m_pdp->sections[k].end_clus) << k;
        EXPECT_EQ(starts[k], m_pdp->sections[k].start_time) << k;
        EXPECT_EQ(kept[k].start_clus, m_pdp->sections[k].start_clus) << k;
        EXPECT_EQ(kept[k].end_clus, m_pdp->sections[k].end_clus) << k;
    }
    EXPECT_EQ(at(9, 50, 30), m_pdp->sections[2].end_time);
}

// Which drivers' sections a search sees, and the order of equal times.
TEST_F(TimeSections, LinkingKeepsEqualTimesInSlotOrderAndHonoursTheAdapterFlag) {
    kx_partition parts[4] = {
        {kPartStart, kPartSize / 2}, {kPartStart + kPartSize / 2, kPartSize / 2}, {0, 0}, {0, 0}};
    ASSERT_EQ(0, kx_write_partitions(0, parts));
    ASSERT_EQ(0, kx_format_driver(0, 0, 64));
    ASSERT_EQ(0, kx_format_driver(0, 1, 64));
    mount();
    kx_driver* other = get_pdp(0, 1);
    ASSERT_NE(nullptr, other);
    auto set = [](time_section* e, uint32_t c0, uint32_t c1, packed_time t0, packed_time t1) {
        e->start_clus = c0;
        e->end_clus = c1;
        e->start_time = t0;
        e->end_time = t1;
    };
    set(&m_pdp->sections[0], 400, 410, at(10, 0, 0), at(11, 0, 0));
    set(&m_pdp->sections[1], 420, 410, at(9, 0, 0), at(9, 30, 0));  // clusters out of order: left out
    set(&other->sections[0], 500, 510, at(10, 0, 0), at(11, 0, 0));
    set(&other->sections[1], 520, 530, at(12, 0, 0), at(11, 0, 0));  // times out of order: left out

    time_section* fwd = link_time_sections(1, m_pdp, 0);
    ASSERT_NE(nullptr, fwd);
    EXPECT_EQ(&m_pdp->sections[0], fwd);
    ASSERT_NE(nullptr, fwd->next);
    EXPECT_EQ(&other->sections[0], fwd->next);
    EXPECT_EQ(nullptr, fwd->next->next);
    time_section* back = link_time_sections(0, other, 0);
    EXPECT_EQ(&m_pdp->sections[0], back) << "equal ends also keep slot order";
    EXPECT_EQ(410u, back->cursor);

    kx_set_fs_adapt(1);
    fwd = link_time_sections(1, other, 0);
    EXPECT_EQ(&other->sections[0], fwd);
    EXPECT_EQ(nullptr, fwd->next) << "under the adapter flag only the driver asked for";
    fwd = link_time_sections(1, other, 1);
    EXPECT_EQ(&m_pdp->sections[0], fwd) << "unless all drivers are asked for";
    other->err_status = KX_ERR_STATUS_FAILED;
    fwd = link_time_sections(1, other, 1);
    EXPECT_EQ(nullptr, fwd->next) << "a driver with a transfer error takes no part";
}

}  // namespace
