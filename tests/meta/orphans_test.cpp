// The orphan scan against a model: random recorder histories laid out with
// the writer on a small ring that wraps several times. The model knows which
// record each cluster last held; the footage the scan must find is every
// surviving run of a record's clusters that the listings do not reach, with
// exactly the bytes the record put there. Hand-made damage (loops, links out
// of the ring, two items claiming one place) must end every walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <tuple>

#include "kxtime.h"
#include "support/record_layout.h"

namespace {

struct chain {
    uint32_t channel = 0, old_first = 0;
    std::vector<uint32_t> clusters;
    uint64_t sectors = 0;
    std::vector<uint8_t> bytes;
    bool operator==(const chain&) const = default;
};

int collect(void* ctx, const kx_orphan* o, const uint32_t* clusters) {
    chain c{o->channel,
            o->old_first_cluster,
            {clusters, clusters + o->clusters},
            o->sectors,
            std::vector<uint8_t>(o->sectors * 512)};
    EXPECT_EQ(0, kx_orphan_read(0, 0, clusters, o->clusters, o->last_sectors, 0, c.bytes.data(),
                                (uint32_t)o->sectors));
    EXPECT_EQ(o->first_cluster, clusters[0]);
    static_cast<std::vector<chain>*>(ctx)->push_back(std::move(c));
    return 0;
}

std::vector<chain> scan() {
    std::vector<chain> out;
    EXPECT_EQ(0, kx_orphan_scan(0, 0, collect, &out));
    return out;
}

// A random history: batches of concurrent records on a few channels, each
// batch shorter than the ring, time always moving on.
struct history {
    std::vector<layout_record> records;
    std::map<uint32_t, std::pair<size_t, uint32_t>> owner;  // cluster -> (record, position) last written
    std::set<std::pair<size_t, uint32_t>> cuts;             // (record, position) whose link was damaged

    void lay_out(kx_driver* pdp, uint32_t seed, uint32_t passes) {
        std::mt19937 rng(seed);
        const uint32_t ring = pdp->total_clus - pdp->rev_clus;
        RecordLayout layout(pdp);
        packed_time t = make_packed_time(2009, 6, 1, 8, 0, 0);
        for (uint64_t taken = 0; taken < (uint64_t)passes * ring;) {
            std::vector<layout_record> batch;
            const uint32_t n = 1 + rng() % 4;
            for (uint32_t i = 0; i < n; i++) {
                const uint32_t clusters = 1 + rng() % (ring / 8);
                const packed_time start = time_add(t, (int32_t)(rng() % 20));
                layout_record r =
                    make_record((uint8_t)i, start, time_add(start, (int32_t)(clusters * 3)), clusters,
                                (uint16_t)(rng() % 2 ? 0 : 1 + rng() % (pdp->sector_per_clus - 1)));
                batch.push_back(r);
                taken += clusters;
            }
            layout.write(batch);
            for (layout_record& r : batch) {
                for (uint32_t k = 0; k < r.chain.size(); k++) owner[r.chain[k]] = {records.size(), k};
                records.push_back(r);
                t = std::max(t, time_add(r.end, 5));
            }
        }
    }

    bool survives(size_t rec, uint32_t k) const {
        auto it = owner.find(records[rec].chain[k]);
        return it != owner.end() && it->second == std::make_pair(rec, k);
    }

    // Every maximal run of surviving positions, split where a link was
    // damaged; a listed record's run from its first cluster is not orphaned.
    std::vector<chain> predict(uint32_t spc, const std::set<uint32_t>& listed) const {
        std::vector<chain> out;
        for (size_t i = 0; i < records.size(); i++) {
            const layout_record& r = records[i];
            for (uint32_t k = 0; k < r.chain.size();) {
                if (!survives(i, k)) {
                    k++;
                    continue;
                }
                const uint32_t from = k;
                chain c{r.channel, r.chain[0], {}, 0, {}};
                do {
                    const uint32_t sectors = k + 1 == r.clusters && r.end_length ? r.end_length : spc;
                    const std::vector<uint8_t> b = layout_expected(r, (uint64_t)k * spc * 512, sectors * 512);
                    c.bytes.insert(c.bytes.end(), b.begin(), b.end());
                    c.sectors += sectors;
                    c.clusters.push_back(r.chain[k++]);
                } while (k < r.chain.size() && survives(i, k) && !cuts.count({i, k}));
                if (from != 0 || !listed.count(r.chain[0])) out.push_back(c);
            }
        }
        std::sort(out.begin(), out.end(),
                  [](const chain& a, const chain& b) { return a.clusters[0] < b.clusters[0]; });
        return out;
    }
};

std::set<uint32_t> listed_firsts(kx_driver* pdp) {
    std::set<uint32_t> out;
    for (uint8_t ch = 0; ch < 4; ch++) {
        const std::vector<uint32_t> firsts = list_channel(pdp, ch, make_packed_time(2009, 1, 1, 0, 0, 0));
        out.insert(firsts.begin(), firsts.end());
    }
    return out;
}

TEST(Orphans, FoundExactlyAsTheModelPredictsOverRandomHistories) {
    constexpr uint32_t kSpc = 16, kSeeds = 20;
    size_t cuts = 0;
    for (uint32_t seed = 1; seed <= kSeeds; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        LayoutVolume v(ring_part_sectors(kSpc, 240), kSpc);
        kx_driver* pdp = v.pdp();
        ASSERT_NE(nullptr, pdp);
        history h;
        h.lay_out(pdp, seed, 4);
        std::set<uint32_t> listed = listed_firsts(pdp);
        std::vector<chain> found = scan();
        ASSERT_EQ(h.predict(kSpc, listed), found);
        ASSERT_FALSE(found.empty());

        // A damaged up link in a listed record: its clusters from there on
        // become footage of their own; in an orphaned chain, it splits.
        for (size_t i = h.records.size(); i-- > 0;) {
            const layout_record& r = h.records[i];
            if (r.clusters >= 3 && h.survives(i, 0) && h.survives(i, 1) && h.survives(i, 2) &&
                listed.count(r.chain[0])) {
                set_dir_item_up_clus(pdp, r.chain[2], r.chain[0], 0);
                h.cuts.insert({i, 2});
                break;
            }
        }
        for (const chain& c : found) {
            if (c.clusters.size() < 3) continue;
            const auto [rec, k] = h.owner[c.clusters[1]];
            set_dir_item_up_clus(pdp, c.clusters[1], 0xFFFFFFF0u, 0);
            h.cuts.insert({rec, k});
            break;
        }
        ASSERT_FALSE(h.cuts.empty());
        cuts += h.cuts.size();
        EXPECT_EQ(h.predict(kSpc, listed), scan());
    }
    EXPECT_GT(cuts, kSeeds);  // some histories had both kinds of damage
}

// Items laid by hand on a ring of single-sector clusters: each damaged shape
// gives the chains listed, each cluster in one chain at most once.
TEST(Orphans, DamagedLinksEndEveryWalk) {
    LayoutVolume v(200008, 1);  // the last directory sector also holds items past the last cluster
    kx_driver* pdp = v.pdp();
    ASSERT_NE(nullptr, pdp);
    const uint32_t base = pdp->rev_clus + 10, lost = pdp->rev_clus + 1;
    pdp->current_cluster = pdp->total_clus - 1;  // one pass: everything listed is reachable
    auto put = [&](uint32_t c, uint32_t up, uint32_t down, uint16_t num, uint32_t first = 0,
                   uint8_t type = ITEM_FOLLOW) {
        kx_dir_item it{};
        make_dir_item(&it, 3, 2, 0, 2, type, up, first ? first : lost, num, 0);
        it.down_clus = down;
        ASSERT_EQ(0, set_dir_item_info(pdp, c, &it, 0));
    };
    const uint32_t b = base;
    // Links out of the ring: a chain of one each.
    put(b, 0, pdp->total_clus + 5, 7);
    put(b + 1, 0, 0, 7);
    put(b + 2, 0, pdp->rev_clus - 1, 7);
    // Two items claim the place after b + 3: the one it links to follows it,
    // the other stands alone.
    put(b + 3, 0, b + 5, 1);
    put(b + 4, b + 3, DOWN_OPEN, 2);
    put(b + 5, b + 3, 0, 2);
    // Down links that go round: the second link's item denies it.
    put(b + 6, b + 7, b + 7, 4);
    put(b + 7, b + 6, b + 6, 5);
    // A link to an item with the wrong number.
    put(b + 8, 0, b + 9, 1);
    put(b + 9, b + 8, 0, 5);
    // A link to an item forged past the last cluster: a chain of one.
    put(b + 10, 0, pdp->total_clus, 1);
    put(pdp->total_clus, b + 10, 0, 2);
    // A loop that every proof accepts: 65,536 clusters whose item numbers
    // wrap back to the start.
    const uint32_t loop = b + 100, len = 65536;
    ASSERT_LT(loop + len, pdp->total_clus);
    for (uint32_t i = 0; i < len; i++)
        put(loop + i, loop + (i + len - 1) % len, loop + (i + 1) % len, (uint16_t)i, lost + 1);
    // A listed record whose last cluster links into the loop: the loop stays
    // footage, unreached by the listing.
    put(b + 50, 0, loop + 5, 0, b + 50, ITEM_FIRST);
    uint8_t start = 0;
    make_index_item(&start, 3, CLUS_TYPE_START);
    ASSERT_EQ(0, set_index_item_info(pdp, b + 50, &start, 0));

    std::vector<std::vector<uint32_t>> got;
    for (const chain& c : scan()) got.push_back(c.clusters);
    std::vector<uint32_t> whole_loop(len);
    std::iota(whole_loop.begin(), whole_loop.end(), loop);
    EXPECT_TRUE(got == (std::vector<std::vector<uint32_t>>{{b},
                                                           {b + 1},
                                                           {b + 2},
                                                           {b + 3, b + 5},
                                                           {b + 4},
                                                           {b + 6, b + 7},
                                                           {b + 8},
                                                           {b + 9},
                                                           {b + 10},
                                                           whole_loop}));

    // A read of a chain stays inside it: a request running past its last
    // sector is refused whole.
    uint8_t buf[4 * 512];
    const uint32_t one[] = {b};
    EXPECT_EQ(std::make_tuple(2, 0), std::make_tuple(kx_orphan_read(0, 0, one, 1, 1, 0, buf, 2),
                                                     kx_orphan_read(0, 0, one, 1, 1, 0, buf, 1)));
}

}  // namespace
