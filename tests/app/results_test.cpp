// The result list: pages of twelve fetched on demand, ticks and their total,
// and the texts of the rows.
#include "DiskIOCtl.h"
#include "app_support.h"
#include "core/download.h"

using namespace app_test;

namespace {

// `count` recordings of channel 1 on 2009-05-30, every twenty minutes from
// midnight, five minutes long, of `clusters` clusters and one sector.
std::vector<layout_record> Recorded(AppDisk& disk, int count, uint32_t clusters) {
    std::vector<layout_record> recs;
    for (int m = 0; m < count * 20; m += 20)
        recs.push_back(make_record(0, At(2009, 5, 30, m / 60, m % 60), At(2009, 5, 30, m / 60, m % 60 + 5),
                                   clusters, 1));
    disk.Record(0, recs);
    return recs;
}

const int64_t kFrom = T("2009-05-30 00:00:00"), kTo = T("2009-05-30 23:59:59");

}  // namespace

// Twelve records fill the first batch, so Next stays on until paging fetches
// the empty batch, which keeps the page; a thirteenth makes a page of one.
// Ticks belong to the records, also those of a page not shown, and Select
// All follows the first row of the page.
TEST(ResultList, PagesOfTwelveAndTicks) {
    for (int count : {12, 13}) {
        AppDisk disk({ring_part_sectors(16, 400)});
        Recorded(disk, count, 4);  // three full clusters and one sector: 25,088 bytes, 24 KiB
        disk.Mount();
        CResultList list;
        ASSERT_EQ(CResultList::Outcome::Found, list.Search(1, 0, 0, kFrom, kTo));
        EXPECT_EQ(
            (std::array<std::string, 5>{"1", "Disk1", "2009-05-30 00:00:00", "2009-05-30 00:05:00", "24Kb"}),
            list.RowTexts(0));
        EXPECT_TRUE(list.CanNextPage(false));
        EXPECT_FALSE(list.CanNextPage(true)) << "not while downloading";
        EXPECT_FALSE(list.CanDownload(false));
        EXPECT_TRUE(list.SetSelected(1, true));
        EXPECT_FALSE(list.SetSelected(1, true)) << "a tick already set books nothing";
        EXPECT_EQ(count == 13, list.NextPage());
        EXPECT_EQ(count == 13 ? 1u : 12u, list.PageRows());
        EXPECT_FALSE(list.CanNextPage(false));
        EXPECT_FALSE(list.NextPage());
        if (count == 12) continue;

        EXPECT_EQ("13", list.RowTexts(list.PageFirst())[0]);
        list.SetSelected(12, true);
        ASSERT_TRUE(list.PrevPage());
        EXPECT_FALSE(list.CanPrevPage(false));
        ASSERT_EQ(2u, list.SelectedRecords().size());
        EXPECT_STREQ(list.Items()[12].record.entry.name, list.SelectedRecords()[1].entry.name);
        EXPECT_TRUE(list.CanDownload(false));
        EXPECT_FALSE(list.CanDownload(true));
        list.SelectAll();  // the first row is unticked: the whole page is ticked
        EXPECT_EQ(13 * 25088u, list.SelectedBytes());
        list.SelectAll();  // now it is ticked: the whole page is unticked
        EXPECT_EQ(25088u, list.SelectedBytes());
    }
}

// Orphaned footage follows the recordings, once the last batch is fetched,
// marked in its row and copied by the download job like a recording.
TEST(ResultList, OrphansFollowTheRecordings) {
    AppDisk disk({ring_part_sectors(16, 400)});
    const std::vector<layout_record> recs = Recorded(disk, 13, 2);
    const kx_dir_item cleared{};
    ASSERT_EQ(0, set_dir_item_info(get_pdp(0, 0), recs[0].chain[0], &cleared, 1));
    disk.Mount();
    CResultList list;
    ASSERT_EQ(CResultList::Outcome::Found, list.Search(1, 0, 0, kFrom, kTo, true));
    ASSERT_EQ(12u, list.Items().size());
    ASSERT_TRUE(list.NextPage());
    ASSERT_EQ(1u, list.PageRows());
    EXPECT_EQ((std::array<std::string, 5>{"13", "Disk1 (orphaned)", "2009-05-30 00:02:30",
                                          "2009-05-30 00:05:00", "0Kb"}),
              list.RowTexts(12));
    list.SetSelected(12, true);
    CDownloadJob job;
    ASSERT_EQ(CDownloadJob::StartResult::Started, job.Start(list.SelectedRecords(), disk.dir.file("out")));
    job.Wait();
    ASSERT_EQ(1, job.CopiedCount());
    EXPECT_EQ(layout_expected(recs[0], 16 * 512, 512), ReadFile(job.Outcomes()[0].path));
    // A sector of the chain that cannot be read: the footage is not copied.
    const uint64_t sector = clus_sector(get_pdp(0, 0), recs[0].chain[1]);
    ide_inject_fault(0, sector, sector, IDE_FAULT_READ);
    CDownloadJob broken;
    ASSERT_EQ(CDownloadJob::StartResult::Started,
              broken.Start(list.SelectedRecords(), disk.dir.file("out2")));
    broken.Wait();
    ide_clear_faults();
    EXPECT_EQ(0, broken.CopiedCount());
}
