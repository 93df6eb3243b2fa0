// Injected faults: sector ranges of a disk that fail to read and/or write, so
// that tests can drive the error paths of the library above. They come from
// ide_inject_fault and from TARVIK_FAULTS="disk:first[-last]:r|w|rw[,...]".
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "disk_table.h"

namespace {

struct fault {
    uint32_t disk;
    uint64_t first;
    uint64_t last;  // inclusive
    int kinds;      // IDE_FAULT_READ, IDE_FAULT_WRITE, IDE_FAULT_PROTECT
};

std::vector<fault> g_injected;     // from ide_inject_fault
std::vector<fault> g_environment;  // from TARVIK_FAULTS, reloaded by ide_init

bool parse_number(const std::string& text, uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') return false;
    *value = v;
    return true;
}

// One entry "disk:first[-last]:r|w|rw".
bool parse_entry(const std::string& entry, fault* out) {
    size_t colon1 = entry.find(':');
    size_t colon2 = colon1 == std::string::npos ? colon1 : entry.find(':', colon1 + 1);
    if (colon2 == std::string::npos) return false;
    std::string range = entry.substr(colon1 + 1, colon2 - colon1 - 1);
    std::string kinds = entry.substr(colon2 + 1);
    size_t dash = range.find('-');
    uint64_t disk = 0;
    if (!parse_number(entry.substr(0, colon1), &disk) || disk >= IDE_MAX_DISKS) return false;
    if (!parse_number(range.substr(0, dash), &out->first)) return false;
    out->last = out->first;
    if (dash != std::string::npos && !parse_number(range.substr(dash + 1), &out->last)) return false;
    if (out->last < out->first) return false;
    if (kinds == "r") {
        out->kinds = IDE_FAULT_READ;
    } else if (kinds == "w") {
        out->kinds = IDE_FAULT_WRITE;
    } else if (kinds == "rw" || kinds == "wr") {
        out->kinds = IDE_FAULT_READ | IDE_FAULT_WRITE;
    } else {
        return false;
    }
    out->disk = static_cast<uint32_t>(disk);
    return true;
}

bool hits(const std::vector<fault>& faults, uint32_t disk_no, uint64_t lba, uint32_t count,
          int kind) {
    uint64_t end = lba + count - 1;  // callers have checked count > 0 and the range
    for (const fault& f : faults) {
        if (f.disk == disk_no && (f.kinds & kind) && f.first <= end && lba <= f.last) return true;
    }
    return false;
}

}  // namespace

void ide_inject_fault(int disk, uint64_t first, uint64_t last, int kinds) {
    if (disk < 0 || disk >= IDE_MAX_DISKS) return;
    if (last < first) std::swap(first, last);
    g_injected.push_back({static_cast<uint32_t>(disk), first, last, kinds});
}

void ide_clear_faults(void) {
    g_injected.clear();
    g_environment.clear();
}

void ide_load_env_faults(void) {
    g_environment.clear();
    const char* value = std::getenv("TARVIK_FAULTS");
    if (!value) return;
    std::string text = value;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string entry = text.substr(start, comma - start);
        fault f{};
        if (parse_entry(entry, &f)) {
            g_environment.push_back(f);
        } else if (!entry.empty()) {
            // A mistyped fault would silently make a test pass for the wrong
            // reason, so say so.
            std::fprintf(stderr, "TARVIK_FAULTS: ignoring \"%s\"\n", entry.c_str());
        }
        start = comma + 1;
    }
}

bool ide_fault_hits(uint32_t disk_no, uint64_t lba, uint32_t count, int kind) {
    return hits(g_injected, disk_no, lba, count, kind) ||
           hits(g_environment, disk_no, lba, count, kind);
}
