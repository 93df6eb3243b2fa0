// Reading and searching over damaged directory and index items: every read
// and search ends with data, a shortened result or an error code.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "file/file.h"
#include "kxtime.h"
#include "support/record_layout.h"

namespace {

constexpr uint32_t SPC = 16;
constexpr uint8_t CH = 2;

packed_time at(int h, int m, int s = 0) { return make_packed_time(2009, 7, 3, h, m, s); }

class CorruptReadTest : public ::testing::Test {
protected:
    LayoutVolume vol;
    RecordLayout layout{vol.pdp};
    layout_record rec;    // five clusters of channel CH, interleaved with channel 9
    layout_record other;  // the next record of the channel

    void SetUp() override {
        ASSERT_NE(nullptr, vol.pdp);
        rec.channel = CH;
        rec.start = at(8, 0);
        rec.end = at(8, 5);
        rec.clusters = 5;
        rec.end_length = 5;
        layout_record noise;
        noise.channel = 9;
        noise.start = at(8, 0);
        noise.end = at(8, 5);
        noise.clusters = 5;
        std::vector<layout_record> batch = {rec, noise};
        layout.write(batch);
        rec = batch[0];
        other.channel = CH;
        other.start = at(8, 10);
        other.end = at(8, 12);
        other.clusters = 2;
        layout.write(other);
    }

    kx_dir_item item(uint32_t clus) {
        kx_dir_item it{};
        EXPECT_EQ(0, get_dir_item_info(vol.pdp, clus, &it));
        return it;
    }
    void put(uint32_t clus, const kx_dir_item& it) { ASSERT_EQ(0, set_dir_item_info(vol.pdp, clus, &it, 1)); }
    void set_down(uint32_t clus, uint32_t down) {
        kx_dir_item it = item(clus);
        it.down_clus = down;
        put(clus, it);
    }
    void set_index(uint32_t clus, uint8_t channel) {
        uint8_t b = channel & 0x3F;
        ASSERT_EQ(0, set_index_item_info(vol.pdp, clus, &b, 1));
    }

    KXFILE open(uint32_t first) {
        KXFILE h = layout_read_handle(vol.pdp);
        EXPECT_EQ(0, kx_file_goto_clus(h, 0, 0, first));
        return h;
    }
    // Reads the whole record (as its first item says); the code in *r.
    std::vector<uint8_t> read_whole(KXFILE h, int* r) {
        uint32_t sectors = 0;
        EXPECT_EQ(0, kx_file_get_sectors(h, &sectors));
        std::vector<uint8_t> out((size_t)sectors * 512);
        *r = kx_file_read(h, out.data(), sectors);
        return out;
    }
};

TEST_F(CorruptReadTest, DamagedDownLinkIsPassedByTheClusterIndex) {
    for (uint32_t bad_down : {vol.pdp->total_clus + 7, rec.chain[0], 0xFFFFFFF0u}) {
        set_down(rec.chain[1], bad_down);
        int r = -1;
        std::vector<uint8_t> got = read_whole(open(rec.chain[0]), &r);
        ASSERT_EQ(0, r) << bad_down;
        EXPECT_EQ(layout_expected(rec, 0, got.size()), got) << bad_down;
    }
}

TEST_F(CorruptReadTest, IndexSearchPassesABadClusterWhenTheLinkIsDamaged) {
    layout.mark_bad(vol.pdp->current_cluster + 2, CH);
    layout_record r3;
    r3.channel = CH;
    r3.start = at(9, 0);
    r3.end = at(9, 3);
    r3.clusters = 3;
    layout.write(r3);
    ASSERT_EQ(r3.chain[0] + 2, r3.chain[1]);  // the bad cluster lies between
    set_down(r3.chain[0], vol.pdp->total_clus + 3);
    int r = -1;
    std::vector<uint8_t> got = read_whole(open(r3.chain[0]), &r);
    ASSERT_EQ(0, r);
    EXPECT_EQ(layout_expected(r3, 0, got.size()), got);
}

TEST_F(CorruptReadTest, ChainThatLeadsNowhereEndsTheRead) {
    // Neither the link nor the index leads on from the second cluster.
    set_down(rec.chain[1], vol.pdp->total_clus + 1);
    set_index(rec.chain[2], 9);
    KXFILE h = open(rec.chain[0]);
    int r = -1;
    std::vector<uint8_t> got = read_whole(h, &r);
    EXPECT_EQ(KX_E_READ, r);
    EXPECT_EQ(layout_expected(rec, 0, 2 * SPC * 512), std::vector<uint8_t>(got.begin(), got.begin() + 2 * SPC * 512));
    EXPECT_EQ(rec.chain[1], h->cur_clus);

    ASSERT_EQ(0, kx_file_seek(h, 5));
    EXPECT_EQ(KX_E_BEYOND, kx_file_seek(h, 3 * SPC));
    EXPECT_EQ(rec.chain[0], h->cur_clus);
    EXPECT_EQ(5u, h->sec_in_clus);
}

TEST_F(CorruptReadTest, ChainPointingBackOnItselfEnds) {
    // Clusters 1 and 2 name each other; the first item claims 50 clusters.
    set_down(rec.chain[2], rec.chain[1]);
    kx_dir_item first = item(rec.chain[0]);
    first.item_num = 50;
    put(rec.chain[0], first);
    for (uint32_t c : {rec.chain[3], rec.chain[4]}) set_index(c, 9);
    KXFILE h = open(rec.chain[0]);
    int r = -1;
    read_whole(h, &r);
    EXPECT_EQ(KX_E_READ, r);
    EXPECT_EQ(rec.chain[2], h->cur_clus);
    EXPECT_EQ(KX_E_BEYOND, kx_file_seek(h, 40 * SPC));
}

TEST_F(CorruptReadTest, LengthsBeyondWhatTheRecordHoldsStayInsideItsClusters) {
    kx_dir_item first = item(rec.chain[0]);
    first.end_length = 60000;
    put(rec.chain[0], first);
    kx_dir_item last = item(rec.chain[4]);
    last.end_length = 60000;
    put(rec.chain[4], last);
    KXFILE h = open(rec.chain[0]);
    uint32_t sectors = 0;
    ASSERT_EQ(0, kx_file_get_sectors(h, &sectors));
    EXPECT_EQ(5 * SPC, sectors);  // the last cluster counts at most a full cluster
    int r = -1;
    std::vector<uint8_t> got = read_whole(h, &r);
    ASSERT_EQ(0, r);
    EXPECT_EQ(layout_expected(rec, 0, (4 * SPC + 5) * 512),
              std::vector<uint8_t>(got.begin(), got.begin() + (4 * SPC + 5) * 512));
    EXPECT_EQ(SPC, h->clus_end);

    // The first item says the last cluster holds more than its own item
    // does: a seek to the end lies past the data, and reading there gives
    // only 0xFF.
    first.end_length = 12;
    put(rec.chain[0], first);
    last.end_length = 5;
    put(rec.chain[4], last);
    h = open(rec.chain[0]);
    ASSERT_EQ(0, kx_file_seek(h, 4 * SPC + 12));
    std::vector<uint8_t> tail(3 * 512);
    ASSERT_EQ(0, kx_file_read(h, tail.data(), 3));
    EXPECT_EQ(std::vector<uint8_t>(3 * 512, 0xFF), tail);

    // A first item that claims far more clusters than the chain has: the
    // read ends at the last cluster with 0xFF, seeking past it fails.
    first.end_length = 5;
    first.item_num = 65535;
    put(rec.chain[0], first);
    h = open(rec.chain[0]);
    std::vector<uint8_t> part(7 * SPC * 512);
    ASSERT_EQ(0, kx_file_read(h, part.data(), 7 * SPC));
    EXPECT_EQ(0xFF, part.back());
    EXPECT_EQ(KX_E_BEYOND, kx_file_seek(h, 6 * SPC));
}

TEST_F(CorruptReadTest, FirstClusterBeyondTheVolumeIsNoRecord) {
    kx_dir_item first = item(rec.chain[0]);
    first.first_cluster_no = vol.pdp->total_clus + 100;
    put(rec.chain[0], first);
    KXFILE h = layout_read_handle(vol.pdp);
    EXPECT_EQ(KX_E_NOTFOUND, kx_file_goto_clus(h, 0, 0, rec.chain[0]));
    uint32_t sectors = 0;
    EXPECT_EQ(KX_E_CLUS, kx_file_get_sectors(h, &sectors));
    uint8_t buf[512];
    EXPECT_EQ(0, kx_file_read(h, buf, 1));  // its own cluster's data is still there
    // The channel's listing goes on with the next record.
    h = layout_read_handle(vol.pdp);
    ASSERT_EQ(0, kx_file_open_by_time(h, CH, at(7, 0), 2, 0, 255, 255, 0));
    EXPECT_EQ(other.chain[0], kx_file_find_next(h, CH, at(7, 0), 0, 255));
    EXPECT_EQ(0u, kx_file_find_next(h, CH, at(7, 0), 0, 255));
}

TEST_F(CorruptReadTest, SectionOutsideTheVolumeGivesNothingAndSpoilsNothing) {
    // The clock went back: a second section holds the record at 7:00.
    layout_record early;
    early.channel = CH;
    early.start = at(7, 0);
    early.end = at(7, 3);
    early.clusters = 3;
    layout.write(early);
    kx_driver* pdp = vol.pdp;
    ASSERT_EQ(1u, pdp->collision_num);
    // The first section's bounds now lie beyond the volume, in part or whole.
    time_section& first = g_section_buf[driver_slot(pdp)][0];
    for (uint32_t start : {pdp->rev_clus, pdp->total_clus + 10}) {
        first.start_clus = start;
        first.end_clus = pdp->total_clus + 500;
        KXFILE h = layout_read_handle(pdp);
        EXPECT_EQ(0, kx_file_open_by_time(h, CH, at(7, 0), 3, 0, 255, 255, 0)) << start;
        EXPECT_EQ(early.chain[0], h->cur_clus) << start;
        ASSERT_EQ(0, kx_file_open_by_time(h, CH, at(6, 0), 2, 0, 255, 255, 0));
        std::vector<uint32_t> listed;
        for (uint32_t c; (c = kx_file_find_next(h, CH, at(6, 0), 0, 255)) != 0 && listed.size() < 10;) listed.push_back(c);
        if (start > pdp->total_clus) {
            EXPECT_EQ(std::vector<uint32_t>{early.chain[0]}, listed);
        }
        // Overlapping a sound section, it may list a record twice; it never
        // gives anything that is not a record of the channel.
        for (uint32_t c : listed) EXPECT_TRUE(c == rec.chain[0] || c == other.chain[0] || c == early.chain[0]) << c;
    }
}

// One random damage to the item or index byte of a cluster.
void damage(kx_driver* pdp, std::mt19937& rng, uint32_t lo, uint32_t hi) {
    const uint32_t clus = std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
    auto any_cluster = [&]() -> uint32_t {
        switch (rng() % 4) {
        case 0: return 0;
        case 1: return 0xFFFFFFFFu;
        case 2: return pdp->total_clus + (uint32_t)(rng() % 1000);
        default: return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
        }
    };
    if (rng() % 5 == 0) {
        const uint8_t b = (uint8_t)rng();
        set_index_item_info(pdp, clus, &b, 0);
        return;
    }
    kx_dir_item it{};
    if (get_dir_item_info(pdp, clus, &it)) return;
    switch (rng() % 9) {
    case 0: it.down_clus = any_cluster(); break;
    case 1: it.up_cluster_no = any_cluster(); break;
    case 2: it.first_cluster_no = any_cluster(); break;
    case 3: it.item_num = (uint16_t)rng(); break;
    case 4: it.end_length = (uint16_t)rng(); break;
    case 5: it.start_time = (uint32_t)rng(); break;
    case 6: it.end_time = (uint32_t)rng(); break;
    case 7: it.item_type = (uint8_t)rng(); break;
    default: it.b1 = (uint8_t)rng(); it.b29 = (uint8_t)rng(); it.same_second_seq = (uint8_t)rng(); break;
    }
    set_dir_item_info(pdp, clus, &it, 0);
}

// Reads every record and runs every kind of search over a volume whose items
// were damaged at random. Nothing may crash (the sanitizers watch), and every
// listing must end.
TEST(CorruptReadRandom, DamagedItemsNeverCrashOrHang) {
    for (uint32_t seed = 1; seed <= 24; seed++) {
        SCOPED_TRACE(seed);
        LayoutVolume vol;
        ASSERT_NE(nullptr, vol.pdp);
        kx_driver* pdp = vol.pdp;
        RecordLayout layout(pdp);
        std::vector<layout_record> recs;
        packed_time t = at(6, 0);
        for (int i = 0; i < 12; i++) {
            std::vector<layout_record> batch(2);
            for (uint32_t k = 0; k < 2; k++) {
                batch[k].channel = (uint8_t)(1 + (i + k) % 3);
                batch[k].start = t;
                batch[k].end = time_add(t, 240);
                batch[k].clusters = 1 + (uint32_t)((i * 7 + k * 3) % 6);
                batch[k].end_length = (uint16_t)(1 + i % SPC);
                batch[k].write_data = false;
            }
            layout.write(batch);
            recs.insert(recs.end(), batch.begin(), batch.end());
            t = time_add(t, (i % 4 == 3) ? -3000 : 300);  // now and then the clock goes back
        }
        std::mt19937 rng(seed);
        for (int n = 0; n < 40; n++) damage(pdp, rng, pdp->rev_clus, pdp->current_cluster + 4);

        std::vector<uint8_t> buf(37 * 512);
        for (const layout_record& r : recs) {
            KXFILE h = layout_read_handle(pdp);
            if (kx_file_goto_clus(h, 0, 0, r.chain[0]) == 0) {
                uint32_t sectors = 0;
                kx_file_get_sectors(h, &sectors);
                // Read as far as the record's own length could reach, and a
                // little beyond; stop at the first failure.
                const uint32_t limit = std::min<uint32_t>(sectors, (r.clusters + 2) * SPC);
                for (uint32_t done = 0; done < limit; done += 37)
                    if (kx_file_read(h, buf.data(), 37)) break;
                for (int k = 0; k < 4; k++) {
                    if (kx_file_seek(h, (uint32_t)(rng() % ((uint64_t)sectors + 2))) == 0) kx_file_read(h, buf.data(), 37);
                }
                kx_file_tell(h, nullptr);
            }
            kx_file_close(h);
        }
        for (uint8_t ch = 0; ch <= 3; ch++) {
            for (int type : {2, 3, 7, 8, 12}) {
                for (packed_time when : {at(5, 0), at(6, 7), at(6, 31, 5), at(7, 30)}) {
                    KXFILE h = layout_read_handle(pdp);
                    const int r = kx_file_open_by_time(h, ch, when, type, (uint32_t)(rng() % 3), 0x1F, 255, 0);
                    if (r == 0 && type == 2) {
                        uint32_t calls = 0;
                        while (kx_file_find_next(h, ch, when, 0, 255) != 0) ASSERT_LT(++calls, pdp->total_clus);
                    }
                    kx_file_close(h);
                }
            }
        }
    }
}

}  // namespace
