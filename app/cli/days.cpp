// `days`: the dates on which recordings of a partition start.
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "core/startup.h"
#include "kxfs.h"

namespace {

std::vector<std::string> ListDays(int disk, int partition) {
    std::vector<std::string> days;
    char root[32];
    snprintf(root, sizeof root, "/mnt/ide%c%d", 'a' + disk, partition);
    kx_find_record rec{};
    const intptr_t h = kx_findfirst(root, &rec);
    if (h <= 0) return days;
    do {
        rec.name[sizeof rec.name - 1] = '\0';
        days.emplace_back(rec.name);
    } while (kx_findnext(h, &rec) == 0);
    kx_findclose(h);
    return days;
}

}  // namespace

int RunDays(const GlobalOptions& global, int disk, int partition, bool json) {
    StartSession(global, false);
    const int count = DiskCount();
    if (count < 1) {
        if (json) printf("[]\n");
        Tell("No record disk.");
        return kExitNothingFound;
    }
    if (disk > count) throw UsageError{"--disk " + std::to_string(disk) + ": " + std::to_string(count) + " disk(s) found"};
    if (const int status = CheckRecorderDisk(disk, json); status != kExitOk) return status;
    driver_info info{};
    if (kx_get_driver_info(disk - 1, partition, &info) != 0) {
        if (json) printf("[]\n");
        Complain("partition " + std::to_string(partition) + " of disk " + std::to_string(disk) + " is not mounted");
        return kExitError;
    }
    const std::vector<std::string> days = ListDays(disk - 1, partition);
    if (json) {
        printf("%s\n", nlohmann::json(days).dump().c_str());
    } else {
        for (const std::string& d : days) printf("%s\n", d.c_str());
    }
    if (days.empty()) {
        Tell("No record.");
        return kExitNothingFound;
    }
    return kExitOk;
}
