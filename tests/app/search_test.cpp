// The record search over volumes laid out by the recorder's writer.
#include "app_support.h"
#include "meta/meta.h"

using namespace app_test;

// A recording is found when its time meets the window, bounds included, also
// when it spans the whole window. A recording from 23:50 to 00:10 is listed
// under both days; it is delivered once, with its real dates, whichever side
// of midnight the window touches. One that ends at exactly midnight is listed
// only under the day before, and still found from that midnight on.
TEST(RecordSearch, WindowsFindEveryRecordingTheyMeet) {
    AppDisk disk({ring_part_sectors(16, 400)});
    std::vector<layout_record> recs = {make_record(0, At(2009, 5, 30, 10, 0), At(2009, 5, 30, 12, 0), 3),
                                       make_record(0, At(2009, 5, 30, 18, 0), At(2009, 5, 30, 18, 0), 2),
                                       make_record(0, At(2009, 5, 30, 23, 50), At(2009, 5, 31, 0, 10), 4),
                                       make_record(0, At(2009, 5, 31, 8, 0), At(2009, 5, 31, 8, 20)),
                                       make_record(0, At(2009, 5, 31, 23, 30), At(2009, 6, 1, 0, 0))};
    disk.Record(0, recs);
    disk.Mount();
    const std::string toMidnight = "2009-05-31 23:30:00 - 2009-06-01 00:00:00";
    const std::string morning = "2009-05-30 10:00:00 - 2009-05-30 12:00:00", evening = "2009-05-30 18:00:00";
    const std::string crossing = "2009-05-30 23:50:00 - 2009-05-31 00:10:00";
    const struct {
        const char *start, *end;
        Strings spans;
    } cases[] = {
        {"2009-05-30 09:00:00", "2009-05-30 10:00:00", {morning}},
        {"2009-05-30 12:00:00", "2009-05-30 13:00:00", {morning}},
        // An end time of day equal to the start stays on the start's day.
        {"2009-05-30 18:00:00", "2009-05-30 18:00:00", {evening + " - " + evening}},
        {"2009-05-30 23:00:00", "2009-05-30 23:55:00", {crossing}},  // its start only
        {"2009-05-31 00:05:00", "2009-05-31 01:00:00", {crossing}},  // its end only
        {"2009-06-01 00:00:00", "2009-06-01 01:00:00", {toMidnight}},
        {"2009-05-31 23:40:00", "2009-05-31 23:45:00", {toMidnight}},  // on the last day, after its start
        {"2009-05-29 00:00:00",
         "2009-06-01 23:59:59",
         {morning, evening + " - " + evening, crossing, "2009-05-31 08:00:00 - 2009-05-31 08:20:00",
          toMidnight}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.spans, Spans(0, c.start, c.end)) << c.start << " - " << c.end;
    EXPECT_EQ(Strings{}, Spans(1, "2009-05-29 00:00:00", "2009-06-01 23:59:59")) << "another channel";
}

// A directory item whose end hour is 25 (a damaged disk) abandons the search
// with an error instead of inventing a time; the next search starts afresh.
TEST(RecordSearch, AnImpossibleTimeInARecordAbandonsTheSearch) {
    AppDisk disk({ring_part_sectors(16, 400)});
    std::vector<layout_record> recs = {make_record(0, At(2009, 5, 28, 8, 0), At(2009, 5, 28, 8, 30)),
                                       make_record(0, At(2009, 5, 30, 9, 0), At(2009, 5, 30, 9, 30))};
    disk.Record(0, recs);
    kx_driver* pdp = get_pdp(0, 0);
    kx_dir_item item;
    ASSERT_EQ(0, get_dir_item_info(pdp, recs[0].chain[0], &item));
    item.end_time = (item.end_time & ~(0x1Fu << 12)) | (25u << 12);  // "...-25.30.00"
    ASSERT_EQ(0, set_dir_item_info(pdp, recs[0].chain[0], &item, 1));
    disk.Mount();

    CResultList list;
    EXPECT_THROW(list.Search(1, 0, 0, T("2009-05-28 00:00:00"), T("2009-05-30 23:59:59")), CalendarError);
    EXPECT_TRUE(list.Items().empty());
    EXPECT_FALSE(list.CanNextPage(false));
    EXPECT_EQ(CResultList::Outcome::Found,
              list.Search(1, 0, 0, T("2009-05-30 00:00:00"), T("2009-05-30 23:59:59")));
    EXPECT_EQ(1u, list.Items().size());
}

// A damaged span from 2000 (its first time unset) costs a wide window no
// listing per calendar day: only the partition's listed days are walked.
TEST(RecordSearch, ADamagedSpanWalksOnlyTheListedDays) {
    AppDisk disk({ring_part_sectors(16, 400)});
    std::vector<layout_record> recs = {make_record(0, At(2009, 5, 30, 10, 0), At(2009, 5, 30, 10, 30))};
    disk.Record(0, recs);
    kx_driver* pdp = get_pdp(0, 0);
    pdp->start_time1 = 0;
    pdp->status = KX_STATUS_CLOSED;
    ASSERT_EQ(0, save_pdp(pdp));
    disk.Mount();
    int calls = 0;
    CallHook hook([&](int n) { calls = n; });
    EXPECT_EQ(Strings{"2009-05-30 10:00:00 - 2009-05-30 10:30:00"},
              Spans(0, "2000-01-01 00:00:00", "2009-12-31 23:59:59"));
    EXPECT_LT(calls, 20) << "adapter calls";
}
