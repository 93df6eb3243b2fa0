// Reading records through file handles: the 0xFF tail, cluster boundaries,
// seeks and refused handles; and chains, lengths and items damaged on the
// disk, which must end every read with data, 0xFF or an error code.
#include <gtest/gtest.h>

#include <algorithm>

#include "DiskIOCtl.h"
#include "kxtime.h"
#include "support/record_layout.h"

namespace {

constexpr uint32_t SPC = 16;
constexpr uint8_t CH = 2;
constexpr uint32_t LEN = 4 * SPC + 5;  // sectors of the record `rec`
const auto at = [](int h, int m) { return make_packed_time(2009, 7, 3, h, m, 0); };
const auto ff = [](uint32_t sectors) { return std::vector<uint8_t>((size_t)sectors * 512, 0xFF); };
const auto part = [](const std::vector<uint8_t>& v, uint32_t from, uint32_t to) {
    return std::vector<uint8_t>(v.begin() + from * 512, v.begin() + to * 512);
};

// Record `rec` of channel CH: five clusters with 5 sectors in the last,
// interleaved with a record of channel 9 and stepping over a bad cluster
// that keeps CH in its index byte, so that its chain has gaps. Then the
// channel's next record, `other`.
struct Recorded {
    LayoutVolume vol;
    kx_driver* pdp = vol.pdp();
    layout_record rec = make_record(CH, at(8, 0), at(8, 5), 5, 5);
    layout_record other = make_record(CH, at(8, 10), at(8, 12), 2);

    Recorded() {
        if (pdp == nullptr) return;
        // A bad cluster as a failed write leaves it: clus_type 3, the channel kept.
        const uint8_t bad = INDEX_PROTECTED | CH;
        EXPECT_EQ(0, set_index_item_info(pdp, pdp->rev_clus + 4, &bad, 1));
        RecordLayout layout(pdp);
        std::vector<layout_record> batch = {rec, make_record(9, at(8, 0), at(8, 5), 5)};
        layout.write(batch);
        rec = batch[0];
        layout.write(other);
        EXPECT_EQ(rec.chain[1] + 3, rec.chain[2]) << "the bad cluster lies between";
    }
    KXFILE open() {
        KXFILE h = read_handle(pdp);
        EXPECT_EQ(0, kx_file_goto_clus(h, 0, 0, rec.chain[0]));
        return h;
    }
    template <class F>
    void edit(int k, F change) {
        kx_dir_item it = item_of(pdp, rec.chain[k]);
        change(it);
        EXPECT_EQ(0, set_dir_item_info(pdp, rec.chain[k], &it, 1));
    }
    // The lengths of the first and last items, and the first's item count.
    void lengths(uint16_t first, uint16_t last, uint16_t item_num) {
        edit(0, [&](kx_dir_item& it) {
            it.end_length = first;
            it.item_num = item_num;
        });
        edit(4, [&](kx_dir_item& it) { it.end_length = last; });
    }
    void link(int k, uint32_t down) {
        edit(k, [&](kx_dir_item& it) { it.down_clus = down; });
    }
    void give_away(int k) {
        const uint8_t channel_9 = 9;
        EXPECT_EQ(0, set_index_item_info(pdp, rec.chain[k], &channel_9, 1));
    }
    uint32_t tell(KXFILE h) {
        uint32_t pos = 12345;
        EXPECT_EQ(0, kx_file_tell(h, &pos));
        return pos;
    }
    int r = -1;  // what the last read returned
    std::vector<uint8_t> read(KXFILE h, uint32_t sectors) {
        std::vector<uint8_t> out((size_t)sectors * 512, 0xAA);
        r = kx_file_read(h, out.data(), sectors);
        return out;
    }
};

TEST(Read, TailClusterEndsAndSeeks) {
    Recorded v;
    ASSERT_NE(nullptr, v.pdp);
    KXFILE h = v.open();
    uint32_t sectors = 0;
    ASSERT_EQ(0, kx_file_get_sectors(h, &sectors));
    ASSERT_EQ(LEN, sectors);
    // A read ending at a cluster's end stays in that cluster.
    EXPECT_EQ(layout_expected(v.rec, 0, SPC * 512), v.read(h, SPC));
    EXPECT_EQ(std::make_tuple(v.rec.chain[0], SPC), std::make_tuple(h->cur_clus, h->sec_in_clus));
    // The rest and more: 0xFF after the record's end, the position at its end.
    std::vector<uint8_t> want = layout_expected(v.rec, SPC * 512, (LEN - SPC) * 512);
    want.resize(want.size() + 4 * 512, 0xFF);
    EXPECT_EQ(want, v.read(h, LEN - SPC + 4));
    EXPECT_EQ(std::make_tuple(0, LEN), std::make_tuple(v.r, v.tell(h)));

    // A multiple of the cluster size lands at the end of the cluster before.
    for (uint32_t k = 1; k <= 4; k++) {
        ASSERT_EQ(0, kx_file_seek(h, k * SPC));
        EXPECT_EQ(std::make_tuple(v.rec.chain[k - 1], SPC), std::make_tuple(h->cur_clus, h->sec_in_clus));
        EXPECT_EQ(layout_expected(v.rec, k * SPC * 512, 1024), v.read(h, 2)) << k;
    }
    // The very end is a position; one past it is not, and the handle stays.
    ASSERT_EQ(0, kx_file_seek(h, 20));
    EXPECT_EQ(KX_E_BEYOND, kx_file_seek(h, LEN + 1));
    EXPECT_EQ(std::make_tuple(20u, v.rec.chain[1]), std::make_tuple(v.tell(h), h->cur_clus));
    EXPECT_EQ(0, kx_file_seek(h, LEN));

    // Clusters that follow each other on the disk are read with one request
    // (the second pass, once the items are in the sector cache); the gaps of
    // `rec` cost one request per cluster.
    for (const auto& [rc, n, reads] : {std::tuple{&v.other, 2 * SPC, 1u}, {&v.rec, LEN, 5u}}) {
        KXFILE f = read_handle(v.pdp);
        ASSERT_EQ(0, kx_file_goto_clus(f, 0, 0, rc->chain[0]));
        v.read(f, n);
        ASSERT_EQ(0, kx_file_seek(f, 0));
        ide_reset_counters();
        EXPECT_EQ(layout_expected(*rc, 0, (size_t)n * 512), v.read(f, n));
        EXPECT_EQ(reads, ide_get_counters(0).reads);
    }
}

TEST(Read, RefusedPositionsAndHandles) {
    Recorded v;
    ASSERT_NE(nullptr, v.pdp);
    KXFILE h = read_handle(v.pdp);
    v.vol.log.clear();
    EXPECT_EQ(KX_E_NOTFOUND, kx_file_goto_clus(h, 0, 0, v.rec.chain[1]));
    EXPECT_EQ("WARNING!!! kx_file_goto_clus() first_cluster:" + std::to_string(v.rec.chain[0]) +
                  ", clus:" + std::to_string(v.rec.chain[1]) + "\n",
              v.vol.log.text());
    // Outside the data area: refused before anything is read, unpositioned.
    for (uint32_t c : {0u, v.pdp->total_clus}) {
        EXPECT_EQ(KX_E_CLUS, kx_file_goto_clus(h, 0, 0, c));
        EXPECT_EQ(KX_E_NOTFOUND, kx_file_seek(h, 0));
    }
    // Pointers that are no entry of the table, and a handle from before the
    // last start-up.
    h = v.open();
    const uintptr_t base = (uintptr_t)file_table;
    v.vol.log.clear();
    for (uintptr_t p : {(uintptr_t)h + 1, base - sizeof(kx_file), base + KX_MAX_FILES * sizeof(kx_file)}) {
        EXPECT_EQ(KX_E_HANDLE, kx_file_seek((KXFILE)p, 0));
        EXPECT_EQ(KX_E_HANDLE, kx_file_close((KXFILE)p));
    }
    v.vol.remount();
    uint8_t buf[512];
    EXPECT_EQ(KX_E_HANDLE, kx_file_read(h, buf, 1));
    EXPECT_EQ(KX_E_HANDLE, kx_file_goto_clus(h, 0, 0, v.rec.chain[0]));
    EXPECT_EQ(0u, kx_file_find_next(h, CH, at(7, 0), 0, 255));
    EXPECT_EQ(9u, count_of(v.vol.log.text(), "INVALID HANDLE: .\\Src\\file,"));

    // A first item naming a first cluster beyond the volume: no record there,
    // and the channel's listing goes on with the next one.
    v.edit(0, [&](kx_dir_item& it) { it.first_cluster_no = v.pdp->total_clus + 100; });
    h = read_handle(v.pdp);
    EXPECT_EQ(KX_E_NOTFOUND, kx_file_goto_clus(h, 0, 0, v.rec.chain[0]));
    uint32_t sectors = 0;
    EXPECT_EQ(KX_E_CLUS, kx_file_get_sectors(h, &sectors));
    EXPECT_EQ(std::vector<uint32_t>{v.other.chain[0]}, list_channel(v.pdp, CH, at(7, 0)));
}

// The chain is followed along down links that prove to continue the record,
// else by the cluster index (passing clusters of other channels and bad
// clusters); a chain that leads nowhere or back on itself ends the read
// with 3 after the clusters it did reach. Lengths beyond what the record
// holds: no read leaves its last cluster, a position past its data reads
// 0xFF, no seek goes past the last cluster.
TEST(ReadDamage, ReadsEndWithTheRecordsClusters) {
    struct {
        const char* what;
        void (*damage)(Recorded&);
        uint32_t reached;  // clusters read
        uint32_t sectors;  // the record's length as the reader gives it
    } const cases[] = {
        {"intact", [](Recorded&) {}, 5, LEN},
        {"link beyond the volume", [](Recorded& v) { v.link(1, v.pdp->total_clus + 7); }, 5, LEN},
        {"link back to the start", [](Recorded& v) { v.link(1, v.rec.chain[0]); }, 5, LEN},
        {"link almost all ones", [](Recorded& v) { v.link(1, 0xFFFFFFF0u); }, 5, LEN},
        {"link and index lead nowhere",
         [](Recorded& v) {
             v.link(1, v.pdp->total_clus);
             v.give_away(2);
         },
         2, LEN},
        {"next item names another predecessor",
         [](Recorded& v) {
             v.edit(2, [&](kx_dir_item& it) { it.up_cluster_no = v.rec.chain[0]; });
             v.give_away(2);
         },
         2, LEN},
        {"link to an item forged past the last cluster",
         [](Recorded& v) {
             kx_dir_item it = item_of(v.pdp, v.rec.chain[2]);
             it.up_cluster_no = v.rec.chain[1];
             ASSERT_EQ(0, set_dir_item_info(v.pdp, v.pdp->total_clus, &it, 1));
             v.link(1, v.pdp->total_clus);
             v.give_away(2);
         },
         2, LEN},
        {"loop claiming 50 clusters",
         [](Recorded& v) {
             v.link(2, v.rec.chain[1]);
             v.edit(0, [](kx_dir_item& it) { it.item_num = 50; });
             v.give_away(3);
             v.give_away(4);
         },
         3, 50 * SPC + 5},
        {"lengths held to a full cluster", [](Recorded& v) { v.lengths(60000, 60000, 4); }, 5, 5 * SPC},
        {"first item claims more than the last holds", [](Recorded& v) { v.lengths(12, 5, 4); }, 5,
         4 * SPC + 12},
        {"65,535 clusters claimed", [](Recorded& v) { v.lengths(5, 5, 65535); }, 5, 65535 * SPC + 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Recorded v;
        ASSERT_NE(nullptr, v.pdp);
        c.damage(v);
        KXFILE h = v.open();
        uint32_t sectors = 0;
        ASSERT_EQ(0, kx_file_get_sectors(h, &sectors));
        const std::vector<uint8_t> got = v.read(h, 7 * SPC);
        const uint32_t good = std::min(LEN, c.reached * SPC);
        EXPECT_EQ(std::make_tuple(c.sectors, c.reached == 5 ? 0 : KX_E_READ, v.rec.chain[c.reached - 1]),
                  std::make_tuple(sectors, v.r, h->cur_clus));
        EXPECT_EQ(layout_expected(v.rec, 0, good * 512), part(got, 0, good));
        if (c.reached == 5) {
            EXPECT_EQ(ff(2 * SPC), part(got, 5 * SPC, 7 * SPC));
            ASSERT_EQ(0, kx_file_seek(h, std::min(sectors, 5 * SPC)));
            EXPECT_EQ(ff(3), v.read(h, 3));
        }
        ASSERT_EQ(0, kx_file_seek(h, 5));
        EXPECT_EQ(KX_E_BEYOND, kx_file_seek(h, c.reached * SPC + 1));
        EXPECT_EQ(5u, v.tell(h));
    }
}

}  // namespace
