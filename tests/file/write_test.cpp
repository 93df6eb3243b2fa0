// The writer: packing, and a volume that fills up, where single-driver mode
// stops at "DISK OVER" and otherwise the ring restarts. Whole histories of
// recordings written, wrapped and found again are the search oracle's.
#include <gtest/gtest.h>

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
