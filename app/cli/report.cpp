// The job report of a copy job, with the whole-source hash when asked for.
#include <unistd.h>

#include <ctime>

#include "cli.h"
#include "core/report.h"
#include "core/sourcehash.h"
#include "progress.h"

namespace {

// Hashes a source disk, read-only, with a progress line.
void HashSourceInto(const GlobalOptions& global, ReportSource& s) {
    fprintf(stderr, "tarvik: hashing disk %d (%s), read-only\n", s.disk + 1, s.source.path.c_str());
    CProgressLine progress(!global.quiet && isatty(STDERR_FILENO));
    const SourceHash h = HashSource(
        s.disk, [&](uint64_t done, uint64_t total) { progress.Draw(done, total); },
        [] { return g_interrupted.load(); });
    progress.Clear();
    s.sha256 = h.sha256;
    s.verification = h.error.empty() ? h.verification : "not hashed: " + h.error;
    if (!h.verification.empty()) fprintf(stderr, "tarvik: disk %d: %s\n", s.disk + 1, h.verification.c_str());
}

}  // namespace

bool WriteJobReport(const GlobalOptions& global, const std::string& folder, const std::vector<SearchResult>& records,
                    const std::vector<CopyOutcome>& outcomes, bool hashSource, int64_t start) {
    ReportJob job{NewJobId(start), "tarvik", global.commandLine, ReportSources(records), start, 0, global.clockOffset};
    for (ReportSource& s : job.sources) {
        if (hashSource && !g_interrupted.load()) HashSourceInto(global, s);
    }
    job.end = time(nullptr);
    std::string error;
    if (AppendReport(folder, job, ReportRecordings(records, outcomes), &error)) return true;
    Complain("the job report could not be written: " + error);
    return false;
}
