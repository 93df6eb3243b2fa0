// The job report of a copy job, with the whole-source hash when asked for.
#include <unistd.h>

#include <ctime>
#include <set>

#include "cli.h"
#include "core/report.h"
#include "core/sourcehash.h"
#include "progress.h"

namespace {

ReportSource Source(const GlobalOptions& global, int disk, bool hash) {
    ReportSource s;
    s.disk = disk;
    ide_disk_source(disk, &s.source);
    if (!hash || g_interrupted.load()) return s;
    fprintf(stderr, "tarvik: hashing disk %d (%s), read-only\n", disk + 1, s.source.path.c_str());
    CProgressLine progress(!global.quiet && isatty(STDERR_FILENO));
    const SourceHash h = HashSource(
        disk, [&](uint64_t done, uint64_t total) { progress.Draw(done, total); },
        [] { return g_interrupted.load(); });
    progress.Clear();
    s.sha256 = h.sha256;
    s.verification = h.error.empty() ? h.verification : "not hashed: " + h.error;
    if (!h.verification.empty()) fprintf(stderr, "tarvik: disk %d: %s\n", disk + 1, h.verification.c_str());
    return s;
}

}  // namespace

bool WriteJobReport(const GlobalOptions& global, const std::string& folder, const std::vector<SearchResult>& records,
                    const std::vector<CopyOutcome>& outcomes, bool hashSource, int64_t start) {
    ReportJob job{NewJobId(start), "tarvik", global.commandLine, {}, start, 0, global.clockOffset};
    std::set<int> disks;
    for (const SearchResult& r : records) disks.insert(r.disk);
    for (int disk : disks) job.sources.push_back(Source(global, disk, hashSource));
    job.end = time(nullptr);
    std::string error;
    if (AppendReport(folder, job, ReportRecordings(records, outcomes), &error)) return true;
    Complain("the job report could not be written: " + error);
    return false;
}
