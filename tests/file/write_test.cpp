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

// A record the writer made of a stream: a stream becomes several when it is
// packed, when the volume fills up or after a failed write.
struct Segment {
    kx_driver* pdp;
    uint32_t first;
    uint64_t offset;  // of its first byte in the stream
    uint64_t bytes;
    packed_time start;
    packed_time last;  // time of its last write
    bool resumed;      // made by a resumed handle: a pack, a failed write, a restart
};

// One video recording of a channel (kind 0, image type 2) written through a
// write handle on the work driver; its bytes are pattern_bytes(seed).
struct Stream {
    uint8_t ch;
    uint64_t seed;
    KXFILE h = read_handle(nullptr);  // a free entry, set up for writing below
    uint64_t offset = 0;
    std::vector<Segment> segs;

    Stream(uint8_t channel, uint32_t id) : ch(channel), seed(1ull << 63 | id) {
        packed_time now;
        get_local_time(&now);
        file_write_setup(h, channel, 2, 0, 2, now, 0, nullptr);
    }
    void close() { EXPECT_EQ(0, kx_file_close(h)); }

    int write(uint32_t sectors) {
        std::vector<uint8_t> data((size_t)sectors * 512);
        pattern_bytes(seed, offset, data.data(), data.size());
        const int r = kx_file_write(h, data.data(), sectors);
        if (r) return r;
        packed_time now;
        get_local_time(&now);
        // No first cluster after a write: a pack finished the record that the
        // write went into.
        const bool packed = h->first_cluster == 0;
        if (packed && segs.empty()) {
            ADD_FAILURE() << "the first write was packed at once: its record is not known";
            return 0;
        }
        if (!packed && (segs.empty() || h->first_cluster != segs.back().first || h->pdp != segs.back().pdp))
            segs.push_back(
                Segment{h->pdp, h->first_cluster, offset, 0, now, now, !segs.empty() || h->reopened});
        segs.back().bytes += data.size();
        segs.back().last = now;
        offset += data.size();
        return 0;
    }

    // Whether segment `seg` is on the disk as the writer must leave it: a
    // chain of the stream's items, each naming the record's first cluster,
    // its predecessor and its number, with matching index bytes; the first
    // item with the record's start and length, the last one closed; and the
    // bytes read back unchanged.
    ::testing::AssertionResult on_disk(size_t seg) const {
        const Segment& g = segs.at(seg);
        const uint32_t spc = g.pdp->sector_per_clus, sectors = (uint32_t)(g.bytes / 512);
        const uint32_t n = (sectors + spc - 1) / spc, last = sectors - (n - 1) * spc;
        auto fail = [&](uint32_t k) {
            return ::testing::AssertionFailure() << "record at " << g.first << ", item " << k << ": ";
        };
        kx_dir_item it{}, first{};
        for (uint32_t k = 0, c = g.first, up = 0; k < n; k++, up = c, c = it.down_clus) {
            uint8_t index = 0;
            if ((k != 0 && !dir_item_has_down(&it)) || get_dir_item_info(g.pdp, c, &it) ||
                get_index_item_info(g.pdp, c, &index))
                return fail(k) << "missing";
            if (k == 0) first = it;
            // The first item's up link names the record's user-data item, if any.
            const uint32_t item_type = k ? ITEM_FOLLOW : g.resumed ? ITEM_RESUME : ITEM_FIRST;
            const uint32_t clus_type = k ? CLUS_TYPE_FOLLOW : g.resumed ? CLUS_TYPE_RESUME : CLUS_TYPE_START;
            // A video record of kind 0 and image type 2.
            const auto want =
                std::make_tuple(item_type, k ? k : n - 1, (uint32_t)ch, 0u, 2u, 2u, k ? up : it.up_cluster_no,
                                g.first, (ch & 63u) | clus_type << 6);
            const auto got =
                std::make_tuple((uint32_t)it.item_type, (uint32_t)it.item_num, dir_item_channel(&it),
                                dir_item_record_kind(&it), dir_item_media_type(&it), (uint32_t)it.img,
                                it.up_cluster_no, it.first_cluster_no, (uint32_t)index);
            if (got != want) return fail(k) << ::testing::PrintToString(got);
        }
        if (it.down_clus != 0 || it.end_length != last || first.end_length != last ||
            first.start_time != g.start)
            return fail(n - 1) << "not closed with " << last << " sectors from " << g.start;
        // Read back whole through the file layer's reader.
        std::vector<uint8_t> want((size_t)g.bytes), got(want.size());
        pattern_bytes(seed, g.offset, want.data(), want.size());
        uint32_t length = 0;
        KXFILE r = read_handle(g.pdp);
        const bool read = kx_file_goto_clus(r, 0, (int)g.pdp->part, g.first) == 0 &&
                          kx_file_get_sectors(r, &length) == 0 && length == sectors &&
                          kx_file_read(r, got.data(), sectors) == 0 && got == want;
        kx_file_close(r);
        if (!read) return fail(0) << "reads back otherwise";
        return ::testing::AssertionSuccess();
    }
};

// Opened at 00:10 with the default interval, a sector written every 30 s:
// packed at the first whole hour after half the interval, or with no write
// on a whole minute after 900 minutes; the stream goes on in a resumed
// record. A setting under a minute never packs.
TEST(WriterPack, PackedAtTheFirstWholeHourOrAtTheLatest) {
    for (const auto& [first_ms, packed_at] :
         {std::pair{30000u, day(1, 6, 0)}, {15000u, day(1, 15, 10, 15)}}) {
        LayoutVolume v(ring_part_sectors(SPC, 200), SPC, true, day(1, 0, 10));
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
    LayoutVolume v(ring_part_sectors(SPC, 40), SPC, true, day(9, 9, 0));
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
