// Mount-time recovery of volumes left open, checked on the disk bytes after
// the mount; the cluster index backup; the user-data ring. Volumes start at
// sector 0, so partition offsets are disk sectors.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "kxtime.h"
#include "support/test_volume.h"

namespace {

const packed_time t0 = make_packed_time(2021, 3, 4, 10, 0, 0);
packed_time at(int32_t seconds) {
    return time_add(t0, seconds);
}

class RecoverTest : public ::testing::Test {
   protected:
    // A formatted, mounted volume of `clusters` clusters at the disk's start.
    void make_volume(uint32_t spc, uint32_t clusters) {
        m_v.reset();
        m_v = std::make_unique<TestVolume>(6656 + (uint64_t)clusters * spc, spc, 0);
        ASSERT_NE(nullptr, m_v->pdp);
        R = m_v->pdp->rev_clus;
        m_v->log.clear();
    }
    void item(uint32_t c, uint8_t type, uint8_t ch, packed_time start, uint32_t down, uint32_t up,
              uint32_t first, uint16_t num, uint8_t img = 2) {
        kx_dir_item it{};
        it.item_type = type;
        it.b1 = ch;
        it.item_num = num;
        it.start_time = it.end_time = start;
        it.down_clus = down;
        it.up_cluster_no = up;
        it.first_cluster_no = first;
        it.img = img;
        ASSERT_EQ(0, set_dir_item_info(m_v->pdp, c, &it, 0));
    }
    void closed_file(uint32_t c, packed_time start) { item(c, ITEM_FIRST, 1, start, 0, 0, c, 0); }
    // Writes the items and leaves the descriptor open with these words, as a
    // recorder that lost power leaves it; then mounts with that shutdown time.
    void crash_and_mount(packed_time shutdown, uint32_t current, uint32_t index_clus, uint32_t start2 = 0,
                         uint32_t end2 = 0) {
        ASSERT_EQ(0, sync_disk(0));
        for (auto [off, v] : {std::pair{12, 0u}, {24, current}, {28, start2}, {32, end2}, {116, index_clus}})
            m_v->put_word(KX_TEMP_OFF, off, v);
        m_v->remount(shutdown);
    }
    // A second mount of the repaired volume changes no byte before the data area.
    void expect_stable() {
        auto metadata = [this] {
            sector_bytes bytes((size_t)m_v->pdp->data_off * 512);
            for (uint32_t s = 0; s < m_v->pdp->data_off; s += 16)
                EXPECT_EQ(0, ide_read64(0, 16, s, 0, &bytes[(size_t)s * 512]));
            return bytes;
        };
        sector_bytes before = metadata();
        m_v->remount(g_shutdown_time);
        EXPECT_TRUE(before == metadata());
    }
    kx_dir_item disk_item(uint32_t c) { return m_v->item(c); }
    kx_driver desc() { return m_v->desc(); }
    // User-data ring item i: its fir_clus word on the disk; laid out through the pool.
    uint32_t ud_fir_clus(uint32_t i) {
        return get_le32(m_v->sector(m_v->pdp->ud_off + i / 32).data() + (i % 32) * 16 + 12);
    }
    void put_ud(uint32_t i, uint8_t generation, uint32_t fir_clus) {
        buf_head* b = read_buf(0, m_v->pdp->ud_off + i / 32);
        ASSERT_NE(nullptr, b);
        b->data[(i % 32) * 16 + 11] = generation;
        put_le32(b->data + (i % 32) * 16 + 12, fir_clus);
        b->dirty = 1;
        release_buf(b);
        ASSERT_EQ(0, sync_disk(0));
    }
    uint32_t append(uint32_t fir_clus) {
        uint32_t out = 0;
        EXPECT_EQ(0, ud_add_item(m_v->pdp, fir_clus, k_rec, &out));
        return out;
    }
    static constexpr uint8_t k_rec[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0x0A, 7, 0xEE};

    std::unique_ptr<TestVolume> m_v;
    uint32_t R = 0;  // first ring cluster
};

}  // namespace

// Shutdown time 0: every open cluster is closed as full and its file ends
// where that cluster starts; the write position, end_time1 and the index
// (rebuilt from the items) follow the newest cluster.
TEST_F(RecoverTest, ShutdownTimeZeroClosesEveryOpenClusterAsFull) {
    make_volume(64, 300);
    item(R, ITEM_FIRST, 1, at(0), R + 2, 0, R, 0);  // two channels, each cut off in its second cluster
    item(R + 1, ITEM_FIRST, 2, at(60), R + 3, 0, R + 1, 0);
    item(R + 2, ITEM_FOLLOW, 1, at(120), DOWN_OPEN, R, R, 1);
    item(R + 3, ITEM_FOLLOW, 2, at(180), DOWN_OPEN, R + 1, R + 1, 1);
    crash_and_mount(0, R, R);
    for (uint32_t first : {R, R + 1}) {
        kx_dir_item head = disk_item(first), tail = disk_item(first + 2);
        EXPECT_EQ(std::vector<uint32_t>({tail.start_time, 64, 1, 64, 0}),
                  std::vector<uint32_t>(
                      {head.end_time, head.end_length, head.item_num, tail.end_length, tail.down_clus}));
    }
    kx_driver d = desc();
    EXPECT_EQ(std::vector<uint32_t>({R + 3, at(181), R + 3}),
              std::vector<uint32_t>({d.current_cluster, d.end_time1, d.index_clus}));
    EXPECT_EQ(std::vector<uint8_t>({0x81, 0x82, 0x01, 0x02}),
              std::vector<uint8_t>({m_v->index(R), m_v->index(R + 1), m_v->index(R + 2), m_v->index(R + 3)}));
    expect_stable();
}

// The shutdown time is believed 0 to 300 s after the open cluster began: the
// length is estimated from the picture size (img 2: 128 sectors a second;
// 120 s gives 15,360, which the estimate caps at 4096). Mended: recovery also
// caps it at sector_per_clus, else reading the file runs into the next
// cluster. Otherwise the cluster counts as full and ends at its start.
TEST_F(RecoverTest, ShutdownTimeGivesTheEndWhenItIsBelievable) {
    struct {
        uint32_t spc;
        uint8_t img;
        int32_t after;  // shutdown, seconds after the open cluster's start
        uint16_t length;
        bool believed;
    } rows[] = {
        {4096, 2, 120, 4096, true}, {4096, 1, 30, 1920, true},  {4096, 2, 301, 4096, false},
        {4096, 2, -5, 4096, false}, {1024, 2, 120, 1024, true}, {1024, 1, 30, 1024, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.spc) + " img " + std::to_string(r.img) + " after " +
                     std::to_string(r.after));
        make_volume(r.spc, 40);
        item(R, ITEM_FIRST, 3, at(0), R + 1, 0, R, 0, r.img);
        item(R + 1, ITEM_FOLLOW, 3, at(60), DOWN_OPEN, R, R, 1, r.img);
        crash_and_mount(at(60 + r.after), R, R);
        packed_time end = r.believed ? at(60 + r.after) : at(60);
        kx_dir_item head = disk_item(R), tail = disk_item(R + 1);
        EXPECT_EQ(std::vector<uint32_t>({end, r.length, 1, r.length, 0, r.believed ? end : at(61)}),
                  std::vector<uint32_t>({head.end_time, head.end_length, head.item_num, tail.end_length,
                                         tail.down_clus, desc().end_time1}));
        expect_stable();
    }
}

// The scan forward ends at older data ("time out": a start more than 10 s
// before the previous one) or at a stale following item ("cluster out");
// links beyond the volume are refused by the accessor and the mount goes on
// with the stored position.
TEST_F(RecoverTest, ScanEndsAtOlderDataOrAStaleItem) {
    for (int32_t back : {10, 11}) {
        make_volume(64, 300);
        closed_file(R, at(0));
        closed_file(R + 1, at(-back));
        closed_file(R + 2, at(3600));
        crash_and_mount(0, R, R);
        EXPECT_EQ(back == 10 ? R + 2 : R, desc().current_cluster);
        EXPECT_EQ(back == 11, m_v->log.contains("time out\n"));
    }
    make_volume(64, 300);
    closed_file(R, at(0));
    item(R + 1, ITEM_FOLLOW, 1, at(60), DOWN_OPEN, R, R, 1);  // R does not name it back
    closed_file(R + 2, at(120));
    crash_and_mount(0, R, R);
    EXPECT_TRUE(m_v->log.contains("cluster out\n"));
    EXPECT_EQ(R, desc().current_cluster);
    EXPECT_EQ(DOWN_OPEN, disk_item(R + 1).down_clus);
    expect_stable();
    for (bool bad_up : {true, false}) {
        make_volume(64, 300);
        closed_file(R + 1, at(0));
        item(R + 2, bad_up ? ITEM_FOLLOW : ITEM_FIRST, 1, at(60), DOWN_OPEN, bad_up ? 0xFFFF00u : 0,
             bad_up ? R + 2 : 0xFFFF00u, 1);
        crash_and_mount(0, R, R);
        ASSERT_NE(nullptr, m_v->pdp);
        EXPECT_TRUE(m_v->log.contains("GET_DIR_ITEM(0 16776960) total:"));
        EXPECT_EQ(R, desc().current_cluster);
        EXPECT_EQ(DOWN_OPEN, disk_item(R + 2).down_clus);
    }
}

// Random damage (fixed seed) to items and descriptor words of an open volume:
// every mount succeeds, no transfer fails and nothing in the data area changes.
TEST_F(RecoverTest, DamagedItemsNeverLeadOutsideTheVolume) {
    make_volume(64, 300);
    const uint32_t total = m_v->pdp->total_clus;
    auto data_area = [this] {
        sector_bytes bytes((size_t)m_v->pdp->total_clus * 64 * 512);
        EXPECT_EQ(0, ide_read64(0, m_v->pdp->total_clus * 64, m_v->pdp->data_off, 0, bytes.data()));
        return bytes;
    };
    const sector_bytes data_before = data_area();
    ide_reset_counters();
    std::mt19937 rng(20090531);
    auto pick = [&rng](uint32_t n) { return (uint32_t)(rng() % n); };
    for (int round = 0; round < 150; round++) {
        for (uint32_t c = R; c < R + 24; c++) {
            const uint32_t links[] = {0, DOWN_OPEN, R + pick(30), total, (uint32_t)rng()};
            item(c, (uint8_t)pick(5), (uint8_t)pick(64), at((int32_t)pick(600) - 300), links[pick(5)],
                 links[pick(5)], links[pick(5)], (uint16_t)rng(), (uint8_t)pick(8));
        }
        crash_and_mount(at((int32_t)pick(900) - 300), R + pick(20), pick(total + 600),
                        pick(2) ? R + pick(total - R) : 0, pick(total));
        ASSERT_NE(nullptr, m_v->pdp) << m_v->log.text();
    }
    EXPECT_EQ(0u, ide_get_counters(0).failed);
    EXPECT_TRUE(data_before == data_area());
}

// Section 2 moves to stay 256 clusters ahead of the recovered position, or
// is cleared when nothing of it would be left.
TEST_F(RecoverTest, SectionTwoMovesAheadOrIsCleared) {
    for (uint32_t extra : {0u, 1u}) {
        make_volume(64, 700);
        closed_file(R, at(86400));
        closed_file(R + 256, at(0));  // the previous pass: older
        crash_and_mount(0, R, R, R + 200, R + 256 + extra);
        kx_driver d = desc();
        EXPECT_EQ(
            std::vector<uint32_t>({R, extra ? R + 256 : 0, extra ? at(0) : 0, extra ? R + 257 : 0}),
            std::vector<uint32_t>({d.current_cluster, d.start_cluster2, d.start_time2, d.end_cluster2}));
        EXPECT_EQ(extra == 0, m_v->log.contains("pdp->start_cluster2 SET TO 0\n"));
        expect_stable();
    }
}

// The index is rebuilt from 512 clusters before index_clus (or the ring's
// start) up to the recovered position; bad clusters stay marked.
TEST_F(RecoverTest, IndexRebuildCoversTheClustersBeforeIndexClus) {
    for (uint32_t known : {100u, 600u}) {
        make_volume(64, 1000);
        uint8_t stale = 0x05, bad = 0xC3;
        for (uint32_t c : {R, R + 87, R + 88}) ASSERT_EQ(0, set_index_item_info(m_v->pdp, c, &stale, 0));
        ASSERT_EQ(0, set_index_item_info(m_v->pdp, R + 90, &bad, 0));
        crash_and_mount(0, R + known, R + known);
        uint32_t from = known < 512 ? R : R + known - 512;
        EXPECT_TRUE(m_v->log.contains("restore_clus_index 0 dev:" + std::to_string(from) + "-->" +
                                      std::to_string(R + known) + "\n"));
        EXPECT_EQ(std::vector<uint8_t>({uint8_t(known < 512 ? 0 : 5), uint8_t(known < 512 ? 0 : 5), 0, 0xC3}),
                  std::vector<uint8_t>(
                      {m_v->index(R), m_v->index(R + 87), m_v->index(R + 88), m_v->index(R + 90)}));
    }
}

// The index backup goes to the volume's last cluster in whole 16-sector
// chunks; restoring writes back only the sectors of the index area. Mended:
// an index area larger than a cluster is refused instead of running past
// the volume's end.
TEST_F(RecoverTest, CopyIndexSavesTheIndexAreaInTheLastCluster) {
    make_volume(4096, 40);
    kx_driver* pdp = m_v->pdp;
    uint8_t marker = 0x87;
    ASSERT_EQ(0, set_index_item_info(pdp, R + 3, &marker, 0));  // reaches the disk by the copy's flush
    uint64_t last = pdp->data_off + (uint64_t)(pdp->total_clus - 1) * 4096;
    ASSERT_EQ(0, copy_index(0, 0, 1));
    for (uint32_t s = 0; s < pdp->data_off - pdp->index_off; s++)
        ASSERT_EQ(m_v->sector(pdp->index_off + s), m_v->sector(last + s));
    EXPECT_EQ(marker, m_v->sector(last)[R + 3]);
    pdp->index_off = pdp->data_off - 100;  // 100 sectors: 7 chunks, 112 sectors
    for (int to_backup : {1, 0}) {
        ide_reset_counters();
        ASSERT_EQ(0, copy_index(0, 0, to_backup));
        ide_counters n = ide_get_counters(0);
        EXPECT_EQ(std::vector<uint64_t>({7, 112, to_backup ? 112u : 100u}),
                  std::vector<uint64_t>({n.reads, n.read_sectors, n.written_sectors}));
    }
    EXPECT_EQ(1, copy_index(0, 1, 1));  // no such driver
    make_volume(64, 300);
    ASSERT_EQ(0, sync_disk(0));
    ide_reset_counters();
    EXPECT_EQ(1, copy_index(0, 0, 1));
    EXPECT_EQ(0u, ide_get_counters(0).writes);
}

// Catches a user-data item written at the wrong place (the last item, items
// split over two sectors), the generation not replacing the record's last
// byte, and a write position that wraps to 0 instead of 1 or is saved late.
TEST_F(RecoverTest, UserDataAppendPlacesItemsInTheRing) {
    make_volume(64, 600);
    kx_driver* pdp = m_v->pdp;
    const uint32_t num = pdp->ud_item_num;
    pdp->fill_count = 2;
    pdp->ud_first_item = pdp->ud_last_item = num - 1;
    EXPECT_EQ(num - 1, append(777));
    EXPECT_TRUE(m_v->log.contains("ud_add_item() ud_first_item:524287, ud_last_item:524287, offset:31\n"));
    sector_bytes s = m_v->sector(pdp->ud_off + (num - 1) / 32);
    EXPECT_EQ(0, memcmp(&s[496], k_rec, 11));
    EXPECT_EQ(std::vector<uint32_t>({2, 777, 1}),
              std::vector<uint32_t>({s[507], get_le32(&s[508]), desc().ud_last_item}));
    EXPECT_EQ(1u, append(778));
    pdp->ud_first_item = pdp->ud_last_item = 31;
    EXPECT_EQ(31u, append(801));
    EXPECT_EQ(32u, append(802));
    EXPECT_EQ(std::vector<uint32_t>({801, 802}), std::vector<uint32_t>({ud_fir_clus(31), ud_fir_clus(32)}));
}

// Items expire from the front once the ring has wrapped (fill_count 0:
// never) and the writer has passed their file; a later generation stops the
// deletion however low its cluster, an earlier one while its file is ahead.
TEST_F(RecoverTest, UserDataExpiresOnceAnEarlierPassIsOverwritten) {
    make_volume(64, 600);
    kx_driver* pdp = m_v->pdp;
    for (uint8_t fill : {0, 3}) {
        const uint8_t gen[] = {2, 2, 3, 2};
        const uint32_t fir[] = {10, 20, 5, 30};
        for (uint32_t i = 1; i <= 4; i++) put_ud(i, gen[i - 1], fir[i - 1]);
        set_fields(pdp, {{&kx_driver::ud_first_item, 1},
                         {&kx_driver::ud_last_item, 5},
                         {&kx_driver::current_cluster, 500}});
        pdp->fill_count = fill;
        m_v->log.clear();
        append(600);
        EXPECT_EQ(fill ? 3u : 1u, desc().ud_first_item);
        EXPECT_EQ(fill ? 0u : 20u, ud_fir_clus(2));
        EXPECT_EQ(fill != 0, m_v->log.contains("del ud fir_clus=10\ndel ud fir_clus=20\n"));
    }
    put_ud(3, 2, 500);
    EXPECT_EQ(0, clean_ud_area(pdp));
    EXPECT_EQ(3u, pdp->ud_first_item);
    put_ud(3, 2, 499);
    EXPECT_EQ(0, clean_ud_area(pdp));
    EXPECT_EQ(5u, pdp->ud_first_item);
    EXPECT_EQ(0u, ud_fir_clus(4));
}

// An item written before the power went but not the descriptor: the mount
// finds the write position again. Then the front moves past empty items, an
// empty ring stays empty, a full one is left alone.
TEST_F(RecoverTest, UserDataRestoreFindsTheWritePositionAfterAnInterruptedAppend) {
    make_volume(64, 600);
    m_v->pdp->ud_last_item = 3;
    put_ud(1, 0, 10);
    put_ud(2, 0, 20);
    m_v->pdp->status = 0;
    ASSERT_EQ(0, save_pdp(m_v->pdp));
    put_ud(3, 0, 30);
    m_v->remount();
    EXPECT_TRUE(m_v->log.contains("restore_ud_area add 3-->1\n"));
    EXPECT_EQ(std::vector<uint32_t>({1, 4}),
              std::vector<uint32_t>({desc().ud_first_item, desc().ud_last_item}));
    put_ud(4, 0, 40);  // from here items 3 and 4 are in use, the rest empty
    put_ud(1, 0, 0);
    put_ud(2, 0, 0);
    const uint32_t rows[][4] = {
        {1, 5, 3, 5}, {5, 9, 9, 9}, {3, 3, 3, 3}, {1, 3, 3, 5}};  // first, last -> first, last
    for (const auto& r : rows) {
        set_fields(m_v->pdp, {{&kx_driver::ud_first_item, r[0]}, {&kx_driver::ud_last_item, r[1]}});
        EXPECT_EQ(0, restore_ud_area(m_v->pdp));
        EXPECT_EQ(std::vector<uint32_t>({r[2], r[3]}),
                  std::vector<uint32_t>({m_v->pdp->ud_first_item, m_v->pdp->ud_last_item}))
            << r[0] << "-" << r[1];
    }
}

// Mended: a ring that is absent or lies outside the data area is refused
// ("ud area error!!!!") without a sector read or written; indices outside
// the ring are repaired to an empty ring from 1; when every item is in use
// the scans stop after one turn.
TEST_F(RecoverTest, UserDataDamagedRingWordsAreRefusedOrRepaired) {
    make_volume(64, 600);
    kx_driver* pdp = m_v->pdp;
    const kx_driver good = *pdp;
    const std::vector<driver_field> damage[] = {{{&kx_driver::ud_item_num, 0}},
                                                {{&kx_driver::ud_item_num, 1}},
                                                {{&kx_driver::ud_item_num, 0xFFFFFFFF}},
                                                {{&kx_driver::ud_off, KX_TEMP_OFF}}};
    for (const auto& fields : damage) {
        *pdp = good;
        pdp->fill_count = 1;
        for (const auto& f : fields) pdp->*f.first = f.second;
        ide_reset_counters();
        m_v->log.clear();
        uint32_t out = 0;
        EXPECT_EQ(std::vector<int>({1, 1, 1}), std::vector<int>({ud_add_item(pdp, 9, k_rec, &out),
                                                                 clean_ud_area(pdp), restore_ud_area(pdp)}));
        EXPECT_TRUE(m_v->log.contains("ud area error!!!!\n"));
        EXPECT_EQ(0u, ide_get_counters(0).reads + ide_get_counters(0).writes);
    }
    *pdp = good;
    set_fields(
        pdp, {{&kx_driver::ud_item_num, 40}, {&kx_driver::ud_first_item, 0}, {&kx_driver::ud_last_item, 40}});
    EXPECT_EQ(0, restore_ud_area(pdp));
    EXPECT_EQ(std::vector<uint32_t>({1, 1}), std::vector<uint32_t>({pdp->ud_first_item, pdp->ud_last_item}));
    pdp->ud_last_item = 0xFFFFFFF0u;
    EXPECT_EQ(1u, append(70));
    for (uint32_t i = 1; i < 40; i++) put_ud(i, 0, 100 + i);
    set_fields(pdp, {{&kx_driver::ud_first_item, 5}, {&kx_driver::ud_last_item, 6}});
    EXPECT_EQ(0, restore_ud_area(pdp));
    EXPECT_EQ(std::vector<uint32_t>({5, 5}), std::vector<uint32_t>({pdp->ud_first_item, pdp->ud_last_item}));
}
