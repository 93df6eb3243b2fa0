// --select: which results of the list to download.
#include <cerrno>
#include <cstdlib>
#include <set>

#include "cli.h"

namespace {

size_t ParseIndex(const std::string& text, const std::string& whole, size_t count) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) {
        throw UsageError{"--select \"" + whole + "\": expected indices such as 1,3-5"};
    }
    const size_t v = std::strtoul(text.c_str(), nullptr, 10);
    if (v < 1 || v > count) {
        throw UsageError{"--select \"" + whole + "\": " + text + " is not in the list (1-" + std::to_string(count) + ")"};
    }
    return v - 1;
}

}  // namespace

std::vector<size_t> ParseSelection(const std::string& text, size_t count) {
    std::vector<size_t> chosen;
    std::set<size_t> seen;
    size_t pos = 0;
    for (;;) {
        const size_t comma = text.find(',', pos);
        const std::string part = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        const size_t dash = part.find('-');
        const size_t first = ParseIndex(part.substr(0, dash), text, count);
        const size_t last = dash == std::string::npos ? first : ParseIndex(part.substr(dash + 1), text, count);
        if (last < first) throw UsageError{"--select \"" + text + "\": the range " + part + " runs backwards"};
        for (size_t i = first; i <= last; i++) {
            if (seen.insert(i).second) chosen.push_back(i);
        }
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return chosen;
}
