// Finding the machine's disks when the host names none: every block device of
// /sys/block is a position, and a device that holds the PC's own mounted file
// systems (or active swap) is passed over, so that the recorder's file-system
// code can never write to it.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "disk_table.h"

namespace {

std::string g_root;  // "" on the machine itself

std::string sys_block() { return g_root + "/sys/block/"; }

std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Kernel names (sda1, dm-0, ...) of the devices that back mounted file
// systems or active swap areas.
std::set<std::string> devices_in_use() {
    std::set<std::string> names;
    auto add_source = [&](const std::string& source) {
        if (source.rfind("/dev/", 0) != 0) return;
        char real[PATH_MAX];
        std::string resolved = realpath(source.c_str(), real) ? real : source;
        names.insert(resolved.substr(resolved.rfind('/') + 1));
    };
    std::ifstream mounts(g_root + "/proc/self/mounts");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string source;
        fields >> source;
        add_source(source);
    }
    std::ifstream swaps(g_root + "/proc/swaps");
    std::getline(swaps, line);  // heading
    while (std::getline(swaps, line)) {
        std::istringstream fields(line);
        std::string source;
        fields >> source;
        add_source(source);
    }
    return names;
}

// True when the kernel device `name` (whose sysfs folder is `dir`) is in use,
// directly or through a device stacked on it (device mapper, RAID).
bool busy(const std::string& name, const std::string& dir, const std::set<std::string>& in_use,
          int depth) {
    if (in_use.count(name)) return true;
    if (depth > 8) return false;  // holder chains are short; guard against a loop
    for (const std::string& holder : list_dir(dir + "/holders")) {
        if (busy(holder, sys_block() + holder, in_use, depth + 1)) return true;
    }
    return false;
}

bool disk_busy(const std::string& name, const std::set<std::string>& in_use) {
    std::string dir = sys_block() + name;
    if (busy(name, dir, in_use, 0)) return true;
    for (const std::string& entry : list_dir(dir)) {
        if (exists(dir + "/" + entry + "/partition") && busy(entry, dir + "/" + entry, in_use, 0)) {
            return true;
        }
    }
    return false;
}

uint64_t sysfs_size(const std::string& name) {
    std::ifstream size_file(sys_block() + name + "/size");
    uint64_t sectors = 0;
    size_file >> sectors;
    return sectors;
}

}  // namespace

void ide_set_system_root(const std::string& root) { g_root = root; }

std::vector<ide_position> ide_discover_block_devices(void) {
    std::vector<ide_position> positions;
    std::set<std::string> in_use = devices_in_use();
    for (const std::string& name : list_dir(sys_block())) {
        if (name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) continue;
        if (sysfs_size(name) == 0) continue;
        if (positions.size() == IDE_MAX_DISKS) break;
        positions.push_back({"/dev/" + name, disk_busy(name, in_use)});
    }
    return positions;
}
