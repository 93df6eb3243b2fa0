// The download job: the folder tree, whole copies only, failures counted and
// reported, and a cooperative stop between chunks.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "app_support.h"
#include "core/download.h"
#include "core/folders.h"
#include "core/language.h"
#include "core/partfile.h"
#include "support/temp_dir.h"

using namespace app_test;

namespace {

constexpr uint64_t kMiB = 1u << 20;
using std::filesystem::exists;

// A disk with 32 KiB clusters holding recordings of channel 2 of the given
// sizes: the first from 23:50 on 2009-05-30 to 00:10, the others at 08:00,
// 09:00, ... on the 31st; `found` is the search of the 31st, which meets the
// first one through its end.
struct Recorded : AppDisk {
    std::vector<layout_record> recs;
    std::vector<SearchResult> found;

    explicit Recorded(const std::vector<uint64_t>& sizes) : AppDisk({ring_part_sectors(64, 300)}, 64) {
        recs.push_back(Sized(2, At(2009, 5, 30, 23, 50), At(2009, 5, 31, 0, 10), sizes[0]));
        for (int h = 8; recs.size() < sizes.size(); h++) {
            recs.push_back(Sized(2, At(2009, 5, 31, h, 0), At(2009, 5, 31, h, 5), sizes[recs.size()]));
        }
        Record(0, recs);
        Mount();
        CResultList list;
        list.Search(1, 0, 2, T("2009-05-31 00:00:00"), T("2009-05-31 23:59:59"));
        list.FetchAll();
        for (const ResultItem& item : list.Items()) found.push_back(item.record);
        EXPECT_EQ(recs.size(), found.size());
    }
};

}  // namespace

// Each recording lands in Disk00_Part00/<date of its real start>/<channel+1>/
// under its record name with exactly its bytes, replacing a file already
// there. Failures are counted and the job goes on: a recording that cannot
// be opened, and one whose read fails in its second MiB, which keeps what was
// read only under the ".part" name. The count's message passes through the
// language table, whose text is never taken for a format.
TEST(DownloadJob, CopiesIntoTheTreeAndCountsFailures) {
    Recorded disk({300 * 1024, 2 * kMiB + 512, 3 * kMiB});
    std::vector<SearchResult> found = disk.found;
    ASSERT_EQ(3u, found.size());
    found.insert(found.begin(), SearchResult(found[0]));
    snprintf(found[0].entry.name, sizeof found[0].entry.name, "23.50.00-00.10.00[R][@7777][0].mvr");
    const std::string out = disk.dir.file("out");
    const std::string first = out + "/Disk00_Part00/2009-05-30/003/" + found[1].entry.name;
    const std::string second = out + "/Disk00_Part00/2009-05-31/003/" + found[2].entry.name;
    ASSERT_TRUE(MakeDirs(out + "/Disk00_Part00/2009-05-31/003"));
    std::ofstream(second, std::ios::binary) << std::string(3 * kMiB, 'z');
    const uint64_t bad = clus_sector(get_pdp(0, 0), disk.recs[2].chain[40]) + 3;
    ide_inject_fault(0, bad, bad, IDE_FAULT_READ);
    CDownloadJob job;
    ASSERT_EQ(CDownloadJob::StartResult::Started, job.Start(found, out + "/"));
    job.Wait();
    ide_clear_faults();
    ASSERT_EQ(4u, job.Outcomes().size());
    EXPECT_EQ(CopyFailure::SourceOpen, job.Outcomes()[0].failure);
    EXPECT_EQ(layout_expected(disk.recs[0], 0, 300 * 1024), ReadFile(first));
    EXPECT_EQ(layout_expected(disk.recs[1], 0, 2 * kMiB + 512), ReadFile(second));
    EXPECT_FALSE(exists(second + ".part"));
    const CopyOutcome& cut = job.Outcomes()[3];
    EXPECT_EQ(CopyFailure::ShortRead, cut.failure);
    EXPECT_FALSE(exists(cut.path));
    EXPECT_EQ(layout_expected(disk.recs[2], 0, kMiB), ReadFile(cut.path + ".part")) << "the chunk before the bad sector";
    EXPECT_EQ(300 * 1024 + 3 * kMiB + 512, job.CopiedBytes());
    EXPECT_EQ("2 recording(s) could not be copied.", job.CompletionMessage());
    std::ofstream(disk.dir.file("language.ini")) << "[language]\n%d recording(s) could not be copied.=%s %n %d fehlen.\n";
    SetLanguageFile(disk.dir.file("language.ini"));
    EXPECT_EQ("%s %n 2 fehlen.", job.CompletionMessage());
    SetLanguageFile("");
    // Other disks and partitions get their own letters and folders.
    SearchResult r = disk.found[0];
    r.disk = 1;
    r.partition = 3;
    EXPECT_EQ("/d/Disk01_Part03/2009-05-30/003/", CDownloadJob::DestinationFolder("/d", r));
    EXPECT_EQ("/mnt/ideb3/2009-05-30/003/" + std::string(r.entry.name), CDownloadJob::SourcePath(r));
}

// A copy that reads more than the listed size is not whole; one whose final
// name is taken by a folder is reported; both count as not copied.
TEST(DownloadJob, LongerThanListedOrNotRenamedIsNotCopied) {
    Recorded disk({64 * 1024, 64 * 1024});
    std::vector<SearchResult> found = disk.found;
    found[0].entry.size -= 512;
    const std::string out = disk.dir.file("out");
    ASSERT_TRUE(MakeDirs(CDownloadJob::DestinationFolder(out, found[1]) + found[1].entry.name + "/x"));
    CDownloadJob job;
    ASSERT_EQ(CDownloadJob::StartResult::Started, job.Start(found, out));
    job.Wait();
    ASSERT_EQ(2u, job.Outcomes().size());
    EXPECT_EQ(CopyFailure::ShortRead, job.Outcomes()[0].failure);
    EXPECT_FALSE(exists(job.Outcomes()[0].path));
    EXPECT_EQ(CopyFailure::Rename, job.Outcomes()[1].failure);
    EXPECT_EQ(2, job.NotCopiedCount());
}

// A stop requested while a chunk is being read: that chunk is not written,
// the file ends at a chunk boundary, no completion is claimed. A stop that
// comes during the last, empty read leaves the copy whole.
TEST(DownloadJob, StopCutsAtAChunkBoundary) {
    Recorded disk({8 * kMiB, 64 * 1024});
    CDownloadJob job;
    uint64_t copiedAtStop = 0;
    std::unique_ptr<CallHook> hook = std::make_unique<CallHook>([&](int call) {
        if (call != 5) return;  // the fourth chunk's read
        copiedAtStop = job.CopiedBytes();
        job.RequestStop();
    });
    ASSERT_EQ(CDownloadJob::StartResult::Started, job.Start(disk.found, disk.dir.file("out")));
    job.Wait();
    ASSERT_EQ(1u, job.Outcomes().size()) << "the second recording is never started";
    const CopyOutcome& o = job.Outcomes()[0];
    EXPECT_EQ(CopyFailure::Stopped, o.failure);
    EXPECT_GT(copiedAtStop, 0u);
    EXPECT_EQ(copiedAtStop, job.CopiedBytes()) << "nothing was written after the stop request";
    EXPECT_EQ(0u, copiedAtStop % kMiB);
    EXPECT_EQ(layout_expected(disk.recs[0], 0, copiedAtStop), ReadFile(o.path + ".part"));
    EXPECT_FALSE(exists(o.path));
    EXPECT_EQ("", job.CompletionMessage());
    EXPECT_EQ(2, job.NotCopiedCount());

    CDownloadJob last;
    hook.reset();  // the old hook's end uninstalls the hooks
    hook = std::make_unique<CallHook>([&](int call) {
        if (call == 3) last.RequestStop();  // open, the one chunk, then the empty read
    });
    ASSERT_EQ(CDownloadJob::StartResult::Started, last.Start({disk.found[1]}, disk.dir.file("out")));
    last.Wait();
    ASSERT_EQ(1u, last.Outcomes().size());
    EXPECT_TRUE(last.Outcomes()[0].Whole()) << DescribeFailure(last.Outcomes()[0]);
    EXPECT_EQ(layout_expected(disk.recs[1], 0, 64 * 1024), ReadFile(last.Outcomes()[0].path));
}

// NAME.part is the lock between runs: one that another run holds is neither
// emptied nor written; a stale one is emptied; the whole copy takes its final
// name and the .part is gone.
TEST(PartFile, LockedWhileCopiedRenamedWhenWhole) {
    TempDir dir;
    const std::string name = dir.file("rec.mvr");
    std::ofstream(name + ".part") << "another run's bytes";
    const int other = open((name + ".part").c_str(), O_RDONLY);
    ASSERT_EQ(0, flock(other, LOCK_EX));
    CPartFile file;
    EXPECT_EQ(CPartFile::Fault::Taken, file.Open(name));
    EXPECT_EQ(19u, ReadFile(name + ".part").size());
    close(other);

    ASSERT_EQ(CPartFile::Fault::None, file.Open(name));
    CPartFile second;
    EXPECT_EQ(CPartFile::Fault::Taken, second.Open(name)) << "held for the whole copy";
    ASSERT_EQ(CPartFile::Fault::None, file.Write("new", 3));
    ASSERT_EQ(CPartFile::Fault::None, file.Commit());
    EXPECT_EQ(std::vector<uint8_t>({'n', 'e', 'w'}), ReadFile(name));
    EXPECT_FALSE(exists(name + ".part"));
    EXPECT_EQ(CPartFile::Fault::Create, second.Open(dir.file("none/rec.mvr")));
    EXPECT_EQ(ENOENT, second.Error());
}

// A destination on a small file system: a job larger than its free space does
// not start; one that fits at the start but meets a full disk is reported.
TEST(DownloadJob, AFullDestinationIsRefusedOrReported) {
    Recorded disk({3 * kMiB, kMiB});
    const std::string small = disk.dir.file("small");
    ASSERT_TRUE(MakeDirs(small));
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=2m") != 0) {
        GTEST_SKIP() << "cannot mount a 2 MiB tmpfs here (" << strerror(errno) << "); needs root";
    }
    CDownloadJob refused;
    EXPECT_EQ(CDownloadJob::StartResult::NoSpace, refused.Start({disk.found.at(0)}, small + "/out"));
    EXPECT_FALSE(exists(small + "/out"));
    CDownloadJob job;
    CallHook hook([&](int call) {  // leaves half a MiB free once the job runs
        if (call == 1) std::ofstream(small + "/filler", std::ios::binary) << std::string(1536 * 1024, 'x');
    });
    ASSERT_EQ(CDownloadJob::StartResult::Started, job.Start({disk.found.at(1)}, small + "/out"));
    job.Wait();
    ASSERT_EQ(1u, job.Outcomes().size());
    EXPECT_EQ(CopyFailure::Write, job.Outcomes()[0].failure);
    EXPECT_EQ(ENOSPC, job.Outcomes()[0].error);
    EXPECT_FALSE(exists(job.Outcomes()[0].path));
    EXPECT_EQ(0, job.CopiedCount());
    EXPECT_EQ("1 recording(s) could not be copied.", job.CompletionMessage());
    umount(small.c_str());
}
