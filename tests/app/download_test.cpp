// The download job: the folder tree, whole copies only, failures counted and
// reported, and a cooperative stop between chunks.
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "app_support.h"
#include "core/download.h"
#include "core/folders.h"
#include "core/language.h"

using namespace app_test;

namespace {

constexpr uint32_t kSpc = 64;  // 32 KiB clusters
constexpr uint64_t kMiB = 1u << 20;

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A recording of `bytes` bytes (whole sectors) on channel `ch`.
layout_record Sized(int ch, packed_time start, packed_time end, uint64_t bytes) {
    const uint64_t sectors = bytes / 512, clusterBytes = kSpc * 512;
    layout_record r = Rec(ch, start, end, (uint32_t)((bytes + clusterBytes - 1) / clusterBytes));
    r.end_length = (uint16_t)(sectors % kSpc);
    return r;
}

std::vector<SearchResult> Found(const char* start, const char* end, int channel = 0) {
    return SearchAll(channel, start, end);
}

void RunToEnd(CDownloadJob& job) {
    job.Wait();
    EXPECT_FALSE(job.Running());
}

// The job that the lock hook below stops, and what had been copied then.
CDownloadJob* g_job = nullptr;
int g_locks = 0;
int g_stopAtLock = 0;
uint64_t g_copiedAtStop = 0;
std::string g_filler;  // a file to write at the first lock (fills a small disk)

void CountingLock() {
    if (++g_locks == g_stopAtLock && g_job) {
        g_copiedAtStop = g_job->CopiedBytes();
        g_job->RequestStop();
    }
    if (g_locks == 1 && !g_filler.empty()) {
        std::ofstream(g_filler, std::ios::binary) << std::string(1536 * 1024, 'x');
    }
}
void NoUnlock() {}

void HookLocks(CDownloadJob* job, int stopAt, const std::string& filler = "") {
    static const kx_hooks hooks = {nullptr, CountingLock, NoUnlock};
    g_job = job;
    g_locks = 0;
    g_stopAtLock = stopAt;
    g_copiedAtStop = 0;
    g_filler = filler;
    kx_set_hooks(&hooks);
}

}  // namespace

// Each recording lands in Disk00_Part00/<date of its real start>/<channel+1>/
// under its record name with exactly its bytes; a file already there is
// replaced, and the byte counter ends at the exact total.
TEST(DownloadJob, CopiesIntoTheTreeReplacingExistingFiles) {
    AppDisk disk({PartSectors(kSpc, 200)}, kSpc);
    std::vector<layout_record> recs = {Sized(2, At(2009, 5, 30, 23, 50, 0), At(2009, 5, 31, 0, 10, 0), 300 * 1024),
                                       Sized(2, At(2009, 5, 31, 9, 0, 0), At(2009, 5, 31, 9, 5, 0), 2 * kMiB + 512)};
    disk.Record(0, recs);
    disk.Mount();
    // A window on the 31st only: the first recording is found through its end.
    const std::vector<SearchResult> found = Found("2009-05-31 00:00:00", "2009-05-31 23:59:59", 2);
    ASSERT_EQ(2u, found.size());
    const std::string out = disk.dir.file("out");
    const std::string first = out + "/Disk00_Part00/2009-05-30/003/" + found[0].entry.name;
    const std::string second = out + "/Disk00_Part00/2009-05-31/003/" + found[1].entry.name;
    ASSERT_TRUE(MakeDirs(out + "/Disk00_Part00/2009-05-31/003"));
    std::ofstream(second, std::ios::binary) << std::string(3 * kMiB, 'z');

    CDownloadJob job;
    ASSERT_EQ(CDownloadJob::StartResult::Started, job.Start(found, out + "/"));
    RunToEnd(job);
    EXPECT_EQ(300 * 1024 + 2 * kMiB + 512, job.CopiedBytes());
    EXPECT_EQ(2, job.CopiedCount());
    EXPECT_EQ("Download Completely!", job.CompletionMessage());
    EXPECT_EQ(layout_expected(recs[0], 0, 300 * 1024), ReadFile(first));
    EXPECT_EQ(layout_expected(recs[1], 0, 2 * kMiB + 512), ReadFile(second));
    EXPECT_FALSE(Exists(second + ".part"));
}

TEST(DownloadJob, ARecordingThatCannotBeOpenedIsCountedNotCopied) {
    AppDisk disk({PartSectors(kSpc, 100)}, kSpc);
    std::vector<layout_record> recs = {Sized(0, At(2009, 5, 30, 8, 0, 0), At(2009, 5, 30, 8, 5, 0), 64 * 1024)};
    disk.Record(0, recs);
    disk.Mount();
    std::vector<SearchResult> found = Found("2009-05-30 00:00:00", "2009-05-30 23:59:59");
    ASSERT_EQ(1u, found.size());
    SearchResult missing = found[0];
    snprintf(missing.entry.name, sizeof missing.entry.name, "08.00.00-08.05.00[R][@7777][0].mvr");
    found.insert(found.begin(), missing);

    CDownloadJob job;
    ASSERT_EQ(CDownloadJob::StartResult::Started, job.Start(found, disk.dir.file("out")));
    RunToEnd(job);
    ASSERT_EQ(2u, job.Outcomes().size());
    EXPECT_EQ(CopyFailure::SourceOpen, job.Outcomes()[0].failure);
    EXPECT_TRUE(job.Outcomes()[1].Whole()) << "the job goes on after a failure";
    EXPECT_EQ(1, job.NotCopiedCount());
    EXPECT_EQ("1 recording(s) could not be copied.", job.CompletionMessage());
    // A translation is not trusted as a format string: only "%d" is filled in.
    std::ofstream(disk.dir.file("language.ini")) << "[language]\n%d recording(s) could not be copied.=%s %n %d fehlen.\n";
    SetLanguageFile(disk.dir.file("language.ini"));
    EXPECT_EQ("%s %n 1 fehlen.", job.CompletionMessage());
    SetLanguageFile("");
}

// A read error in the middle of a recording ends its copy early: the copy is
// reported, and what was read stays only under the ".part" name.
TEST(DownloadJob, AReadErrorMidRecordingIsReportedAndLeavesNoCompleteLookingFile) {
    AppDisk disk({PartSectors(kSpc, 200)}, kSpc);
    std::vector<layout_record> recs = {Sized(0, At(2009, 5, 30, 8, 0, 0), At(2009, 5, 30, 8, 5, 0), 3 * kMiB)};
    disk.Record(0, recs);
    disk.Mount();
    const std::vector<SearchResult> found = Found("2009-05-30 00:00:00", "2009-05-30 23:59:59");
    ASSERT_EQ(1u, found.size());
    const uint64_t bad = clus_sector(get_pdp(0, 0), recs[0].chain[40]) + 3;  // inside the second MiB
    ide_inject_fault(0, bad, bad, IDE_FAULT_READ);

    CDownloadJob job;
    ASSERT_EQ(CDownloadJob::StartResult::Started, job.Start(found, disk.dir.file("out")));
    RunToEnd(job);
    ide_clear_faults();
    ASSERT_EQ(1u, job.Outcomes().size());
    const CopyOutcome& o = job.Outcomes()[0];
    EXPECT_EQ(CopyFailure::ShortRead, o.failure);
    EXPECT_EQ(kMiB, o.bytes) << "the chunk before the bad sector";
    EXPECT_FALSE(Exists(o.path));
    EXPECT_EQ(layout_expected(recs[0], 0, kMiB), ReadFile(o.path + ".part"));
    EXPECT_EQ("1 recording(s) could not be copied.", job.CompletionMessage());
}

// A stop requested while a chunk is being read: that chunk is not written,
// the file ends at a chunk boundary, no completion is claimed.
TEST(DownloadJob, StopCutsAtAChunkBoundary) {
    AppDisk disk({PartSectors(kSpc, 300)}, kSpc);
    std::vector<layout_record> recs = {Sized(0, At(2009, 5, 30, 8, 0, 0), At(2009, 5, 30, 8, 5, 0), 8 * kMiB),
                                       Sized(0, At(2009, 5, 30, 9, 0, 0), At(2009, 5, 30, 9, 5, 0), 64 * 1024)};
    disk.Record(0, recs);
    disk.Mount();
    const std::vector<SearchResult> found = Found("2009-05-30 00:00:00", "2009-05-30 23:59:59");
    ASSERT_EQ(2u, found.size());

    CDownloadJob job;
    HookLocks(&job, 5);  // during the fourth adapter call of the job
    ASSERT_EQ(CDownloadJob::StartResult::Started, job.Start(found, disk.dir.file("out")));
    RunToEnd(job);
    kx_set_hooks(nullptr);
    ASSERT_EQ(1u, job.Outcomes().size()) << "the second recording is never started";
    const CopyOutcome& o = job.Outcomes()[0];
    EXPECT_EQ(CopyFailure::Stopped, o.failure);
    EXPECT_GT(g_copiedAtStop, 0u);
    EXPECT_EQ(g_copiedAtStop, job.CopiedBytes()) << "nothing was written after the stop request";
    EXPECT_EQ(0u, g_copiedAtStop % kMiB);
    EXPECT_EQ(layout_expected(recs[0], 0, g_copiedAtStop), ReadFile(o.path + ".part"));
    EXPECT_FALSE(Exists(o.path));
    EXPECT_EQ("", job.CompletionMessage());
    EXPECT_EQ(2, job.NotCopiedCount());
}

// A destination on a small file system: a job larger than its free space does
// not start; one that fits at the start but meets a full disk is reported.
TEST(DownloadJob, AFullDestinationIsRefusedOrReported) {
    AppDisk disk({PartSectors(kSpc, 300)}, kSpc);
    std::vector<layout_record> recs = {Sized(0, At(2009, 5, 30, 8, 0, 0), At(2009, 5, 30, 8, 5, 0), 3 * kMiB),
                                       Sized(0, At(2009, 5, 30, 9, 0, 0), At(2009, 5, 30, 9, 5, 0), kMiB)};
    disk.Record(0, recs);
    disk.Mount();
    const std::vector<SearchResult> found = Found("2009-05-30 00:00:00", "2009-05-30 23:59:59");
    ASSERT_EQ(2u, found.size());
    const std::string small = disk.dir.file("small");
    ASSERT_TRUE(MakeDirs(small));
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=2m") != 0) {
        GTEST_SKIP() << "cannot mount a 2 MiB tmpfs here (" << strerror(errno) << "); needs root";
    }
    CDownloadJob refused;
    EXPECT_EQ(CDownloadJob::StartResult::NoSpace, refused.Start({found[0]}, small + "/out"));
    EXPECT_FALSE(Exists(small + "/out"));

    CDownloadJob job;
    HookLocks(&job, 0, small + "/filler");  // leaves half a MiB free once the job runs
    ASSERT_EQ(CDownloadJob::StartResult::Started, job.Start({found[1]}, small + "/out"));
    RunToEnd(job);
    kx_set_hooks(nullptr);
    ASSERT_EQ(1u, job.Outcomes().size());
    EXPECT_EQ(CopyFailure::Write, job.Outcomes()[0].failure);
    EXPECT_EQ(ENOSPC, job.Outcomes()[0].error);
    EXPECT_FALSE(Exists(job.Outcomes()[0].path));
    EXPECT_EQ(0, job.CopiedCount());
    EXPECT_EQ("1 recording(s) could not be copied.", job.CompletionMessage());
    umount(small.c_str());
}

TEST(DownloadJob, DestinationAndSourcePaths) {
    SearchResult r;
    r.disk = 1;
    r.partition = 3;
    r.channel = 15;
    r.startYear = 2009;
    r.startMonth = 5;
    r.startDay = 30;
    snprintf(r.entry.name, sizeof r.entry.name, "08.15.00-09.15.00[R][@12c][3].mvr");
    EXPECT_EQ("/d/Disk01_Part03/2009-05-30/016/", CDownloadJob::DestinationFolder("/d/", r));
    EXPECT_EQ("/d/Disk01_Part03/2009-05-30/016/", CDownloadJob::DestinationFolder("/d", r));
    EXPECT_EQ("/mnt/ideb3/2009-05-30/016/08.15.00-09.15.00[R][@12c][3].mvr", CDownloadJob::SourcePath(r));
}
