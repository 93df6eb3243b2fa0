// `search`: the recordings of a channel in a time window.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "core/disks.h"
#include "core/clockoffset.h"
#include "core/language.h"
#include "core/media.h"
#include "core/results.h"
#include "core/startup.h"
#include "core/timevalue.h"

namespace {

int64_t ParseWindowTime(const char* option, const std::string& text, Occurrence which) {
    int64_t t = 0;
    if (!ParseDateTime(text, &t, which)) {
        throw UsageError{std::string(option) + " \"" + text + "\": expected a date and local time \"YYYY-MM-DD HH:MM:SS\""};
    }
    return t;
}

// The table; with a clock offset the Start and End Time columns are true
// times and the recorder's own times follow them; with streams (from
// --probe) a last column says what each holds.
void PrintTable(CResultList& list, const std::vector<std::string>& streams) {
    const bool corrected = list.ClockOffset() != 0;
    printf("%5s  %-9s  %4s  %-19s  %-19s  %12s  ", Translate("Index").c_str(), Translate("Disk Name").c_str(), "Part",
           Translate("Start Time").c_str(), Translate("End Time").c_str(), Translate("File Size").c_str());
    if (corrected) printf("%-19s  %-19s  ", "Recorder Start", "Recorder End");
    printf("Name%s\n", streams.empty() ? "" : "  Stream");
    for (size_t i = 0; i < list.Items().size(); i++) {
        const std::array<std::string, 5> row = list.RowTexts(i);
        const SearchResult& r = list.Items()[i].record;
        printf("%5s  %-9s  %4d  %-19s  %-19s  %12s  ", row[0].c_str(), row[1].c_str(), r.partition, row[2].c_str(),
               row[3].c_str(), row[4].c_str());
        if (corrected) printf("%-19s  %-19s  ", ResultStart(r).c_str(), ResultEnd(r).c_str());
        printf("%s%s\n", r.entry.name, streams.empty() ? "" : ("  " + streams[i]).c_str());
    }
}

}  // namespace

std::string ResultStart(const SearchResult& r) { return FormatDateTime(RecorderStart(r)); }

std::string ResultEnd(const SearchResult& r) { return FormatDateTime(RecorderEnd(r)); }

nlohmann::json ResultJson(size_t index, const SearchResult& r, int64_t clockOffset) {
    nlohmann::json item = {{"index", index + 1},       {"disk", r.disk + 1},      {"partition", r.partition},
                           {"channel", r.channel + 1}, {"start", ResultStart(r)}, {"end", ResultEnd(r)},
                           {"name", r.entry.name},     {"size", r.entry.size}};
    if (clockOffset != 0) {
        item["true_start"] = FormatDateTime(TrueTime(RecorderStart(r), clockOffset));
        item["true_end"] = FormatDateTime(TrueTime(RecorderEnd(r), clockOffset));
    }
    return item;
}

SearchWindow ParseWindow(const SearchOptions& options, int64_t clockOffset) {
    // A bound in the hour that the end of summer time repeats takes in both of
    // its occurrences: the start the earlier, the end the later.
    const SearchWindow window{ParseWindowTime("--start", options.start, Occurrence::Earlier),
                              ParseWindowTime("--end", options.end, Occurrence::Later), clockOffset};
    if (window.start > window.end) {
        throw UsageError{"--start \"" + options.start + "\" is later than --end \"" + options.end + "\""};
    }
    return window;
}

int CheckRecorderDisk(int disk, bool json) {
    const DiskReport report = DescribeDisk(disk - 1);
    const std::string problem = DiskProblem(report);
    if (problem.empty()) return kExitOk;
    if (json) printf("[]\n");
    Complain("disk " + std::to_string(disk) + " (" + report.path + "): " + problem);
    return kExitError;
}

int FindRecordings(const SearchOptions& options, const SearchWindow& window, CResultList& list) {
    const int count = DiskCount();
    if (count >= 1 && options.disk > count) {
        throw UsageError{"--disk " + std::to_string(options.disk) + ": " + std::to_string(count) + " disk(s) found"};
    }
    if (count >= 1) {
        if (const int status = CheckRecorderDisk(options.disk, options.json); status != kExitOk) return status;
    }
    CResultList::Outcome outcome;
    list.SetClockOffset(window.clockOffset);
    try {
        outcome = list.Search(count, options.disk - 1, options.channel - 1, window.start, window.end);
        while (!list.SearchDone() && !g_interrupted.load()) list.NextPage();
    } catch (const CalendarError& e) {
        Complain(std::string("search abandoned: ") + e.what());
        return kExitError;
    }
    if (g_interrupted.load()) return kExitInterrupted;
    if (outcome == CResultList::Outcome::Found) return kExitOk;
    if (options.json) printf("[]\n");
    Tell(outcome == CResultList::Outcome::NoDisk ? "No record disk." : "No record.");
    return kExitNothingFound;
}

int RunSearch(const GlobalOptions& global, const SearchOptions& options) {
    if (options.probe && !MediaSupported()) throw UsageError{"--probe: " + MediaMissingReason()};
    const SearchWindow window = ParseWindow(options, global.clockOffset);
    StartSession(global, false);
    CResultList list;
    const int status = FindRecordings(options, window, list);
    if (status != kExitOk) return status;
    std::vector<std::string> streams;  // probing reads data: only when asked
    for (size_t i = 0; options.probe && i < list.Items().size(); i++) streams.push_back(ProbeRecording(list.Items()[i].record));
    if (options.json) {
        nlohmann::json out = nlohmann::json::array();
        for (size_t i = 0; i < list.Items().size(); i++) {
            nlohmann::json item = ResultJson(i, list.Items()[i].record, global.clockOffset);
            if (!streams.empty()) item["stream"] = streams[i];
            out.push_back(item);
        }
        printf("%s\n", out.dump(2).c_str());
    } else {
        PrintTable(list, streams);
    }
    return kExitOk;
}
