// Listings: the days of a partition and the records of one channel on a day.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <set>

#include "adapt_support.h"
#include "meta/meta.h"

using namespace adapt_test;

namespace {

std::string day_name(packed_time t) {
    char s[16];
    snprintf(s, sizeof s, "%04d-%02d-%02d", (int)pt_year(t) + 2000, (int)pt_month(t), (int)pt_day(t));
    return s;
}

layout_record rec(uint8_t channel, packed_time start, packed_time end, uint32_t clusters = 1,
                  uint16_t end_length = 0) {
    layout_record r;
    r.channel = channel;
    r.start = start;
    r.end = end;
    r.clusters = clusters;
    r.end_length = end_length;
    return r;
}

// A ring that has wrapped holds the newer days below the recording head and
// the older ones above it; the day listing shows both, in date order, each
// once, and exactly the days whose channel listings hold records.
TEST(DayListing, WrappedRingListsOlderDaysTooInOrder) {
    constexpr uint32_t spc = 8;
    Volume vol(part_sectors(spc, 400), spc);
    kx_driver* pdp = vol.pdp();
    RecordLayout layout(pdp);
    const uint32_t ring = pdp->total_clus - pdp->rev_clus;
    ASSERT_GT(ring, 300u);  // section 2 survives 256 clusters ahead of the head
    const int records = (int)ring + 60;
    for (int i = 0; i < records; i++) {
        const packed_time start = time_add(at(2009, 6, 1 + i / 50, 1, 0, 0), (i % 50) * 600);
        layout_record r = rec((uint8_t)(i % 3), start, time_add(start, 300));
        layout.write(r);
    }
    ASSERT_NE(0u, pdp->start_cluster2) << "the ring did not wrap";
    std::set<std::string> with_records;
    for (int d = 1; d <= 1 + records / 50; d++)
        for (int ch = 0; ch < 3; ch++)
            if (!list_channel(at(2009, 6, d, 0, 0, 0), ch).empty())
                with_records.insert(day_name(at(2009, 6, d, 0, 0, 0)));
    EXPECT_EQ(0u, with_records.count("2009-06-01")) << "the oldest day was overwritten";
    EXPECT_EQ(1u, with_records.count("2009-06-02")) << "an older day above the head";

    const std::vector<std::string> days = list_days();
    EXPECT_EQ(std::vector<std::string>(with_records.begin(), with_records.end()), days);
}

TEST(DayListing, EmptyPartitionAndDamagedDates) {
    Volume vol(part_sectors(64, 100), 64);
    kx_find_record f{};
    EXPECT_EQ(-1, kx_findfirst("/mnt/idea0", &f));
    EXPECT_EQ(-1, kx_findfirst("/mnt/idea1", &f));
    EXPECT_TRUE(vol.log.contains("No such driver!\n"));

    RecordLayout layout(vol.pdp());
    std::vector<layout_record> recs;
    for (int i = 0; i < 6; i++) {
        recs.push_back(rec(0, at(2010, 1, 10 + i, 9, 0, 0), at(2010, 1, 10 + i, 9, 5, 0)));
        layout.write(recs.back());
    }
    // Start times no calendar holds, as a damaged item may carry them: month
    // 13-15 (beyond the bitmap's last year too), month 0, day 0.
    const packed_time damaged[] = {0xFFFFFFFFu, (63u << 26) | (15u << 22) | (31u << 17),
                                   (5u << 26) | (13u << 22) | (1u << 17),
                                   (9u << 26) | (0u << 22) | (3u << 17), (9u << 26) | (4u << 22)};
    for (int i = 0; i < 5; i++) {
        kx_dir_item it{};
        ASSERT_EQ(0, get_dir_item_info(vol.pdp(), recs[i].chain.front(), &it));
        it.start_time = damaged[i];
        ASSERT_EQ(0, set_dir_item_info(vol.pdp(), recs[i].chain.front(), &it, 1));
    }
    EXPECT_EQ(std::vector<std::string>{"2010-01-15"}, list_days());
}

// A day's channel listing: records in start order, including one that began
// the day before and runs past midnight and one that starts at 23:59:59, but
// not one that starts at 00:00:00 the next day, not another channel's, and
// never a record without data after its header.
TEST(ChannelListing, DayBoundariesAndRecordsWithoutData) {
    setenv("TZ", "UTC", 1);
    tzset();
    constexpr uint32_t spc = 64;
    Volume vol(part_sectors(spc, 100), spc);
    RecordLayout layout(vol.pdp());
    layout_record a = rec(0, at(2009, 5, 30, 23, 50, 0), at(2009, 5, 31, 0, 10, 0), 2, 5);
    layout_record b = rec(0, at(2009, 5, 31, 12, 0, 0), at(2009, 5, 31, 12, 30, 0), 3, 0);
    b.head_sectors = 6;
    layout_record other = rec(1, at(2009, 5, 31, 12, 10, 0), at(2009, 5, 31, 12, 20, 0));
    layout_record empty = rec(0, at(2009, 5, 31, 13, 0, 0), at(2009, 5, 31, 13, 1, 0), 1, 4);
    empty.head_sectors = 4;
    layout_record all_head = rec(0, at(2009, 5, 31, 14, 0, 0), at(2009, 5, 31, 14, 1, 0), 1, 8);
    all_head.kxii_bytes = 8 * 512;
    layout_record c = rec(0, at(2009, 5, 31, 23, 59, 59), at(2009, 6, 1, 0, 5, 0), 1, 9);
    c.record_kind = 3;
    layout_record d = rec(0, at(2009, 6, 1, 0, 0, 0), at(2009, 6, 1, 0, 30, 0), 1, 0);
    d.media_type = 0;
    for (layout_record* r : {&a, &b, &other, &empty, &all_head, &c, &d}) layout.write(*r);

    auto names = [](const std::vector<kx_find_record>& v) {
        std::vector<std::string> out;
        for (const kx_find_record& f : v) out.push_back(f.name);
        return out;
    };
    auto name = [](const layout_record& r, const char* times, const char* kind, const char* ext) {
        return std::string(times) + "[" + kind + "]" + cluster_tag(r.chain.front()) + "[" +
               std::to_string(r.seq) + "]." + ext;
    };
    const std::vector<kx_find_record> may31 = list_channel(at(2009, 5, 31, 0, 0, 0), 0);
    EXPECT_EQ((std::vector<std::string>{name(a, "23.50.00-00.10.00", "R", "mvr"),
                                        name(b, "12.00.00-12.30.00", "R", "mvr"),
                                        name(c, "23.59.59-00.05.00", "C", "mvr")}),
              names(may31));
    ASSERT_EQ(3u, may31.size());
    EXPECT_EQ((uint64_t)(spc + 5) * 512, may31[0].size);
    EXPECT_EQ((uint64_t)(3 * spc - 6) * 512, may31[1].size);
    EXPECT_EQ(9u * 512, may31[2].size);
    EXPECT_EQ(1243771200, may31[1].start_time64);  // 2009-05-31 12:00:00 UTC
    EXPECT_EQ(1243727400, may31[0].start_time64);  // 2009-05-30 23:50:00 UTC

    EXPECT_EQ((std::vector<std::string>{name(c, "23.59.59-00.05.00", "C", "mvr"),
                                        name(d, "00.00.00-00.30.00", "R", "jpg")}),
              names(list_channel(at(2009, 6, 1, 0, 0, 0), 0)));
    EXPECT_EQ(std::vector<std::string>{name(a, "23.50.00-00.10.00", "R", "mvr")},
              names(list_channel(at(2009, 5, 30, 0, 0, 0), 0)));
    EXPECT_EQ(1u, list_channel(at(2009, 5, 31, 0, 0, 0), 1).size());
    EXPECT_TRUE(list_channel(at(2009, 5, 29, 0, 0, 0), 0).empty());
    EXPECT_TRUE(list_channel(at(2009, 6, 2, 0, 0, 0), 0).empty());
    EXPECT_EQ((std::vector<std::string>{"2009-05-30", "2009-05-31", "2009-06-01"}), list_days());

    // A listing step on a handle that is not a listing, or closed, gives -1.
    kx_find_record f{};
    const intptr_t h = kx_findfirst("/mnt/idea0/2009-05-31/001/*", &f);
    ASSERT_NE(-1, h);
    EXPECT_EQ(0, kx_findclose(h));
    EXPECT_EQ(-1, kx_findnext(h, &f));
    EXPECT_EQ(-1, kx_findclose(h));
    KXFILE summary = kx_fopen("/mnt/idea0/DVRWorkDirectory", "rb");
    ASSERT_NE(nullptr, summary);
    EXPECT_EQ(-1, kx_findnext((intptr_t)summary, &f));
    EXPECT_EQ(0, kx_fclose(summary));
}

}  // namespace
