// The record search over volumes laid out by the recorder's writer.
#include "app_support.h"
#include "core/search.h"
#include "meta/meta.h"

using namespace app_test;

// A recording from 23:50 to 00:10 is listed under both days; it is delivered
// once, with its real dates, whichever side of midnight the window touches.
TEST(RecordSearch, RecordingAcrossMidnightIsDeliveredOnceWithItsRealDates) {
    AppDisk disk({PartSectors(16, 400)});
    std::vector<layout_record> recs = {Rec(0, At(2009, 5, 30, 12, 0, 0), At(2009, 5, 30, 12, 30, 0)),
                                       Rec(0, At(2009, 5, 30, 23, 50, 0), At(2009, 5, 31, 0, 10, 0), 4),
                                       Rec(0, At(2009, 5, 31, 8, 0, 0), At(2009, 5, 31, 8, 20, 0))};
    disk.Record(0, recs);
    disk.Mount();

    for (const auto& window : {std::pair{"2009-05-30 23:00:00", "2009-05-30 23:55:00"},   // its start only
                               std::pair{"2009-05-31 00:05:00", "2009-05-31 01:00:00"},   // its end only
                               std::pair{"2009-05-30 23:50:00", "2009-05-31 00:10:00"}}) {  // both, inclusive
        const std::vector<SearchResult> found = SearchAll(0, window.first, window.second);
        ASSERT_EQ(1u, found.size()) << window.first;
        EXPECT_EQ("2009-05-30 23:50:00", Starts(found[0]));
        EXPECT_EQ("2009-05-31 00:10:00", Ends(found[0]));
    }
    // Over all three days: three recordings, the crossing one once, in order.
    const std::vector<SearchResult> all = SearchAll(0, "2009-05-29 00:00:00", "2009-06-01 23:59:59");
    ASSERT_EQ(3u, all.size());
    EXPECT_EQ("2009-05-30 12:00:00", Starts(all[0]));
    EXPECT_EQ("2009-05-30 23:50:00", Starts(all[1]));
    EXPECT_EQ("2009-05-31 08:00:00", Starts(all[2]));
    // A window wholly inside the recording meets neither its start nor its end.
    EXPECT_TRUE(SearchAll(0, "2009-05-30 23:55:00", "2009-05-31 00:05:00").empty());
}

TEST(RecordSearch, WindowBoundsAreInclusiveAndARecordingSpanningTheWindowIsNotFound) {
    AppDisk disk({PartSectors(16, 400)});
    std::vector<layout_record> recs = {Rec(2, At(2009, 5, 30, 10, 0, 0), At(2009, 5, 30, 12, 0, 0), 3),
                                       Rec(2, At(2009, 5, 30, 18, 0, 0), At(2009, 5, 30, 18, 0, 0), 2)};
    disk.Record(0, recs);
    disk.Mount();
    EXPECT_TRUE(SearchAll(2, "2009-05-30 10:30:00", "2009-05-30 11:30:00").empty());
    EXPECT_EQ(1u, SearchAll(2, "2009-05-30 09:00:00", "2009-05-30 10:00:00").size());
    EXPECT_EQ(1u, SearchAll(2, "2009-05-30 12:00:00", "2009-05-30 13:00:00").size());
    EXPECT_TRUE(SearchAll(1, "2009-05-30 00:00:00", "2009-05-30 23:59:59").empty()) << "another channel";
    // An end time equal to the start time stays on the start's day.
    const std::vector<SearchResult> same = SearchAll(2, "2009-05-30 18:00:00", "2009-05-30 18:00:00");
    ASSERT_EQ(1u, same.size());
    EXPECT_EQ("2009-05-30 18:00:00", Ends(same[0]));
}

// The search hands out batches of twelve and knows it is done only after a
// batch that is not full.
TEST(RecordSearch, BatchesOfTwelve) {
    AppDisk disk({PartSectors(16, 400)});
    std::vector<layout_record> recs;
    for (int i = 0; i < 13; i++) recs.push_back(Rec(0, At(2009, 5, 30, 6 + i, 0, 0), At(2009, 5, 30, 6 + i, 10, 0)));
    disk.Record(0, recs);
    disk.Mount();

    SearchContext twelve;
    EXPECT_EQ(12, twelve.Begin(12, 0, T("2009-05-30 00:00:00"), T("2009-05-30 17:30:00"), 0));
    EXPECT_EQ(0, twelve.Continue());
    EXPECT_EQ(0, twelve.Continue());

    SearchContext thirteen;
    EXPECT_EQ(12, thirteen.Begin(12, 0, T("2009-05-30 00:00:00"), T("2009-05-30 23:59:59"), 0));
    EXPECT_EQ("06.00.00", std::string(thirteen.Batch()[0].entry.name, 8));
    EXPECT_EQ(1, thirteen.Continue());
    EXPECT_EQ("18.00.00", std::string(thirteen.Batch()[0].entry.name, 8));
    EXPECT_EQ(0, thirteen.Continue());
}

TEST(RecordSearch, DaysWithoutTheChannelAreWalkedOver) {
    AppDisk disk({PartSectors(16, 400)});
    std::vector<layout_record> recs = {Rec(0, At(2009, 5, 1, 9, 0, 0), At(2009, 5, 1, 9, 10, 0)),
                                       Rec(1, At(2009, 5, 2, 9, 0, 0), At(2009, 5, 2, 9, 10, 0)),
                                       Rec(0, At(2009, 5, 4, 9, 0, 0), At(2009, 5, 4, 9, 10, 0))};
    disk.Record(0, recs);
    disk.Mount();
    const std::vector<SearchResult> found = SearchAll(0, "2009-04-20 00:00:00", "2009-05-20 00:00:00");
    ASSERT_EQ(2u, found.size());
    EXPECT_EQ("2009-05-01 09:00:00", Starts(found[0]));
    EXPECT_EQ("2009-05-04 09:00:00", Starts(found[1]));
}

TEST(RecordSearch, PartitionsInTableOrderAndAnEmptyFirstEntry) {
    AppDisk disk({0, PartSectors(16, 300), PartSectors(16, 300)});
    std::vector<layout_record> later = {Rec(0, At(2009, 5, 30, 8, 0, 0), At(2009, 5, 30, 8, 30, 0))};
    std::vector<layout_record> earlier = {Rec(0, At(2009, 5, 29, 8, 0, 0), At(2009, 5, 29, 8, 30, 0))};
    disk.Record(1, later);
    disk.Record(2, earlier);
    disk.Mount();
    const std::vector<SearchResult> found = SearchAll(0, "2009-05-29 00:00:00", "2009-05-30 23:59:59");
    ASSERT_EQ(2u, found.size());
    EXPECT_EQ(1, found[0].partition);  // partition order first, not time order
    EXPECT_EQ(2, found[1].partition);
    EXPECT_EQ("2009-05-29 08:00:00", Starts(found[1]));
}

TEST(RecordSearch, AWindowMeetingNoPartitionsSpanFindsNothingAndListsNoDay) {
    AppDisk disk({PartSectors(16, 300)});
    std::vector<layout_record> recs = {Rec(0, At(2009, 5, 30, 8, 0, 0), At(2009, 5, 30, 8, 30, 0))};
    disk.Record(0, recs);
    disk.Mount();
    CResultList list;
    ide_reset_counters();
    EXPECT_EQ(CResultList::Outcome::NoRecord, list.Search(1, 0, 0, T("2010-01-01 00:00:00"), T("2010-12-31 00:00:00")));
    // The summary is the partition's in-memory state: nothing is read.
    EXPECT_EQ(0u, ide_get_counters(0).reads);
    EXPECT_EQ(CResultList::Outcome::NoRecord, list.Search(1, 0, 0, T("2009-05-30 09:00:00"), T("2009-05-30 08:00:00")));
    EXPECT_EQ(CResultList::Outcome::NoDisk, list.Search(0, 0, 0, T("2009-05-30 00:00:00"), T("2009-05-30 23:00:00")));
}

// Days are stepped by the calendar: across both daylight-saving changes every
// day of the window is listed once, the last one included.
TEST(RecordSearch, DaylightSavingDaysAreEachVisitedOnce) {
    ZoneGuard zone("Europe/Berlin");
    AppDisk disk({PartSectors(16, 400)});
    std::vector<layout_record> recs;
    for (int d = 27; d <= 31; d++) recs.push_back(Rec(0, At(2009, 3, d, 0, 30, 0), At(2009, 3, d, 0, 40, 0)));
    for (int d = 23; d <= 27; d++) recs.push_back(Rec(0, At(2009, 10, d, 0, 30, 0), At(2009, 10, d, 0, 40, 0)));
    disk.Record(0, recs);
    disk.Mount();
    const std::vector<SearchResult> spring = SearchAll(0, "2009-03-27 00:00:00", "2009-03-31 23:59:59");
    ASSERT_EQ(5u, spring.size());
    for (int i = 0; i < 5; i++) EXPECT_EQ(27 + i, spring[i].startDay);
    const std::vector<SearchResult> autumn = SearchAll(0, "2009-10-23 00:00:00", "2009-10-27 23:59:59");
    ASSERT_EQ(5u, autumn.size());
    for (int i = 0; i < 5; i++) EXPECT_EQ(23 + i, autumn[i].startDay);
}

// A directory item whose start hour is 25 (a damaged disk) abandons the
// search with an error instead of inventing a time; the list stays empty.
TEST(RecordSearch, AnImpossibleTimeInARecordAbandonsTheSearch) {
    AppDisk disk({PartSectors(16, 400)});
    std::vector<layout_record> recs = {Rec(0, At(2009, 5, 29, 8, 0, 0), At(2009, 5, 29, 8, 30, 0)),
                                       Rec(0, At(2009, 5, 30, 9, 0, 0), At(2009, 5, 30, 9, 30, 0))};
    disk.Record(0, recs);
    kx_driver* pdp = get_pdp(0, 0);
    kx_dir_item item;
    ASSERT_EQ(0, get_dir_item_info(pdp, recs[0].chain[0], &item));
    item.end_time = (item.end_time & ~(0x1Fu << 12)) | (25u << 12);  // "...-25.30.00"
    ASSERT_EQ(0, set_dir_item_info(pdp, recs[0].chain[0], &item, 1));
    disk.Mount();

    CResultList list;
    EXPECT_THROW(list.Search(1, 0, 0, T("2009-05-29 00:00:00"), T("2009-05-30 23:59:59")), CalendarError);
    EXPECT_TRUE(list.Items().empty());
    EXPECT_FALSE(list.CanNextPage(false));
    // The next search starts afresh; a window on the next day works.
    EXPECT_EQ(CResultList::Outcome::Found,
              list.Search(1, 0, 0, T("2009-05-30 00:00:00"), T("2009-05-30 23:59:59")));
    EXPECT_EQ(1u, list.Items().size());
}

TEST(RecordSearch, FirstClusterOfARecordName) {
    uint32_t c = 0;
    EXPECT_TRUE(RecordFirstCluster("08.15.00-09.15.00[R][@12c][3].mvr", &c));
    EXPECT_EQ(0x12cu, c);
    EXPECT_FALSE(RecordFirstCluster("08.15.00-09.15.00[R][@][3].mvr", &c));
    EXPECT_FALSE(RecordFirstCluster("08.15.00-09.15.00[R][@12c", &c));
    EXPECT_FALSE(RecordFirstCluster("08.15.00-09.15.00[R][@123456789][3].mvr", &c));
    EXPECT_FALSE(RecordFirstCluster("2009-05-30", &c));
}
