// `disks` and `dump`: what the disks hold, and the library's start-up
// diagnostics.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "core/disks.h"

namespace {

constexpr uint64_t kSectorsPerMiB = 2048;

nlohmann::json SpanJson(packed_time start, packed_time end) {
    if (start == 0 || end == 0) return nullptr;
    return {{"start", FormatPackedTime(start)}, {"end", FormatPackedTime(end)}};
}

nlohmann::json DisksJson(const std::vector<DiskReport>& disks) {
    nlohmann::json out = nlohmann::json::array();
    for (const DiskReport& d : disks) {
        nlohmann::json parts = nlohmann::json::array();
        for (const PartitionReport& p : d.partitions) {
            nlohmann::json part = {{"partition", p.index}, {"start_sector", p.startSector}, {"sectors", p.sectors},
                                   {"mounted", p.mounted}};
            if (p.mounted) {
                part["type"] = p.info.type;
                part["working"] = p.info.is_work != 0;
                part["span1"] = SpanJson(p.info.start_time1, p.info.end_time1);
                part["span2"] = SpanJson(p.info.start_time2, p.info.end_time2);
                part["total_mib"] = p.info.total_mb;
                part["free_mib"] = p.info.free_mb;
                part["error"] = p.info.err_status != 0;
            }
            parts.push_back(part);
        }
        const std::string problem = DiskProblem(d);
        out.push_back({{"disk", d.index + 1}, {"path", d.path}, {"sectors", d.sectors}, {"read_only", d.readOnly},
                       {"partition_table", d.tableRead}, {"partitions", parts},
                       {"problem", problem.empty() ? nlohmann::json(nullptr) : nlohmann::json(problem)}});
    }
    return out;
}

void PrintSpan(const char* label, packed_time start, packed_time end) {
    if (start == 0 || end == 0) return;  // no such span
    printf("      %s %s .. %s\n", label, FormatPackedTime(start).c_str(), FormatPackedTime(end).c_str());
}

void PrintDisks(const std::vector<DiskReport>& disks) {
    for (const DiskReport& d : disks) {
        printf("Disk%d  %s  %llu sectors (%llu MiB)%s\n", d.index + 1, d.path.c_str(),
               static_cast<unsigned long long>(d.sectors), static_cast<unsigned long long>(d.sectors / kSectorsPerMiB),
               d.readOnly ? "  read-only" : "");
        for (const PartitionReport& p : d.partitions) {
            printf("  partition %d: sectors %llu-%llu", p.index, static_cast<unsigned long long>(p.startSector),
                   static_cast<unsigned long long>(p.startSector + p.sectors - 1));
            if (!p.mounted) {
                printf(", not mounted\n");
                continue;
            }
            printf(", type %u%s%s, %u MiB, %u MiB free\n", p.info.type, p.info.is_work ? ", working" : "",
                   p.info.err_status ? ", transfer error" : "", p.info.total_mb, p.info.free_mb);
            PrintSpan("recorded", p.info.start_time1, p.info.end_time1);
            PrintSpan("and     ", p.info.start_time2, p.info.end_time2);
        }
        const std::string problem = DiskProblem(d);
        if (!problem.empty()) printf("  not a usable recorder disk: %s\n", problem.c_str());
    }
}

}  // namespace

int RunDisks(const GlobalOptions& global, bool json) {
    StartSession(global, false);
    const std::vector<DiskReport> disks = DescribeDisks();
    if (json) printf("%s\n", DisksJson(disks).dump(2).c_str());
    else PrintDisks(disks);
    if (disks.empty()) {
        Tell("No record disk.");
        return kExitNothingFound;
    }
    for (const DiskReport& d : disks) {
        if (DiskProblem(d).empty()) return kExitOk;
    }
    return kExitError;  // each disk said above why it is not a recorder disk
}

int RunDump(const GlobalOptions& global) {
    // Mounting prints the diagnostics: the banner, what each mount met, the
    // four tables.
    StartSession(global, true);
    return kExitOk;
}
