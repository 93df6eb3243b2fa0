// Listings: the days of a partition and the records of one channel on a day.

#include "adapt_fixture.h"

namespace {

// A day's channel listing holds, in start order, the record begun the day
// before and the one starting at 23:59:59, not the one at 00:00:00 the next
// day, nor another channel's, nor those without data after their header.
// Each record's own item gives its kind letter and extension.
TEST_F(DayTest, ChannelListingAroundMidnight) {
    auto name = [](const layout_record& r, const char* times_kind, const char* ext) {
        char tag[32];
        snprintf(tag, sizeof tag, "[@%x][%d].", r.chain.front(), r.seq);
        return times_kind + std::string(tag) + ext;
    };
    const std::vector<kx_find_record> may31 = listing("/mnt/idea0/2009-05-31/001/*");
    EXPECT_EQ((std::vector<std::string>{
                  name(night, "23.50.00-00.10.00[R]", "mvr"), name(video, "09.00.00-09.10.00[R]", "mvr"),
                  name(picture, "10.00.00-10.10.00[R]", "jpg"), name(late, "23.59.59-00.05.00[C]", "mvr")}),
              names("/mnt/idea0/2009-05-31/001/*"));
    EXPECT_EQ(1243727400, may31.at(0).start_time64);  // 2009-05-30 23:50:00 UTC
    EXPECT_EQ((std::vector<std::string>{name(late, "23.59.59-00.05.00[C]", "mvr"),
                                        name(next_day, "00.00.00-00.30.00[R]", "jpg")}),
              names("/mnt/idea0/2009-06-01/001/*"));
    EXPECT_EQ(std::vector<std::string>{name(night, "23.50.00-00.10.00[R]", "mvr")},
              names("/mnt/idea0/2009-05-30/001/*"));
    EXPECT_EQ((std::vector<std::string>{"2009-05-30", "2009-05-31", "2009-06-01"}), names("/mnt/idea0"));
    EXPECT_TRUE(names("/mnt/idea1").empty());
    EXPECT_TRUE(log().contains("No such driver!\n"));
}

// Start times no calendar holds, as damaged items may carry them (month 0 or
// 13-15, also in the last year; day 0), are left out of the day listing.
TEST_F(AdaptTest, DayListingSkipsDamagedDates) {
    ASSERT_TRUE(mount_ring(64, 100));
    const packed_time starts[] = {0xFFFFFFFFu, (5u << 26) | (13u << 22) | (1u << 17), (9u << 26) | (3u << 17),
                                  (9u << 26) | (4u << 22), at(2010, 1, 15, 9)};
    for (packed_time t : starts) {
        const uint32_t first = lay(rec(0, at(2010, 1, 10, 9), at(2010, 1, 10, 10))).chain[0];
        kx_dir_item it{};
        ASSERT_EQ(0, get_dir_item_info(pdp(), first, &it));
        it.start_time = t;
        ASSERT_EQ(0, set_dir_item_info(pdp(), first, &it, 1));
    }
    EXPECT_EQ(std::vector<std::string>{"2010-01-15"}, names("/mnt/idea0"));
}

}  // namespace
