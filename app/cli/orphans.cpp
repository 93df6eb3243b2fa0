// `orphans`: footage the listings no longer show, listed or copied.
#include "core/orphans.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli.h"
#include "core/startup.h"

namespace {

std::string Hex(uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof buf, "%x", v);
    return buf;
}

nlohmann::json OrphanJson(const SearchResult& r) {
    return {{"disk", r.disk + 1},
            {"partition", r.partition},
            {"channel", r.channel + 1},
            {"start", ResultStart(r)},
            {"end", ResultEnd(r)},
            {"clusters", r.orphan->clusters.size()},
            {"size", r.entry.size},
            {"first_cluster", r.orphan->firstCluster},
            {"old_first_cluster", r.orphan->oldFirstCluster}};
}

void PrintTable(const std::vector<SearchResult>& chains) {
    printf("%4s  %4s  %7s  %-19s  %-19s  %8s  %12s  %8s  %s\n", "Disk", "Part", "Channel", "Start", "End",
           "Clusters", "Bytes", "First", "Recording");
    for (const SearchResult& r : chains) {
        printf("%4d  %4d  %7d  %-19s  %-19s  %8zu  %12llu  %8s  %s\n", r.disk + 1, r.partition, r.channel + 1,
               ResultStart(r).c_str(), ResultEnd(r).c_str(), r.orphan->clusters.size(),
               static_cast<unsigned long long>(r.entry.size), Hex(r.orphan->firstCluster).c_str(),
               Hex(r.orphan->oldFirstCluster).c_str());
    }
}

// A window in true time with a clock offset, searched in the recorder's time.
OrphanQuery MakeQuery(const OrphanOptions& o, int64_t clockOffset) {
    OrphanQuery q{o.disk - 1, o.partition, o.channel - 1, false, 0, 0};
    if (o.start.empty() != o.end.empty()) throw UsageError{"--start and --end go together"};
    if (!o.start.empty()) {
        SearchOptions window;
        window.start = o.start;
        window.end = o.end;
        const SearchWindow w = ParseWindow(window, clockOffset);
        q.window = true;
        q.start = w.start - clockOffset;
        q.end = w.end - clockOffset;
    }
    return q;
}

}  // namespace

int RunOrphans(const GlobalOptions& global, const OrphanOptions& options) {
    const OrphanQuery query = MakeQuery(options, global.clockOffset);
    const std::string folder = options.output.empty() ? "" : AbsoluteFolder(options.output);
    StartSession(global, false);
    const int count = DiskCount();
    if (count < 1) {
        if (options.json) printf("[]\n");
        Tell("No record disk.");
        return kExitNothingFound;
    }
    if (options.disk > count) {
        throw UsageError{"--disk " + std::to_string(options.disk) + ": " + std::to_string(count) +
                         " disk(s) found"};
    }
    if (const int status = CheckRecorderDisk(options.disk, options.json); status != kExitOk) return status;
    const OrphanReport report = FindOrphans(query);
    if (report.unmounted != 0) {
        if (options.json) printf("[]\n");
        Complain("partition " + std::to_string(options.partition) + " of disk " +
                 std::to_string(options.disk) + " is not mounted");
        return kExitError;
    }
    if (report.failed != 0) {
        Complain(std::to_string(report.failed) +
                 " partition(s) could not be scanned: too large to hold in memory");
    }
    if (report.badTimes != 0) {
        Complain(std::to_string(report.badTimes) +
                 " orphaned chain(s) passed over: their times are no real date");
    }
    if (report.chains.empty()) {
        if (options.json) printf("[]\n");
        Tell("No orphaned footage.");
        return kExitNothingFound;
    }
    if (!options.output.empty()) {
        return RunCopyJob(global, report.chains, folder, options.output, options.json,
                          [](size_t, const SearchResult& r) { return OrphanJson(r); });
    }
    if (options.json) {
        nlohmann::json out = nlohmann::json::array();
        for (const SearchResult& r : report.chains) out.push_back(OrphanJson(r));
        printf("%s\n", out.dump(2).c_str());
    } else {
        PrintTable(report.chains);
    }
    return kExitOk;
}
