// The result list: pages of twelve fetched on demand, ticks and their total,
// and the texts of the rows.
#include "app_support.h"

using namespace app_test;

namespace {

// `count` short recordings of channel 0, one every 20 minutes from 00:00 on
// 2009-05-30, each `clusters` clusters of 16 sectors.
void RecordMany(AppDisk& disk, int count, uint32_t clusters = 1) {
    std::vector<layout_record> recs;
    for (int i = 0; i < count; i++) {
        const int m = i * 20;
        recs.push_back(Rec(0, At(2009, 5, 30, m / 60, m % 60, 0), At(2009, 5, 30, m / 60, m % 60 + 5, 0), clusters));
    }
    disk.Record(0, recs);
    disk.Mount();
}

}  // namespace

TEST(ResultList, TwentyFiveRecordsMakePagesOfTwelveTwelveAndOne) {
    AppDisk disk({PartSectors(16, 400)});
    RecordMany(disk, 25);
    CResultList list;
    ASSERT_EQ(CResultList::Outcome::Found, list.Search(1, 0, 0, T("2009-05-30 00:00:00"), T("2009-05-30 23:59:59")));
    EXPECT_EQ(12u, list.Items().size()) << "only the first batch is fetched";
    EXPECT_FALSE(list.CanPrevPage(false));
    EXPECT_TRUE(list.CanNextPage(false));
    EXPECT_FALSE(list.CanNextPage(true)) << "not while downloading";

    ASSERT_TRUE(list.NextPage());
    EXPECT_EQ(24u, list.Items().size());
    EXPECT_EQ(12u, list.PageFirst());
    EXPECT_EQ("13", list.RowTexts(list.PageFirst())[0]);
    ASSERT_TRUE(list.NextPage());
    EXPECT_EQ(1u, list.PageRows());
    EXPECT_EQ("25", list.RowTexts(list.PageFirst())[0]);
    EXPECT_FALSE(list.CanNextPage(false));
    EXPECT_FALSE(list.NextPage());
    EXPECT_EQ(2, list.Page()) << "paging past the end keeps the page";
    ASSERT_TRUE(list.PrevPage());
    EXPECT_EQ(12u, list.PageRows());
}

TEST(ResultList, TwelveRecordsLeaveNextPageOnUntilTheEmptyBatchIsFetched) {
    AppDisk disk({PartSectors(16, 400)});
    RecordMany(disk, 12);
    CResultList list;
    ASSERT_EQ(CResultList::Outcome::Found, list.Search(1, 0, 0, T("2009-05-30 00:00:00"), T("2009-05-30 23:59:59")));
    EXPECT_TRUE(list.CanNextPage(false));
    EXPECT_FALSE(list.NextPage());
    EXPECT_EQ(0, list.Page());
    EXPECT_EQ(12u, list.PageRows());
    EXPECT_TRUE(list.SearchDone());
    EXPECT_FALSE(list.CanNextPage(false));
}

TEST(ResultList, TicksSurvivePagingAndSelectAllFollowsTheFirstRow) {
    AppDisk disk({PartSectors(16, 400)});
    RecordMany(disk, 14, 2);  // 2 clusters of 8 KiB each: 16 KiB a record
    CResultList list;
    ASSERT_EQ(CResultList::Outcome::Found, list.Search(1, 0, 0, T("2009-05-30 00:00:00"), T("2009-05-30 23:59:59")));
    const uint64_t size = list.Items()[0].record.entry.size;
    ASSERT_EQ(16384u, size);
    EXPECT_FALSE(list.CanDownload(false));

    EXPECT_TRUE(list.SetSelected(1, true));
    EXPECT_TRUE(list.SetSelected(3, true));
    EXPECT_FALSE(list.SetSelected(3, true)) << "a tick already set books nothing";
    EXPECT_EQ(2 * size, list.SelectedBytes());
    ASSERT_TRUE(list.NextPage());
    ASSERT_TRUE(list.PrevPage());
    EXPECT_TRUE(list.Items()[1].selected && list.Items()[3].selected);
    EXPECT_EQ(2 * size, list.SelectedBytes());

    list.SelectAll();  // first row unticked: the whole page is ticked
    EXPECT_EQ(12 * size, list.SelectedBytes());
    list.SelectAll();  // first row ticked: the whole page is unticked
    EXPECT_EQ(0u, list.SelectedBytes());

    list.SetSelected(0, true);
    list.SetSelected(13, true);  // on the page not shown
    const std::vector<SearchResult> chosen = list.SelectedRecords();
    ASSERT_EQ(2u, chosen.size());
    EXPECT_STREQ(list.Items()[13].record.entry.name, chosen[1].entry.name);
    EXPECT_TRUE(list.CanDownload(false));
    EXPECT_FALSE(list.CanDownload(true));
}

TEST(ResultList, RowTextsShowDatesTimesAndKilobytes) {
    AppDisk disk({PartSectors(16, 400)});
    layout_record half = Rec(0, At(2009, 5, 30, 23, 50, 0), At(2009, 5, 31, 0, 10, 0), 2);
    half.end_length = 1;  // the last cluster holds one sector: 16 + 1 sectors
    std::vector<layout_record> recs = {half};
    disk.Record(0, recs);
    disk.Mount();
    CResultList list;
    ASSERT_EQ(CResultList::Outcome::Found, list.Search(1, 0, 0, T("2009-05-30 00:00:00"), T("2009-05-31 23:59:59")));
    const std::array<std::string, 5> row = list.RowTexts(0);
    EXPECT_EQ("1", row[0]);
    EXPECT_EQ("Disk1", row[1]);
    EXPECT_EQ("2009-05-30 23:50:00", row[2]);
    EXPECT_EQ("2009-05-31 00:10:00", row[3]) << "the end runs into the next day";
    EXPECT_EQ(17u * 512, list.Items()[0].record.entry.size);
    EXPECT_EQ("8Kb", row[4]) << "8,704 bytes rounded down";
}
