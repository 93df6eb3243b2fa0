// Mount-time recovery of volumes left open, checked on the disk bytes after
// the mount, and the cluster index backup.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "kxtime.h"
#include "meta/meta.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "volume/volume.h"

namespace {

using sector = std::array<uint8_t, 512>;

const packed_time t0 = make_packed_time(2021, 3, 4, 10, 0, 0);
packed_time at(int32_t seconds) { return time_add(t0, seconds); }

sector disk_sector(uint64_t lba) {
    sector s{};
    EXPECT_EQ(0, ide_read64(0, 1, (uint32_t)lba, 0, s.data()));
    return s;
}

class RecoverTest : public ::testing::Test {
protected:
    TempDir m_dir;
    LogCapture m_log;
    kx_driver* m_pdp = nullptr;
    uint32_t R = 0;  // first ring cluster

    // A formatted, mounted volume of `clusters` clusters at the disk's start.
    void make_volume(uint32_t spc, uint32_t clusters) {
        uint64_t size = 6656 + (uint64_t)clusters * spc;
        use_disks({make_sparse_image(m_dir.file("disk.img"), size)});
        remount(0);
        kx_partition parts[4] = {{0, size}, {0, 0}, {0, 0}, {0, 0}};
        ASSERT_EQ(0, kx_write_partitions(0, parts));
        ASSERT_EQ(0, kx_format_driver(0, 0, spc));
        remount(0);
        ASSERT_NE(nullptr, m_pdp);
        R = m_pdp->rev_clus;
        m_log.clear();
    }
    void remount(packed_time shutdown) {
        int count = 0;
        kx_file_sys_init(&count, &shutdown);
        m_pdp = get_pdp(0, 0);
    }
    void item(uint32_t c, uint8_t type, uint8_t ch, packed_time start, uint32_t down, uint32_t up, uint32_t first,
              uint16_t num, uint8_t img = 2) {
        kx_dir_item it{};
        it.item_type = type;
        it.b1 = ch;
        it.item_num = num;
        it.start_time = it.end_time = start;
        it.down_clus = down;
        it.up_cluster_no = up;
        it.first_cluster_no = first;
        it.img = img;
        ASSERT_EQ(0, set_dir_item_info(m_pdp, c, &it, 0));
    }
    void closed_file(uint32_t c, packed_time start) { item(c, ITEM_FIRST, 1, start, 0, 0, c, 0); }
    // Writes the items and leaves the descriptor open with these words, as a
    // recorder that lost power leaves it.
    void leave_open(uint32_t current, uint32_t index_clus, uint32_t start2 = 0, uint32_t end2 = 0) {
        ASSERT_EQ(0, sync_disk(0));
        sector s = disk_sector(KX_TEMP_OFF);
        for (auto [off, v] : {std::pair{12, 0u}, {24, current}, {28, start2}, {32, end2}, {116, index_clus}})
            put_le32(&s[off], v);
        ASSERT_EQ(0, ide_write64(0, 1, KX_TEMP_OFF, 0, s.data()));
    }
    kx_dir_item disk_item(uint32_t c) {
        kx_dir_item it;
        dir_item_decode(disk_sector(FIRST_DIR_START_SEC + c / 16).data() + (c % 16) * 32, &it);
        return it;
    }
    uint8_t disk_index(uint32_t c) { return disk_sector(m_pdp->index_off + c / 512)[c % 512]; }
    static kx_driver disk_desc() {
        kx_driver d{};
        pdp_decode(&d, disk_sector(KX_TEMP_OFF).data());
        return d;
    }
    // A second mount of the repaired volume leaves the label, descriptor,
    // directory and index areas as they are.
    void expect_stable() {
        auto metadata = [this] {
            std::vector<uint8_t> bytes((size_t)m_pdp->data_off * 512);
            for (uint32_t s = 0; s < m_pdp->data_off; s += 16)
                EXPECT_EQ(0, ide_read64(0, 16, s, 0, &bytes[(size_t)s * 512]));
            return bytes;
        };
        std::vector<uint8_t> before = metadata();
        remount(g_shutdown_time);
        EXPECT_TRUE(before == metadata());
    }
};

TEST_F(RecoverTest, ShutdownTimeZeroClosesEveryOpenClusterAsFull) {
    make_volume(64, 300);
    // Two channels recording at once, each file cut off in its second cluster.
    item(R, ITEM_FIRST, 1, at(0), R + 2, 0, R, 0);
    item(R + 1, ITEM_FIRST, 2, at(60), R + 3, 0, R + 1, 0);
    item(R + 2, ITEM_FOLLOW, 1, at(120), DOWN_OPEN, R, R, 1);
    item(R + 3, ITEM_FOLLOW, 2, at(180), DOWN_OPEN, R + 1, R + 1, 1);
    leave_open(R, R);
    remount(0);

    for (uint32_t first : {R, R + 1}) {
        kx_dir_item head = disk_item(first), tail = disk_item(first + 2);
        EXPECT_EQ(tail.start_time, head.end_time);
        EXPECT_EQ(64, head.end_length);
        EXPECT_EQ(1, head.item_num);
        EXPECT_EQ(64, tail.end_length);
        EXPECT_EQ(0u, tail.down_clus);
    }
    EXPECT_EQ(at(120), disk_item(R + 2).end_time);
    kx_driver d = disk_desc();
    EXPECT_EQ(R + 3, d.current_cluster);
    EXPECT_EQ(at(181), d.end_time1);  // a cluster that ends when it starts lasts a second
    EXPECT_EQ(R + 3, d.index_clus);
    const uint8_t index[] = {0x81, 0x82, 0x01, 0x02};  // rebuilt from the directory items
    for (uint32_t k = 0; k < 4; k++) EXPECT_EQ(index[k], disk_index(R + k));
    expect_stable();
}

TEST_F(RecoverTest, ShutdownTimeGivesTheEndWhenItIsBelievable) {
    struct row {
        uint32_t spc;
        uint8_t img;
        int32_t after;  // shutdown, seconds after the open cluster's start
        uint16_t length;
        bool believed;
    };
    const row rows[] = {
        {4096, 2, 120, 4096, true},   // 15,360 estimated, capped
        {4096, 1, 30, 1920, true},
        {4096, 2, 301, 4096, false},  // too long after: a full cluster ending at its start
        {4096, 2, -5, 4096, false},   // before the start
        {1024, 2, 120, 1024, true},   // never more than the cluster holds
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.after);
        make_volume(r.spc, 40);
        item(R, ITEM_FIRST, 3, at(0), R + 1, 0, R, 0, r.img);
        item(R + 1, ITEM_FOLLOW, 3, at(60), DOWN_OPEN, R, R, 1, r.img);
        leave_open(R, R);
        remount(at(60 + r.after));

        packed_time end = r.believed ? at(60 + r.after) : at(60);
        kx_dir_item head = disk_item(R), tail = disk_item(R + 1);
        EXPECT_EQ(end, head.end_time);
        EXPECT_EQ(r.length, head.end_length);
        EXPECT_EQ(1, head.item_num);
        EXPECT_EQ(r.length, tail.end_length);
        EXPECT_EQ(0u, tail.down_clus);
        EXPECT_EQ(r.believed ? end : at(61), disk_desc().end_time1);
        expect_stable();
    }
}

TEST_F(RecoverTest, ScanEndsAtOlderDataOrAStaleItem) {
    // A start 10 s before the previous one is still the newest pass; 11 s is not.
    for (int32_t back : {10, 11}) {
        make_volume(64, 300);
        closed_file(R, at(0));
        closed_file(R + 1, at(-back));
        closed_file(R + 2, at(3600));
        leave_open(R, R);
        remount(0);
        EXPECT_EQ(back == 10 ? R + 2 : R, disk_desc().current_cluster);
        EXPECT_EQ(back == 11, m_log.contains("time out\n"));
    }
    // A following item that its predecessor does not name back is stale.
    make_volume(64, 300);
    closed_file(R, at(0));
    item(R + 1, ITEM_FOLLOW, 1, at(60), DOWN_OPEN, R, R, 1);
    closed_file(R + 2, at(120));
    leave_open(R, R);
    remount(0);
    EXPECT_TRUE(m_log.contains("cluster out\n"));
    EXPECT_EQ(R, disk_desc().current_cluster);
    EXPECT_EQ(DOWN_OPEN, disk_item(R + 1).down_clus);
    expect_stable();

    // Links beyond the volume: the accessor refuses them, recovery stops and
    // the mount goes on with the stored position.
    for (bool bad_up : {true, false}) {
        make_volume(64, 300);
        closed_file(R + 1, at(0));
        item(R + 2, bad_up ? ITEM_FOLLOW : ITEM_FIRST, 1, at(60), DOWN_OPEN, bad_up ? 0xFFFF00u : 0,
             bad_up ? R + 2 : 0xFFFF00u, 1);
        leave_open(R, R);
        remount(0);
        ASSERT_NE(nullptr, m_pdp);
        EXPECT_TRUE(m_log.contains("GET_DIR_ITEM(0 16776960) total:"));
        EXPECT_EQ(R, disk_desc().current_cluster);
        EXPECT_EQ(DOWN_OPEN, disk_item(R + 2).down_clus);
    }
}

TEST_F(RecoverTest, DamagedItemsNeverLeadOutsideTheVolume) {
    make_volume(64, 300);
    const uint32_t total = m_pdp->total_clus;
    auto data_area = [this] {
        std::vector<uint8_t> bytes((size_t)m_pdp->total_clus * 64 * 512);
        EXPECT_EQ(0, ide_read64(0, m_pdp->total_clus * 64, m_pdp->data_off, 0, bytes.data()));
        return bytes;
    };
    const std::vector<uint8_t> data_before = data_area();
    ide_reset_counters();
    std::mt19937 rng(20090531);
    auto pick = [&rng](uint32_t n) { return (uint32_t)(rng() % n); };
    for (int round = 0; round < 150; round++) {
        for (uint32_t c = R; c < R + 24; c++) {
            const uint32_t links[] = {0, DOWN_OPEN, R + pick(30), total, (uint32_t)rng()};
            item(c, (uint8_t)pick(5), (uint8_t)pick(64), at((int32_t)pick(600) - 300), links[pick(5)],
                 links[pick(5)], links[pick(5)], (uint16_t)rng(), (uint8_t)pick(8));
        }
        leave_open(R + pick(20), pick(total + 600), pick(2) ? R + pick(total - R) : 0, pick(total));
        m_log.clear();
        remount(at((int32_t)pick(900) - 300));
        ASSERT_NE(nullptr, m_pdp) << m_log.text();
    }
    // Recovery writes the descriptor, directory and index areas only.
    EXPECT_EQ(0u, ide_get_counters(0).failed);
    EXPECT_TRUE(data_before == data_area());
}

TEST_F(RecoverTest, SectionTwoMovesAheadOrIsCleared) {
    for (uint32_t extra : {0u, 1u}) {
        make_volume(64, 700);
        closed_file(R, at(86400));
        closed_file(R + 256, at(0));  // the previous pass: older
        leave_open(R, R, R + 200, R + 256 + extra);
        remount(0);
        kx_driver d = disk_desc();
        EXPECT_EQ(R, d.current_cluster);
        EXPECT_EQ(extra ? R + 256 : 0, d.start_cluster2);
        EXPECT_EQ(extra ? at(0) : 0, d.start_time2);
        EXPECT_EQ(extra ? R + 257 : 0, d.end_cluster2);
        EXPECT_EQ(extra == 0, m_log.contains("pdp->start_cluster2 SET TO 0\n"));
        expect_stable();
    }
}

TEST_F(RecoverTest, IndexRebuildCoversTheClustersBeforeIndexClus) {
    for (uint32_t known : {100u, 600u}) {
        make_volume(64, 1000);
        uint8_t stale = 0x05, bad = 0xC3;
        for (uint32_t c : {R, R + 87, R + 88}) ASSERT_EQ(0, set_index_item_info(m_pdp, c, &stale, 0));
        ASSERT_EQ(0, set_index_item_info(m_pdp, R + 90, &bad, 0));
        leave_open(R + known, R + known);
        remount(0);
        uint32_t from = known < 512 ? R : R + known - 512;
        EXPECT_TRUE(m_log.contains("restore_clus_index 0 dev:" + std::to_string(from) + "-->" +
                                   std::to_string(R + known) + "\n"));
        EXPECT_EQ(known < 512 ? 0 : 5, disk_index(R));
        EXPECT_EQ(known < 512 ? 0 : 5, disk_index(R + 87));
        EXPECT_EQ(0, disk_index(R + 88));
        EXPECT_EQ(0xC3, disk_index(R + 90));  // bad clusters stay marked
    }
}

TEST_F(RecoverTest, CopyIndexSavesTheIndexAreaInTheLastCluster) {
    make_volume(4096, 40);
    uint8_t marker = 0x87;
    ASSERT_EQ(0, set_index_item_info(m_pdp, R + 3, &marker, 0));  // reaches the disk by the copy's flush
    uint64_t last = m_pdp->data_off + (uint64_t)(m_pdp->total_clus - 1) * 4096;
    ASSERT_EQ(0, copy_index(0, 0, 1));
    for (uint32_t s = 0; s < m_pdp->data_off - m_pdp->index_off; s++)
        ASSERT_EQ(disk_sector(m_pdp->index_off + s), disk_sector(last + s));
    EXPECT_EQ(marker, disk_sector(last)[R + 3]);

    // Whole chunks of 16 sectors: an area of 100 takes 7 (112 sectors);
    // restoring writes back only the 100 that belong to the area.
    m_pdp->index_off = m_pdp->data_off - 100;
    for (int to_backup : {1, 0}) {
        ide_reset_counters();
        ASSERT_EQ(0, copy_index(0, 0, to_backup));
        ide_counters n = ide_get_counters(0);
        EXPECT_EQ(7u, n.reads);
        EXPECT_EQ(112u, n.read_sectors);
        EXPECT_EQ(to_backup ? 112u : 100u, n.written_sectors);
    }
    EXPECT_EQ(1, copy_index(0, 1, 1));  // no such driver

    // An index area larger than a cluster would run past the volume's end.
    make_volume(64, 300);
    ASSERT_EQ(0, sync_disk(0));
    ide_reset_counters();
    EXPECT_EQ(1, copy_index(0, 0, 1));
    EXPECT_EQ(0u, ide_get_counters(0).writes);
}

}  // namespace
