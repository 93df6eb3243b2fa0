// Finding records by channel and time, and walking a channel's records of all
// time sections in ascending start time.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "file/file.h"
#include "kxtime.h"
#include "support/record_layout.h"

namespace {

packed_time at(int d, int h, int m, int s = 0) { return make_packed_time(2009, 6, d, h, m, s); }

layout_record rec_of(uint8_t ch, packed_time start, packed_time end, uint32_t clusters, uint8_t kind = 0) {
    layout_record r;
    r.channel = ch;
    r.start = start;
    r.end = end;
    r.clusters = clusters;
    r.record_kind = kind;
    r.write_data = false;
    return r;
}

class ByTimeTest : public ::testing::Test {
protected:
    LayoutVolume vol;
    RecordLayout layout{vol.pdp};

    void SetUp() override { ASSERT_NE(nullptr, vol.pdp); }

    // Opens a search; the handle's cluster, or 0 with the code in *r.
    KXFILE search(uint8_t ch, packed_time t, int type, uint32_t seq = 0, uint32_t kinds = 255, int* result = nullptr) {
        KXFILE h = layout_read_handle(vol.pdp);
        const int r = kx_file_open_by_time(h, ch, t, type, seq, kinds, 255, 0);
        if (result != nullptr) *result = r;
        if (r != 0) h->cur_clus = 0;
        return h;
    }

    std::vector<uint32_t> listing(uint8_t ch, packed_time t) {
        std::vector<uint32_t> out;
        KXFILE h = search(ch, t, 2);
        if (h->cur_clus == 0) return out;
        for (int guard = 0; guard < 10000; guard++) {
            const uint32_t c = kx_file_find_next(h, ch, t, 0, 255);
            if (c == 0) break;
            out.push_back(c);
        }
        return out;
    }
};

bool holds(const layout_record& r, uint32_t clus) { return std::count(r.chain.begin(), r.chain.end(), clus) == 1; }

TEST_F(ByTimeTest, ForwardSearchFindsTheRecordRunningAtTheTime) {
    // Channels 1 and 2 record at the same time, their clusters interleaved.
    std::vector<layout_record> both = {rec_of(1, at(1, 10, 0), at(1, 10, 30), 20),
                                       rec_of(2, at(1, 10, 0), at(1, 10, 30), 20)};
    layout.write(both);
    layout_record later = rec_of(1, at(1, 10, 40), at(1, 10, 50), 5);
    layout.write(later);
    const layout_record& a = both[0];

    for (packed_time t : {at(1, 9, 0), at(1, 10, 0), at(1, 10, 15), at(1, 10, 29, 59)}) {
        KXFILE h = search(1, t, 2);
        EXPECT_TRUE(holds(a, h->cur_clus)) << t;
        EXPECT_EQ(a.chain[0], h->first_cluster);
        h = search(1, t, 3);
        EXPECT_EQ(a.chain[0], h->cur_clus) << t;
        h = search(2, t, 3);
        EXPECT_EQ(both[1].chain[0], h->cur_clus) << t;
    }
    // Ended at 10:30:00 sharp: no longer running then.
    for (packed_time t : {at(1, 10, 30), at(1, 10, 35), at(1, 10, 40)}) {
        EXPECT_EQ(later.chain[0], search(1, t, 3)->cur_clus) << t;
        EXPECT_EQ(later.chain[0], search(1, t, 2)->first_cluster) << t;
    }
    int r = 0;
    search(1, at(1, 10, 50), 2, 0, 255, &r);
    EXPECT_EQ(KX_E_NOTFOUND, r);
    search(3, at(1, 9, 0), 2, 0, 255, &r);
    EXPECT_EQ(KX_E_NOTFOUND, r);
}

TEST_F(ByTimeTest, RecordAcrossMidnightIsFoundFromTheNextDay) {
    layout_record before = rec_of(4, at(1, 22, 0), at(1, 22, 30), 10);
    layout_record across = rec_of(4, at(1, 23, 50), at(2, 0, 20), 30);
    layout_record next = rec_of(4, at(2, 1, 0), at(2, 1, 10), 3);
    layout.write(before);
    layout.write(across);
    layout.write(next);

    KXFILE h = search(4, at(2, 0, 0), 2);
    EXPECT_EQ(across.chain[0], h->first_cluster);
    EXPECT_EQ((std::vector<uint32_t>{across.chain[0], next.chain[0]}), listing(4, at(2, 0, 0)));
    EXPECT_EQ((std::vector<uint32_t>{before.chain[0], across.chain[0], next.chain[0]}), listing(4, at(1, 0, 0)));
}

TEST_F(ByTimeTest, BackwardSearchFindsTheLatestRecordStartedByThen) {
    std::vector<layout_record> first = {rec_of(3, at(1, 10, 0), at(1, 10, 10), 6),
                                        rec_of(4, at(1, 10, 0), at(1, 10, 10), 6)};
    layout.write(first);
    layout_record second = rec_of(3, at(1, 10, 20), at(1, 10, 30), 6);
    layout.write(second);

    for (int type : {7, 8, 12}) {
        int r = 0;
        search(3, at(1, 9, 59, 59), type, 0, 255, &r);
        EXPECT_EQ(KX_E_NOTFOUND, r) << type;
    }
    // The first record starts where its section starts: a search for that
    // very second still finds it.
    EXPECT_EQ(first[0].chain[0], search(3, at(1, 10, 0), 8)->cur_clus);
    EXPECT_EQ(first[0].chain[0], search(3, at(1, 10, 15), 8)->cur_clus);
    EXPECT_EQ(second.chain[0], search(3, at(1, 10, 25), 8)->cur_clus);
    EXPECT_EQ(second.chain[0], search(3, at(1, 11, 0), 8)->cur_clus);
    KXFILE h = search(3, at(1, 10, 25), 7);
    EXPECT_EQ(second.chain[0], h->first_cluster);
    EXPECT_TRUE(holds(second, h->cur_clus));
}

TEST_F(ByTimeTest, RecordsOfOneSecondAreTellApartByTheirNumber) {
    std::vector<layout_record> same = {rec_of(6, at(1, 12, 0), at(1, 12, 3), 3),
                                       rec_of(6, at(1, 12, 0), at(1, 12, 5), 3),
                                       rec_of(6, at(1, 12, 0), at(1, 12, 4), 3)};
    layout.write(same);
    for (uint8_t q = 0; q < 3; q++) {
        ASSERT_EQ(q, same[q].seq);
        EXPECT_EQ(same[q].chain[0], search(6, at(1, 12, 0), 3, q)->cur_clus) << (int)q;
        EXPECT_EQ(same[q].chain[0], search(6, at(1, 12, 0), 8, q)->cur_clus) << (int)q;
    }
    EXPECT_EQ((std::vector<uint32_t>{same[0].chain[0], same[1].chain[0], same[2].chain[0]}),
              listing(6, at(1, 11, 0)));
}

TEST_F(ByTimeTest, ExcludedKindsAreSkippedByTheSearchTypesThatRetry) {
    layout_record k0 = rec_of(7, at(1, 13, 0), at(1, 13, 5), 2, 1);
    layout_record k1 = rec_of(7, at(1, 13, 10), at(1, 13, 15), 2, 2);
    layout_record k2 = rec_of(7, at(1, 13, 20), at(1, 13, 25), 2, 1);
    layout.write(k0);
    layout.write(k1);
    layout.write(k2);
    const uint32_t only_kind2 = 1u << 2;
    EXPECT_EQ(k1.chain[0], search(7, at(1, 13, 0), 3, 0, only_kind2)->cur_clus);
    EXPECT_EQ(k1.chain[0], search(7, at(1, 13, 30), 8, 0, only_kind2)->cur_clus);
    // Type 2 does not retry: the handle is on the excluded record.
    int r = -1;
    KXFILE h = search(7, at(1, 13, 0), 2, 0, only_kind2, &r);
    EXPECT_EQ(0, r);
    EXPECT_EQ(k0.chain[0], h->first_cluster);
    // Nothing of an accepted kind: the retries end.
    for (int type : {3, 8}) {
        search(7, type == 3 ? at(1, 13, 0) : at(1, 14, 0), type, 0, 1u << 4, &r);
        EXPECT_EQ(KX_E_NOTFOUND, r) << type;
    }
}

// A ring that has wrapped: the previous pass left as section 2, the current
// pass as section 1 split by a clock set back. Channels 1 and 2 record
// together, channel 1 also alone.
class WrappedRingTest : public ByTimeTest {
protected:
    std::vector<layout_record> all;  // in the order laid out

    void SetUp() override {
        ByTimeTest::SetUp();
        uint32_t taken = 0;
        const uint32_t ring = vol.pdp->total_clus - vol.pdp->rev_clus;
        packed_time t = at(1, 0, 0);
        for (int i = 0; taken < ring + 360; i++) {
            if (taken >= ring + 250 && vol.pdp->collision_num == 0) t = time_add(t, -5 * 3600 + 37);  // clock back
            std::vector<layout_record> batch = {rec_of(1, t, time_add(t, 480), 8), rec_of(2, t, time_add(t, 480), 8)};
            batch[0].write_data = batch[1].write_data = true;
            layout.write(batch);
            layout_record alone = rec_of(1, time_add(t, 510), time_add(t, 570), 2);
            alone.write_data = true;
            layout.write(alone);
            all.insert(all.end(), batch.begin(), batch.end());
            all.push_back(alone);
            taken += 18;
            t = time_add(t, 600);
        }
        ASSERT_NE(0u, vol.pdp->start_cluster2);
        ASSERT_EQ(1u, vol.pdp->collision_num);
    }

    // Records of the channel whose first cluster no later record took,
    // running at t or starting after it, in order of (start, number).
    std::vector<uint32_t> expected(uint8_t ch, packed_time t) {
        std::map<uint32_t, size_t> owner;
        for (size_t i = 0; i < all.size(); i++)
            for (uint32_t c : all[i].chain) owner[c] = i;
        std::vector<const layout_record*> kept;
        for (size_t i = 0; i < all.size(); i++)
            if (all[i].channel == ch && owner[all[i].chain[0]] == i && all[i].end > t) kept.push_back(&all[i]);
        std::stable_sort(kept.begin(), kept.end(), [](const layout_record* a, const layout_record* b) {
            return a->start != b->start ? a->start < b->start : a->seq < b->seq;
        });
        std::vector<uint32_t> out;
        for (const layout_record* r : kept) out.push_back(r->chain[0]);
        return out;
    }
};

TEST_F(WrappedRingTest, ListingMergesAllSectionsInStartOrder) {
    for (uint8_t ch : {1, 2}) {
        const std::vector<uint32_t> want = expected(ch, at(1, 0, 0));
        ASSERT_GT(want.size(), 40u);
        EXPECT_EQ(want, listing(ch, at(1, 0, 0))) << (int)ch;
    }
    // From a time inside the span: the record running then comes first, from
    // whichever section holds it.
    for (packed_time t : {at(1, 5, 3), at(1, 7, 30), at(1, 10, 4, 30)}) EXPECT_EQ(expected(1, t), listing(1, t)) << t;
}

TEST_F(WrappedRingTest, RecordAcrossTheEndOfTheRingReadsWhole) {
    const layout_record* across = nullptr;
    for (const layout_record& r : all)
        if (r.chain.back() < r.chain.front()) across = &r;
    ASSERT_NE(nullptr, across) << "no record crossed the end of the ring";
    KXFILE h = layout_read_handle(vol.pdp);
    ASSERT_EQ(0, kx_file_goto_clus(h, 0, 0, across->chain[0]));
    const uint32_t sectors = layout.sectors(*across);
    std::vector<uint8_t> got((size_t)sectors * 512);
    ASSERT_EQ(0, kx_file_read(h, got.data(), sectors));
    EXPECT_EQ(layout_expected(*across, 0, got.size()), got);
    // And it is found once, by its start, in section 2.
    EXPECT_EQ(across->chain[0], search(across->channel, across->start, 3, across->seq)->cur_clus);
}

}  // namespace
