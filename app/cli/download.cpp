// `download`: copies the chosen results of a search into a folder tree.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <functional>

#include "cli.h"
#include "core/download.h"
#include "core/media.h"
#include "core/results.h"
#include "progress.h"

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);

nlohmann::json RangesJson(const std::vector<UnreadableRange>& ranges) {
    nlohmann::json out = nlohmann::json::array();
    for (const UnreadableRange& r : ranges) out.push_back({{"offset", r.offset}, {"bytes", r.bytes}});
    return out;
}

void PrintOutcomes(const CDownloadJob& job, const std::function<nlohmann::json(size_t, const SearchResult&)>& describe,
                   bool json, bool mp4) {
    nlohmann::json out = nlohmann::json::array();
    for (size_t i = 0; i < job.Outcomes().size(); i++) {
        const CopyOutcome& o = job.Outcomes()[i];
        if (json) {
            nlohmann::json item = describe(i, o.record);
            item["path"] = o.path;
            item["copied"] = o.Whole();
            item["bytes"] = o.bytes;
            item["error"] = o.Whole() ? nlohmann::json(nullptr) : nlohmann::json(DescribeFailure(o));
            item["status"] = o.Status();
            item["sha256"] = o.sha256.empty() ? nlohmann::json(nullptr) : nlohmann::json(o.sha256);
            item["unreadable"] = RangesJson(o.unreadable);
            if (mp4) item["mp4"] = o.mp4Path.empty() ? nlohmann::json(nullptr) : nlohmann::json(o.mp4Path);
            out.push_back(item);
        } else if (o.Whole()) {
            printf("%s\n", o.path.c_str());
            if (!o.mp4Path.empty()) printf("%s\n", o.mp4Path.c_str());
        }
        if (!o.mp4Notice.empty()) Complain(o.path + ": " + o.mp4Notice);
        if (!o.Whole()) {
            Complain("not copied: " + o.path + ": " + DescribeFailure(o) +
                     (o.bytes > 0 ? " (the bytes copied are in " + o.path + ".part)" : ""));
        } else if (!o.unreadable.empty()) {
            Complain(o.path + ": " + o.Status() + " (zeros at " + DescribeRanges(o.unreadable) + ")");
        }
    }
    if (json) printf("%s\n", out.dump(2).c_str());
}

}  // namespace

std::string AbsoluteFolder(const std::string& output) {
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::absolute(output, ec);
    if (ec) throw UsageError{"--output " + output + ": " + ec.message()};
    return p.lexically_normal().string();
}

int RunCopyJob(const GlobalOptions& global, std::vector<SearchResult> records, const std::string& folder,
               const std::string& output, bool json,
               const std::function<nlohmann::json(size_t, const SearchResult&)>& describe,
               const CopyJobOptions& options) {
    const int64_t started = time(nullptr);
    CDownloadJob job;
    job.SetPlayableCopies(options.mp4);
    switch (job.Start(records, folder, options.copy)) {
        case CDownloadJob::StartResult::Started: break;
        case CDownloadJob::StartResult::NoSpace:
            Tell("Storage device is no space!");
            Complain(std::to_string(job.TotalBytes()) + " bytes needed, " + std::to_string(job.FreeBytes()) +
                     " bytes free in " + folder);
            return kExitError;
        case CDownloadJob::StartResult::FolderUnusable:
            Complain("--output " + output + ": " + strerror(job.FolderError()));
            return kExitError;
        case CDownloadJob::StartResult::NothingSelected:
        case CDownloadJob::StartResult::Busy: Tell("No record."); return kExitNothingFound;
    }
    CProgressLine progress(!global.quiet && isatty(STDERR_FILENO));
    while (!job.WaitFor(kPollInterval)) {
        if (g_interrupted.load()) job.RequestStop();
        progress.Draw(job.CopiedBytes(), job.TotalBytes());
    }
    job.Wait();
    progress.Clear();
    PrintOutcomes(job, describe, json, options.mp4);
    ReportCommandWrites();
    const bool reported =
        WriteJobReport(global, folder, records, job.Outcomes(), options.hashSource && !job.StopRequested(), started);
    if (job.StopRequested()) {
        Complain("stopped: " + std::to_string(job.NotCopiedCount()) + " of " + std::to_string(job.RequestedCount()) +
                 " recording(s) not copied");
        return kExitInterrupted;
    }
    if (!job.SkippedMessage().empty()) fprintf(stderr, "%s\n", job.SkippedMessage().c_str());
    fprintf(stderr, "%s\n", job.CompletionMessage().c_str());
    if (job.NotCopiedCount() != 0 || job.FilledCount() != 0) return kExitNotCopied;
    return reported ? kExitOk : kExitError;
}

int RunDownload(const GlobalOptions& global, const DownloadOptions& options) {
    if (options.mp4 && !MediaSupported()) throw UsageError{"--mp4: " + MediaMissingReason()};
    const std::string folder = AbsoluteFolder(options.output);
    const SearchWindow window = ParseWindow(options.search, global.clockOffset);
    StartSession(global, false);
    CResultList list;
    const int status = FindRecordings(options.search, window, list);
    if (status != kExitOk) return status;

    std::vector<size_t> chosen;
    if (options.select.empty()) {
        for (size_t i = 0; i < list.Items().size(); i++) chosen.push_back(i);
    } else {
        chosen = ParseSelection(options.select, list.Items().size());
    }
    for (size_t i : chosen) list.SetSelected(i, true);
    std::vector<size_t> listIndex;  // the list position of each record the job copies, in its order
    for (size_t i = 0; i < list.Items().size(); i++) {
        if (list.Items()[i].selected) listIndex.push_back(i);
    }
    CopyJobOptions job;
    job.copy.resume = options.resume;
    job.copy.fillUnreadable = options.fillUnreadable;
    job.mp4 = options.mp4;
    job.hashSource = options.hashSource;
    return RunCopyJob(global, list.SelectedRecords(), folder, options.output, options.search.json,
                      [&](size_t i, const SearchResult& r) { return ResultJson(listIndex[i], r, global.clockOffset); },
                      job);
}
