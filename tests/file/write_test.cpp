// The writer: cluster boundaries, bad clusters, the mirror, packing, user
// data and refused requests; and volumes that fill up, where single-driver
// mode stops at "DISK OVER" and otherwise the ring restarts. Whole histories
// of recordings written, wrapped and found again are the search oracle's.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <utility>

#include "DiskIOCtl.h"
#include "kxtime.h"
#include "platform/clock.h"
#include "support/record_layout.h"

namespace {

constexpr uint32_t SPC = 16;

packed_time day(int d, int h, int m, int s = 0) {
    return make_packed_time(2024, 3, d, h, m, s);
}

// Keeps a changed pack setting to one test.
struct PackSetting {
    uint32_t saved = g_pack_setting;
    explicit PackSetting(uint32_t v) { g_pack_setting = v; }
    ~PackSetting() { g_pack_setting = saved; }
};

// Item i of the user-data area as the disk holds it: the record's 11 bytes,
// the ring's pass and the record's first cluster.
using ud_entry = std::tuple<std::vector<uint8_t>, int, uint32_t>;
ud_entry ud_item(kx_driver* pdp, uint32_t i) {
    uint8_t sec[512];
    EXPECT_EQ(0, ide_read64(0, 1, (uint32_t)(pdp->start_sector + pdp->ud_off + i / 32), 0, sec));
    const uint8_t* p = sec + i % 32 * 16;
    return {{p, p + 11}, p[11], get_le32(p + 12)};
}

// A roomy volume in single-driver mode, the clock at 23:50 on March 1st.
class Writer : public ::testing::Test {
   protected:
    LayoutVolume v{{ring_part_sectors(SPC, 64)}, SPC, true, day(1, 23, 50)};
    kx_driver* pdp = v.pdp();
};

// A write that ends exactly at a cluster's end stays in it; one over three
// clusters takes two new ones. A handle sought back into its record writes
// on along the record's own links, but follows none out of the ring.
TEST_F(Writer, ClusterBoundariesAndLinks) {
    Stream s(3, 1);
    ASSERT_EQ(0, s.write(10));
    ASSERT_EQ(0, s.write(SPC - 10));
    const uint32_t c0 = pdp->rev_clus;
    EXPECT_EQ(
        std::make_tuple(c0, SPC, c0, DOWN_OPEN),
        std::make_tuple(s.h->cur_clus, s.h->sec_in_clus, pdp->current_cluster, item_of(pdp, c0).down_clus));
    ASSERT_EQ(0, s.write(1 + SPC - 1 + SPC + 4));
    EXPECT_EQ(std::make_tuple(c0 + 3, c0 + 3), std::make_tuple(s.h->cur_clus, pdp->current_cluster));
    for (uint32_t i = 1; i < 4; i++) EXPECT_EQ(c0 + i, item_of(pdp, c0 + i - 1).down_clus);

    std::vector<uint8_t> data(2 * 512);
    ASSERT_EQ(0, kx_file_seek(s.h, SPC - 1));
    ASSERT_EQ(0, kx_file_write(s.h, data.data(), 2));
    EXPECT_EQ(c0 + 1, s.h->cur_clus);
    ASSERT_EQ(0, set_dir_item_down_clus(pdp, c0, pdp->total_clus + 5, 1));
    ASSERT_EQ(0, kx_file_seek(s.h, SPC - 1));
    ASSERT_EQ(0, kx_file_write(s.h, data.data(), 2));
    EXPECT_EQ(std::make_tuple(c0 + 4, c0 + 4), std::make_tuple(s.h->cur_clus, item_of(pdp, c0).down_clus));
    s.close();
}

// A failed data write marks the cluster bad (its channel kept), returns 4 and
// finishes the record at what was written; the stream goes on in a resumed
// record past the bad cluster. A record whose very first write failed is
// finished without touching the reserved cluster 0.
TEST_F(Writer, FailedWriteMarksTheClusterBadAndRecordingGoesOn) {
    Stream s(5, 1);
    ASSERT_EQ(0, s.write(SPC));
    const uint32_t bad = pdp->rev_clus + 1;
    ide_inject_fault(0, clus_sector(pdp, bad) + 2, clus_sector(pdp, bad) + 2, IDE_FAULT_WRITE);
    EXPECT_EQ(KX_E_META, s.write(4));
    EXPECT_TRUE(v.log.contains("set bad clus : dev 0, clus " + std::to_string(bad) + "\n"));
    EXPECT_EQ(0xC0 | 5, index_of(pdp, bad));
    ASSERT_EQ(0, s.write(4));
    s.close();
    ASSERT_EQ(2u, s.segs.size());
    EXPECT_EQ(bad + 1, s.segs[1].first);
    EXPECT_TRUE(s.on_disk(0));
    EXPECT_TRUE(s.on_disk(1));

    const kx_dir_item reserved = item_of(pdp, 0);
    const uint32_t next = pdp->current_cluster + 1;
    ide_inject_fault(0, clus_sector(pdp, next), clus_sector(pdp, next), IDE_FAULT_WRITE);
    Stream t(6, 2);
    EXPECT_EQ(KX_E_META, t.write(1));
    EXPECT_EQ(0xC0 | 6, index_of(pdp, next));
    t.close();
    const kx_dir_item after = item_of(pdp, 0);
    EXPECT_EQ(0, memcmp(&reserved, &after, sizeof after));
}

// The mirror gets the same sectors; a failure of the first copy is reported
// even when the mirror's write succeeds.
TEST_F(Writer, MirrorGetsTheSameSectorsAndFailuresAreNotHidden) {
    KXFILE mirror = write_handle(9);
    Stream s(8, 1, 2, 0, 2, 0, mirror);
    ASSERT_EQ(0, s.write(SPC));
    const uint32_t mirror_first = mirror->first_cluster;
    EXPECT_EQ(std::make_tuple(s.segs[0].first + 1, 9),
              std::make_tuple(mirror_first, index_of(pdp, mirror_first) & 63));
    const uint64_t next = clus_sector(pdp, pdp->current_cluster + 1);  // the first copy's next cluster
    ide_inject_fault(0, next, next, IDE_FAULT_WRITE);
    EXPECT_EQ(KX_E_META, s.write(1));
    s.close();  // closes the mirror too
    EXPECT_EQ(FILE_FREE, mirror->state);
    EXPECT_TRUE(s.on_disk(0));
    std::vector<uint8_t> both((SPC + 1) * 512);
    pattern_bytes(s.seed, 0, both.data(), both.size());
    EXPECT_EQ(both, read_record(pdp, mirror_first));
}

// Opened at 00:10 with the default interval, a sector written every 30 s:
// packed at the first whole hour after half the interval, or with no write
// on a whole minute after 900 minutes; the stream goes on in a resumed
// record. A setting under a minute never packs.
TEST(WriterPack, PackedAtTheFirstWholeHourOrAtTheLatest) {
    for (const auto& [first_ms, packed_at] :
         {std::pair{30000u, day(1, 6, 0)}, {15000u, day(1, 15, 10, 15)}}) {
        LayoutVolume v({ring_part_sectors(SPC, 200)}, SPC, true, day(1, 0, 10));
        Stream s(2, 1);
        pc_clock_advance_ms(first_ms);
        for (int i = 0; i < 2000 && !s.h->reopened; i++, pc_clock_advance_ms(30000)) ASSERT_EQ(0, s.write(1));
        EXPECT_EQ(std::make_tuple(packed_at, packed_at),
                  std::make_tuple(s.segs[0].last, item_of(v.pdp(), s.segs[0].first).end_time));
        const int minutes = first_ms == 30000 ? 350 : 900;
        EXPECT_TRUE(
            v.log.contains("_file_write pack file internal for cur_minute = " + std::to_string(minutes)));
        ASSERT_EQ(0, s.write(1));
        s.close();
        ASSERT_EQ(2u, s.segs.size());
        EXPECT_TRUE(s.on_disk(0));
        EXPECT_TRUE(s.on_disk(1));
    }
    PackSetting never(5999);
    EXPECT_FALSE(pack_due(100000, day(1, 6, 0)));
}

// User data given before the first write is held and stored with the first
// cluster, the first item pointing at its item; later user data adds an
// item. With repack_ud a pack attaches it again to the record the pack
// starts, which in single-driver mode stays on the partition the stream was
// opened on, even when that is not the work driver of its type.
TEST(WriterUserData, HeldUntilTheFirstClusterAndAttachedAgainAfterAPack) {
    LayoutVolume v({ring_part_sectors(SPC, 64), ring_part_sectors(SPC, 64)}, SPC, true, day(1, 23, 50));
    kx_driver* pdp = v.pdp(1);
    ASSERT_NE(pdp, g_work_driver[0]);
    const uint8_t ud[USER_DATA_BYTES] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0x0A, 7, 0x55};
    const uint8_t ud2[USER_DATA_BYTES] = {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 3, 0};
    Stream s(6, 1);
    s.h->pdp = pdp;  // as the path adapter opens a record on a partition
    v.log.clear();
    EXPECT_EQ(0, _set_file_ud(s.h, ud));
    EXPECT_EQ(
        "_set_file_ud() the following user data not write to file first_cluster 0\n"
        "CardNO: 07 0a090807060504030201\n",
        v.log.text());
    EXPECT_EQ(std::make_tuple(1u, 1u), std::make_tuple(s.h->ud_pending, pdp->ud_last_item));
    ASSERT_EQ(0, s.write(4));
    const uint32_t first = s.segs[0].first;
    EXPECT_EQ(std::make_tuple(0u, 1u), std::make_tuple(s.h->ud_pending, item_of(pdp, first).up_cluster_no));
    EXPECT_EQ(ud_entry({ud, ud + 11}, 0, first), ud_item(pdp, 1));
    EXPECT_EQ(0, _set_file_ud(s.h, ud2));
    EXPECT_EQ(std::make_tuple(3u, 1u), std::make_tuple(pdp->ud_last_item, item_of(pdp, first).up_cluster_no));

    PackSetting every_minute(6000);
    s.h->repack_ud = 1;
    for (uint32_t ms : {60000, 1000}) {
        pc_clock_advance_ms(ms);
        ASSERT_EQ(0, s.write(1));
    }
    s.close();
    ASSERT_EQ(2u, s.segs.size());
    EXPECT_EQ(std::make_tuple(pdp, pdp->rev_clus + 1, 3u),
              std::make_tuple(s.segs[1].pdp, s.segs[1].first, item_of(pdp, s.segs[1].first).up_cluster_no));
    EXPECT_EQ(ud_entry({ud2, ud2 + 11}, 0, s.segs[1].first), ud_item(pdp, 3));
    EXPECT_TRUE(s.on_disk(0));
    EXPECT_TRUE(s.on_disk(1));
}

// Zero-sector writes, no buffer, stale and reading handles, no partition:
// each refused with its code and message, nothing taken or written.
TEST_F(Writer, RefusedRequestsChangeNothing) {
    uint8_t buf[512] = {};
    Stream s(1, 1);
    v.log.clear();
    EXPECT_EQ(0, kx_file_write(s.h, buf, 0));
    EXPECT_EQ(0, _file_write(s.h, buf, 0));
    EXPECT_EQ("kx_file_write sec_num == 0\n_file_write sec_num == 0\n", v.log.text());
    EXPECT_EQ(KX_E_ARG, kx_file_write(s.h, nullptr, 1));
    KXFILE stale = write_handle(1);
    stale->generation--;
    EXPECT_EQ(KX_E_HANDLE, kx_file_write(stale, buf, 1));
    EXPECT_EQ(KX_E_HANDLE, set_new_clus(stale));
    EXPECT_EQ(KX_E_HANDLE, _set_file_ud(stale, buf));
    EXPECT_TRUE(v.log.contains("INVALID HANDLE: .\\Src\\file,100\n") &&
                v.log.contains(".\\Src\\file,2096\n"));
    KXFILE reader = read_handle(pdp);
    v.log.clear();
    EXPECT_EQ(KX_E_HANDLE, kx_file_write(reader, buf, 1));
    EXPECT_EQ("Invalid file write handle " + std::to_string(reader - file_table) + ", flag 2!!!!!\n",
              v.log.text());
    EXPECT_EQ(KX_E_NODRIVER, kx_file_write(write_handle(1, 2, 0, 2, 3), buf, 1));  // no driver of type 3
    EXPECT_TRUE(v.log.contains("ASSERT: .\\Src\\file,"));
    EXPECT_EQ(0u, pdp->current_cluster);
}

// A record holds at most 65,536 clusters (its first item's 16-bit item
// number counts them): a longer stream goes on in a new record.
TEST(WriterFull, RecordOf65536ClustersContinuesInANewRecord) {
    // One sector per cluster: 102,400 sectors give a ring of 66,816 clusters.
    LayoutVolume v({102400}, 1, true, day(8, 10, 0));
    ASSERT_GT(v.pdp()->total_clus - v.pdp()->rev_clus, 65540u);
    Stream s(7, 1);
    for (int i = 0; i < 128; i++) ASSERT_EQ(0, s.write(512));
    ASSERT_EQ(0, s.write(4));
    s.close();
    ASSERT_EQ(2u, s.segs.size());
    EXPECT_EQ(s.segs[0].first + 65536, s.segs[1].first);
    EXPECT_TRUE(s.on_disk(0));
    EXPECT_TRUE(s.on_disk(1));
}

// Only the end of the ring means "full": an index sector that cannot be read
// fails the write and leaves the ring alone. At the end of the ring,
// single-driver mode stops with "DISK OVER" and the index's code; otherwise
// the ring restarts, and user data waiting for a record's first cluster then
// is stored with the first cluster of the restarted ring.
TEST(WriterFull, UnreadableIndexDiskOverAndARestartWithPendingUserData) {
    LayoutVolume v({ring_part_sectors(SPC, 40)}, SPC, true, day(9, 9, 0));
    kx_driver* pdp = v.pdp();
    Stream fill(4, 0);
    ASSERT_EQ(0, fill.write(SPC));
    const uint64_t index_sector = pdp->start_sector + pdp->index_off + pdp->current_cluster / 512;
    ASSERT_EQ(0, sync_disk(0));
    forget_cached_sectors(0, index_sector, 1);
    ide_inject_fault(0, index_sector, index_sector, IDE_FAULT_READ);
    EXPECT_EQ(KX_E_META, fill.write(1));
    EXPECT_TRUE(v.log.contains("Error 4 : set_new_clus(handle)\n") && !v.log.contains("DISK OVER"));
    EXPECT_EQ(std::make_tuple(0, pdp->rev_clus), std::make_tuple((int)pdp->fill_count, pdp->current_cluster));
    ide_clear_faults();
    int r = 0, writes = 1;
    for (; writes < 100 && (r = fill.write(SPC)) == 0; writes++) pc_clock_advance_ms(60000);
    EXPECT_EQ(std::make_tuple(KX_E_READ, 40, 0, pdp->total_clus - 1),
              std::make_tuple(r, writes, (int)pdp->fill_count, pdp->current_cluster));
    EXPECT_TRUE(v.log.contains("DISK OVER\nError 3 : set_new_clus(handle)\n"));
    fill.close();
    EXPECT_TRUE(fill.on_disk(0));

    kx_set_fs_adapt(0);
    const uint8_t ud[USER_DATA_BYTES] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 42, 0};
    Stream s(4, 1);
    ASSERT_EQ(0, _set_file_ud(s.h, ud));
    ASSERT_EQ(0, s.write(SPC));
    s.close();
    EXPECT_EQ(1u, count_of(v.log.text(), "only one driver or use g_fs_adapt\n"));
    EXPECT_EQ(std::make_tuple(1, pdp->rev_clus, 0u, 1u),
              std::make_tuple((int)pdp->fill_count, s.segs[0].first, s.h->ud_pending,
                              item_of(pdp, pdp->rev_clus).up_cluster_no));
    EXPECT_EQ(ud_entry({ud, ud + 11}, 1, pdp->rev_clus), ud_item(pdp, 1));
    EXPECT_TRUE(s.on_disk(0));
}

}  // namespace
