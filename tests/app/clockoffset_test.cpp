// The recorder clock's offset: how it is given, and a window in true time
// found through it across midnight while the copies keep the recorder's days.
#include "core/clockoffset.h"

#include "app_support.h"
#include "core/download.h"

using namespace app_test;

TEST(ClockOffset, SecondsOrTwoReadings) {
    const std::pair<const char*, int64_t> good[] = {{"1200", 1200},
                                                    {"-90", -90},
                                                    {"+0", 0},
                                                    {"2009-05-30 23:50:00=2009-05-31 00:10:30", 1230},
                                                    {"2009-05-31 00:10:00=2009-05-30 23:50:00", -1200}};
    for (const auto& [text, want] : good) {
        int64_t offset = 0;
        EXPECT_TRUE(ParseClockOffset(text, &offset)) << text;
        EXPECT_EQ(want, offset) << text;
    }
    // 9999999999 s is beyond 100 years; a refused text leaves the offset alone.
    for (const char* bad : {"", "12a", "-", "9999999999", "2009-02-30 00:00:00=2009-03-01 00:00:00",
                            "2009-05-30 23:50:00", "2009-05-30 23:50:00="}) {
        int64_t offset = 77;
        EXPECT_FALSE(ParseClockOffset(bad, &offset)) << bad;
        EXPECT_EQ(77, offset) << bad;
    }
    EXPECT_EQ("-90061 s (-1 d 01:01:01)", DescribeClockOffset(-90061));
    EXPECT_EQ("+1200 s (+00:20:00)", DescribeClockOffset(1200));
}

// A recorder 20 minutes slow recorded 23:40-23:50 what truly happened from
// midnight on; one 10 minutes fast put 00:05-00:15 on the next day. Each is
// found by its true window on the other side of midnight, shows its true
// times, and is copied under the recorder's date and name.
TEST(ClockOffset, AWindowInTrueTimeCrossesMidnight) {
    AppDisk disk({ring_part_sectors(16, 300)});
    std::vector<layout_record> recs = {make_record(0, At(2009, 5, 30, 23, 40), At(2009, 5, 30, 23, 50)),
                                       make_record(0, At(2009, 5, 31, 0, 5), At(2009, 5, 31, 0, 15))};
    disk.Record(0, recs);
    disk.Mount();
    const struct {
        int64_t offset;
        const char *start, *end;
        std::string shown, folder;
    } cases[] = {
        {1200, "2009-05-31 00:00:00", "2009-05-31 00:03:00", "2009-05-31 00:00:00 - 2009-05-31 00:10:00",
         "/Disk00_Part00/2009-05-30/001/"},
        {-600, "2009-05-30 23:50:00", "2009-05-30 23:56:00", "2009-05-30 23:55:00 - 2009-05-31 00:05:00",
         "/Disk00_Part00/2009-05-31/001/"},
        {0, "2009-05-31 00:00:00", "2009-05-31 00:03:00", "", ""},  // without the offset: nothing then
    };
    for (const auto& c : cases) {
        CResultList list;
        list.SetClockOffset(c.offset);
        const CResultList::Outcome found = list.Search(1, 0, 0, T(c.start), T(c.end));
        if (c.shown.empty()) {
            EXPECT_EQ(CResultList::Outcome::NoRecord, found);
            continue;
        }
        list.FetchAll();
        ASSERT_EQ(1u, list.Items().size()) << c.offset;
        const std::array<std::string, 5> row = list.RowTexts(0);
        EXPECT_EQ(c.shown, row[2] + " - " + row[3]);
        EXPECT_EQ("/out" + c.folder, CDownloadJob::DestinationFolder("/out", list.Items()[0].record));
    }
}
