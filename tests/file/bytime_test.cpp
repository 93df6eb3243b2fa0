// Finding records by channel and time, and listing a channel's records of all
// time sections in ascending start time.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "kxtime.h"
#include "support/record_layout.h"

namespace {

packed_time at(int d, int h, int m, int s = 0) {
    return make_packed_time(2009, 6, d, h, m, s);
}

// Searches and listings read items and index bytes only.
layout_record index_only(uint8_t ch, packed_time start, packed_time end, uint32_t clusters) {
    return {.channel = ch, .start = start, .end = end, .clusters = clusters, .write_data = false};
}

class ByTime : public ::testing::Test {
   protected:
    LayoutVolume vol;
    kx_driver* pdp = vol.pdp();
    RecordLayout layout{pdp};

    void SetUp() override { ASSERT_NE(nullptr, pdp); }
    int code(uint8_t ch, packed_time t, int type, KXFILE h = nullptr) {
        return kx_file_open_by_time(h ? h : read_handle(pdp), ch, t, type, 0, 255, 255, 0);
    }
    // The handle after a search (positioned, or cur_clus 0 when none is found).
    KXFILE search(uint8_t ch, packed_time t, int type) {
        KXFILE h = read_handle(pdp);
        if (code(ch, t, type, h) != 0) h->cur_clus = 0;
        return h;
    }
};

TEST_F(ByTime, ForwardSearchFindsTheRecordRunningThen) {
    // Channels 1 and 2 record together (a cluster every 90 s, interleaved);
    // channel 1 again later, and across midnight.
    std::vector<layout_record> both = {index_only(1, at(1, 10, 0), at(1, 10, 30), 20),
                                       index_only(2, at(1, 10, 0), at(1, 10, 30), 20)};
    layout.write(both);
    std::vector<layout_record> ch1 = {index_only(1, at(1, 10, 40), at(1, 10, 50), 5),
                                      index_only(1, at(1, 23, 50), at(2, 0, 20), 30),
                                      index_only(1, at(2, 1, 0), at(2, 1, 10), 3)};
    for (layout_record& r : ch1) layout.write(r);

    for (packed_time t : {at(1, 9, 0), at(1, 10, 0), at(1, 10, 15), at(1, 10, 29, 59)}) {
        EXPECT_EQ(both[0].chain[0], search(1, t, 2)->first_cluster) << t;
        EXPECT_EQ(both[0].chain[0], search(1, t, 3)->cur_clus) << t;
        EXPECT_EQ(both[1].chain[0], search(2, t, 3)->cur_clus) << t;
    }
    // Type 2 lands on the cluster that holds the time.
    EXPECT_EQ(both[0].chain[10], search(1, at(1, 10, 15), 2)->cur_clus);
    // Ended at 10:30:00 sharp: no longer running then.
    EXPECT_EQ(ch1[0].chain[0], search(1, at(1, 10, 30), 3)->cur_clus);
    // From the next day's 00:00:00: the record started before midnight.
    EXPECT_EQ(ch1[1].chain[0], search(1, at(2, 0, 0), 2)->first_cluster);
    EXPECT_EQ((std::vector<uint32_t>{ch1[1].chain[0], ch1[2].chain[0]}), list_channel(pdp, 1, at(2, 0, 0)));
    EXPECT_EQ(KX_E_NOTFOUND, code(1, at(2, 1, 10), 2));
}

TEST_F(ByTime, BackwardSearchFindsTheLatestStartedByThen) {
    std::vector<layout_record> first = {index_only(3, at(1, 10, 0), at(1, 10, 10), 6),
                                        index_only(4, at(1, 10, 0), at(1, 10, 10), 6)};
    layout.write(first);
    layout_record second = index_only(3, at(1, 10, 20), at(1, 10, 30), 6);
    layout.write(second);

    for (int type : {7, 8, 12}) EXPECT_EQ(KX_E_NOTFOUND, code(3, at(1, 9, 59, 59), type)) << type;
    // The first record starts where its time section starts: a search for
    // that very second finds it.
    EXPECT_EQ(first[0].chain[0], search(3, at(1, 10, 0), 8)->cur_clus);
    EXPECT_EQ(first[0].chain[0], search(3, at(1, 10, 15), 8)->cur_clus);
    EXPECT_EQ(second.chain[0], search(3, at(1, 11, 0), 8)->cur_clus);
    // Type 7: the latest cluster started by then (one every 100 s).
    EXPECT_EQ(second.chain[3], search(3, at(1, 10, 25), 7)->cur_clus);
    // What the handle then tells of its record: times and length in KiB.
    packed_time start = 0, end = 0;
    uint32_t kib = 0;
    ASSERT_EQ(0, kx_file_get_info(search(3, at(1, 11, 0), 8), &start, &end, &kib));
    EXPECT_EQ(std::make_tuple(at(1, 10, 20), at(1, 10, 30), 6u * 16 / 2), std::make_tuple(start, end, kib));
}

TEST_F(ByTime, SectionBoundsBeyondTheVolumeGiveNothingOutsideIt) {
    std::vector<layout_record> recs = {index_only(2, at(1, 8, 0), at(1, 8, 5), 5),
                                       index_only(2, at(1, 8, 10), at(1, 8, 12), 2),
                                       index_only(2, at(1, 7, 0), at(1, 7, 3), 3)};
    for (layout_record& r : recs) layout.write(r);
    ASSERT_EQ(1u, pdp->collision_num) << "the clock went back for the last record";
    const std::vector<uint32_t> ids = {recs[0].chain[0], recs[1].chain[0], recs[2].chain[0]};
    time_section& first = g_section_buf[driver_slot(pdp)][0];
    for (uint32_t start : {pdp->rev_clus, pdp->total_clus + 10}) {
        first.start_clus = start;
        first.end_clus = pdp->total_clus + 500;
        EXPECT_EQ(ids[2], search(2, at(1, 7, 0), 3)->cur_clus) << start;
        // Starting inside the volume, the section still gives its records;
        // overlapping the sound section it may list one twice, but nothing
        // that is not a record of the channel.
        const std::vector<uint32_t> listed = list_channel(pdp, 2, at(1, 6, 0));
        std::set<uint32_t> distinct(listed.begin(), listed.end());
        EXPECT_EQ(start > pdp->total_clus ? std::set{ids[2]} : std::set(ids.begin(), ids.end()), distinct);
    }
    // A section that ends past the volume, over a record start of the
    // channel forged at total_clus (one past the last cluster): a backward
    // search passes it by and finds the channel's record in the sound section.
    kx_dir_item forged = item_of(pdp, ids[1]);
    forged.first_cluster_no = pdp->total_clus;
    forged.start_time = at(1, 8, 15);
    forged.end_time = at(1, 8, 16);
    ASSERT_EQ(0, set_dir_item_info(pdp, pdp->total_clus, &forged, 1));
    uint8_t start_byte = 0;
    make_index_item(&start_byte, 2, CLUS_TYPE_START);
    ASSERT_EQ(0, set_index_item_info(pdp, pdp->total_clus, &start_byte, 1));
    first.start_clus = pdp->total_clus - 2;
    EXPECT_EQ(ids[2], search(2, at(1, 8, 20), 8)->cur_clus);
    EXPECT_EQ(recs[2].chain.back(), search(2, at(1, 8, 20), 7)->cur_clus);
}

}  // namespace
