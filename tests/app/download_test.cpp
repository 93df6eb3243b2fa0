// The download job: the folder tree, whole copies, failures, stops, manifest.
#include "core/download.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "app_support.h"
#include "core/folders.h"
#include "core/language.h"
#include "core/partfile.h"
#include "support/temp_dir.h"

using namespace app_test;

namespace {

constexpr uint64_t kMiB = 1u << 20;
using std::filesystem::exists;

// Recordings of channel 3 (index 2) of these sizes in 32 KiB clusters: the first from
// 23:50 on 2009-05-30 to 00:10, the others at 08:00, 09:00, ... on the 31st;
// `found` is the search of the 31st (it meets the first through its end).
struct Recorded : AppDisk {
    std::vector<layout_record> recs;
    std::vector<SearchResult> found;

    explicit Recorded(const std::vector<uint64_t>& sizes) : AppDisk({ring_part_sectors(64, 560)}, 64) {
        recs.push_back(Sized(2, At(2009, 5, 30, 23, 50), At(2009, 5, 31, 0, 10), sizes[0]));
        for (int h = 8; recs.size() < sizes.size(); h++)
            recs.push_back(Sized(2, At(2009, 5, 31, h, 0), At(2009, 5, 31, h, 5), sizes[recs.size()]));
        Record(0, recs);
        Mount();
        CResultList list;
        list.Search(1, 0, 2, T("2009-05-31 00:00:00"), T("2009-05-31 23:59:59"));
        list.FetchAll();
        for (const ResultItem& item : list.Items()) found.push_back(item.record);
        EXPECT_EQ(recs.size(), found.size());
    }
    // Runs a job over these recordings into `out` and waits for its end.
    void Copy(CDownloadJob& job, const std::vector<SearchResult>& records, const std::string& out,
              CopyOptions options = {}) {
        ASSERT_EQ(CDownloadJob::StartResult::Started, job.Start(records, out, options));
        job.Wait();
        ASSERT_EQ(records.size(), job.Outcomes().size());
    }
};

// `sha256sum -c` over the manifest, run in the download folder: true when
// every listed copy checks.
bool ManifestChecks(const std::string& folder) {
    return std::system(("cd '" + folder + "' && sha256sum --quiet --strict -c " + CManifest::kFileName +
                        " >/dev/null 2>&1")
                           .c_str()) == 0;
}

}  // namespace

// Copies land under the date of their real start, replacing a file there; one
// that cannot be opened and one whose third buffer fails (its bytes up to the
// bad sector kept as ".part") are counted, in a message never taken for a format.
TEST(DownloadJob, CopiesIntoTheTreeAndCountsFailures) {
    Recorded disk({300 * 1024, 2 * kMiB + 512, 9 * kMiB});
    std::vector<SearchResult> found = disk.found;
    found.insert(found.begin(), SearchResult(found[0]));
    snprintf(found[0].entry.name, sizeof found[0].entry.name, "23.50.00-00.10.00[R][@7777][0].mvr");
    const std::string out = disk.dir.file("out");
    const std::string first = out + "/Disk00_Part00/2009-05-30/003/" + found[1].entry.name;
    const std::string second = out + "/Disk00_Part00/2009-05-31/003/" + found[2].entry.name;
    ASSERT_TRUE(MakeDirs(out + "/Disk00_Part00/2009-05-31/003"));
    std::ofstream(second, std::ios::binary) << std::string(3 * kMiB, 'z');
    const uint64_t bad = clus_sector(get_pdp(0, 0), disk.recs[2].chain[260]) + 3;
    const uint64_t beforeBad = (260 * 64 + 3) * 512;
    ide_inject_fault(0, bad, bad, IDE_FAULT_READ);
    CDownloadJob job;
    ASSERT_NO_FATAL_FAILURE(disk.Copy(job, found, out + "/"));
    ide_clear_faults();
    EXPECT_EQ(CopyFailure::SourceOpen, job.Outcomes()[0].failure);
    EXPECT_EQ(layout_expected(disk.recs[0], 0, 300 * 1024), ReadFile(first));
    EXPECT_EQ(layout_expected(disk.recs[1], 0, 2 * kMiB + 512), ReadFile(second));
    EXPECT_FALSE(exists(second + ".part"));
    const CopyOutcome& cut = job.Outcomes()[3];
    EXPECT_EQ(CopyFailure::ShortRead, cut.failure);
    EXPECT_FALSE(exists(cut.path));
    EXPECT_EQ(beforeBad, cut.bytes);
    EXPECT_EQ(layout_expected(disk.recs[2], 0, beforeBad), ReadFile(cut.path + ".part"))
        << "up to the bad sector";
    EXPECT_EQ(300 * 1024 + 2 * kMiB + 512 + beforeBad, job.CopiedBytes());
    EXPECT_EQ("", cut.sha256);
    EXPECT_EQ("2 recording(s) could not be copied.", job.CompletionMessage());
    std::ofstream(disk.dir.file("language.ini"))
        << "[language]\n%d recording(s) could not be copied.=%s %n %d fehlen.\n";
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
    ASSERT_NO_FATAL_FAILURE(disk.Copy(job, found, out));
    EXPECT_EQ(CopyFailure::ShortRead, job.Outcomes()[0].failure);
    EXPECT_FALSE(exists(job.Outcomes()[0].path));
    EXPECT_EQ(CopyFailure::Rename, job.Outcomes()[1].failure);
    EXPECT_EQ(2, job.NotCopiedCount());
}

// A stop during the second buffer's read ends the file at the first's end, with
// no completion claimed; one during the last, empty read leaves the copy whole.
TEST(DownloadJob, StopCutsAtABufferBoundary) {
    Recorded disk({10 * kMiB, 64 * 1024});
    CDownloadJob job;
    uint64_t copiedAtStop = 0;
    std::unique_ptr<CallHook> hook = std::make_unique<CallHook>([&](int call) {
        if (call != 3) return;  // kx_fopen, the first buffer's read, the second's
        for (int i = 0; i < 500 && job.CopiedBytes() < CCopyEngine::kBufferBytes; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        copiedAtStop = job.CopiedBytes();
        job.RequestStop();
    });
    ASSERT_EQ(CDownloadJob::StartResult::Started, job.Start(disk.found, disk.dir.file("out")));
    job.Wait();
    ASSERT_EQ(1u, job.Outcomes().size()) << "the second recording is never started";
    const CopyOutcome& o = job.Outcomes()[0];
    EXPECT_EQ(CopyFailure::Stopped, o.failure);
    EXPECT_EQ(CCopyEngine::kBufferBytes, copiedAtStop);
    EXPECT_EQ(copiedAtStop, job.CopiedBytes()) << "nothing was written after the stop request";
    EXPECT_EQ(copiedAtStop, o.bytes);
    EXPECT_EQ(layout_expected(disk.recs[0], 0, copiedAtStop), ReadFile(o.path + ".part"));
    EXPECT_FALSE(exists(o.path));
    EXPECT_EQ("", job.CompletionMessage());
    EXPECT_EQ(2, job.NotCopiedCount());

    CDownloadJob last;
    hook.reset();  // the old hook's end uninstalls the hooks
    hook = std::make_unique<CallHook>([&](int call) {
        if (call == 3) last.RequestStop();  // open, the one chunk, then the empty read
    });
    ASSERT_NO_FATAL_FAILURE(disk.Copy(last, {disk.found[1]}, disk.dir.file("out")));
    EXPECT_TRUE(last.Outcomes()[0].Whole()) << DescribeFailure(last.Outcomes()[0]);
    EXPECT_EQ(layout_expected(disk.recs[1], 0, 64 * 1024), ReadFile(last.Outcomes()[0].path));
}

// NAME.part is the lock between runs: one another run holds is left alone; the
// whole copy takes its final name and the .part is gone.
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
    const TmpfsMount tmpfs(small, "2m");
    if (!tmpfs.mounted())
        GTEST_SKIP() << "cannot mount a 2 MiB tmpfs here (" << strerror(tmpfs.error()) << "); needs root";
    CDownloadJob refused;
    EXPECT_EQ(CDownloadJob::StartResult::NoSpace, refused.Start({disk.found.at(0)}, small + "/out"));
    EXPECT_FALSE(exists(small + "/out"));
    CDownloadJob job;
    CallHook hook([&](int call) {  // leaves half a MiB free once the job runs
        if (call == 1) std::ofstream(small + "/filler", std::ios::binary) << std::string(1536 * 1024, 'x');
    });
    ASSERT_NO_FATAL_FAILURE(disk.Copy(job, {disk.found.at(1)}, small + "/out"));
    const CopyOutcome& o = job.Outcomes()[0];
    EXPECT_EQ(CopyFailure::Write, o.failure);
    EXPECT_EQ(ENOSPC, o.error);
    EXPECT_FALSE(exists(o.path));
    // The bytes that did reach the file are counted, no more, no fewer.
    EXPECT_EQ(layout_expected(disk.recs[1], 0, o.bytes), ReadFile(o.path + ".part"));
    EXPECT_EQ(o.bytes, job.CopiedBytes());
    EXPECT_EQ(0, job.CopiedCount());
    EXPECT_EQ("1 recording(s) could not be copied.", job.CompletionMessage());
}

// Zero-filled copies take the final name, their ranges in the manifest's note;
// resuming copies those again, skips a match, redoes a changed and a stopped
// one; `sha256sum -c` accepts the manifest at each step.
TEST(DownloadJob, ManifestFillAndResume) {
    Recorded disk({5 * kMiB, kMiB, kMiB, 9 * kMiB});
    const std::string out = disk.dir.file("out");
    {
        CDownloadJob stopped;
        CallHook hook([&](int call) {
            if (call == 2) stopped.RequestStop();  // in the first buffer's read
        });
        ASSERT_NO_FATAL_FAILURE(disk.Copy(stopped, {disk.found[3]}, out));
        EXPECT_EQ(CopyFailure::Stopped, stopped.Outcomes().at(0).failure);
    }
    const uint64_t bad = clus_sector(get_pdp(0, 0), disk.recs[0].chain[150]) + 1;
    ide_inject_fault(0, bad, bad + 2, IDE_FAULT_READ);
    ide_inject_fault(0, bad + 10, bad + 10, IDE_FAULT_READ);
    CDownloadJob job;
    ASSERT_NO_FATAL_FAILURE(
        disk.Copy(job, {disk.found.begin(), disk.found.begin() + 3}, out, {false, true, true}));
    ide_clear_faults();
    const CopyOutcome& filled = job.Outcomes()[0];
    const uint64_t at = (150 * 64 + 1) * 512;
    ASSERT_TRUE(filled.Whole()) << DescribeFailure(filled);
    EXPECT_EQ("copied with 4 unreadable sectors", filled.Status());
    EXPECT_EQ("bytes " + std::to_string(at) + "-" + std::to_string(at + 1535) + ", " +
                  std::to_string(at + 5120) + "-" + std::to_string(at + 5631),
              DescribeRanges(filled.unreadable));
    std::vector<uint8_t> want = layout_expected(disk.recs[0], 0, 5 * kMiB);
    std::fill(want.begin() + at, want.begin() + at + 1536, 0);
    std::fill(want.begin() + at + 5120, want.begin() + at + 5632, 0);
    EXPECT_EQ(want, ReadFile(filled.path));
    EXPECT_TRUE(ManifestChecks(out));
    std::map<std::string, CManifest::Entry> listed = CManifest(out).Read();
    ASSERT_EQ(3u, listed.size()) << "no line for the stopped copy";
    const std::string rel0 = filled.path.substr(out.size() + 1),
                      rel2 = job.Outcomes()[2].path.substr(out.size() + 1);
    EXPECT_EQ(filled.Status() + " at " + DescribeRanges(filled.unreadable), listed[rel0].note);
    EXPECT_EQ(job.Outcomes()[1].sha256, listed[job.Outcomes()[1].path.substr(out.size() + 1)].sha256);
    EXPECT_EQ("", listed[rel2].note);

    std::fstream(job.Outcomes()[2].path, std::ios::in | std::ios::out | std::ios::binary).write("X", 1);
    EXPECT_FALSE(ManifestChecks(out));
    CDownloadJob resumed;
    ASSERT_NO_FATAL_FAILURE(disk.Copy(resumed, disk.found, out, {true, false, true}));
    EXPECT_EQ(1, resumed.SkippedCount());
    EXPECT_TRUE(resumed.Outcomes()[1].skipped);
    EXPECT_EQ(4, resumed.CopiedCount());
    EXPECT_EQ("copied", resumed.Outcomes()[0].Status());
    for (int i : {0, 2, 3})
        EXPECT_EQ(layout_expected(disk.recs[i], 0, disk.recs[i].clusters * 32768ull),
                  ReadFile(resumed.Outcomes()[i].path));
    EXPECT_EQ(16 * kMiB, resumed.CopiedBytes()) << "the skipped copy counts as done";
    EXPECT_TRUE(ManifestChecks(out));
    EXPECT_EQ(4u, CManifest(out).Read().size());
    EXPECT_EQ("", CManifest(out).Read()[rel0].note);
}

// Names that need sha256sum's escaping, and a note, come back as written;
// foreign and malformed lines are dropped.
TEST(DownloadJob, ManifestLinesRoundTrip) {
    const std::string hash(64, 'a');
    const std::map<std::string, CManifest::Entry> entries = {
        {"a/plain name.mvr", {hash, ""}},
        {"a/back\\slash\nline.mvr",
         {std::string(64, '0'), "copied with 1 unreadable sectors at bytes 0-511"}},
    };
    std::string text = "garbage line\n" + std::string(63, 'f') + "  short.mvr\n";
    for (const auto& [path, entry] : entries) text += CManifest::Line(path, entry);
    const auto parsed = CManifest::Parse(text);
    ASSERT_EQ(entries.size(), parsed.size());
    for (const auto& [path, entry] : entries) {
        ASSERT_EQ(1u, parsed.count(path)) << path;
        EXPECT_EQ(std::make_pair(entry.sha256, entry.note),
                  std::make_pair(parsed.at(path).sha256, parsed.at(path).note));
    }
    EXPECT_EQ("\\" + std::string(64, '0') + "  a/back\\\\slash\\nline.mvr\n",
              CManifest::Line("a/back\\slash\nline.mvr", {std::string(64, '0'), ""}));
}
