// The disk table: which devices are the disks, opening them, their capacities
// and the information and bookkeeping entries.
#include <cerrno>
#include <cstdlib>

#include "disk_table.h"

namespace {

std::vector<std::string> g_configured_paths;
bool g_read_only = false;

ide_disk g_disks[IDE_MAX_DISKS];
disk_info g_info{};

std::vector<std::string> split_paths(const char* list) {
    std::vector<std::string> paths;
    std::string text = list;
    size_t start = 0;
    while (start <= text.size()) {
        size_t colon = text.find(':', start);
        if (colon == std::string::npos) colon = text.size();
        if (colon > start) paths.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
    return paths;
}

// The positions in order: the host's paths, else TARVIK_DISKS, else the
// machine's block devices. Named paths are all present and none is skipped.
std::vector<ide_position> find_positions() {
    const std::vector<std::string> named = ide_named_paths();
    if (named.empty()) return ide_discover_block_devices();
    std::vector<ide_position> positions;
    for (const std::string& path : named) {
        if (positions.size() == IDE_MAX_DISKS) break;
        positions.push_back({path, false});
    }
    return positions;
}

// A writable plain file or device is written unless the host asked for
// read-only mode; every other disk keeps its writes in the overlay. A disk
// the host may write but that refuses it keeps the reason.
void open_disk(ide_disk& disk, const std::string& path) {
    disk.path = path;
    disk.image = ide_open_image(path, !g_read_only, &disk.open_error);
    if (!disk.image) return;
    disk.read_only = !disk.image->writable();
    disk.write_refused = disk.image->write_refused();
    disk.capacity = disk.image->size() / IDE_SECTOR_SIZE;
}

void close_all() {
    for (ide_disk& disk : g_disks) disk = ide_disk{};
    g_info = disk_info{};
}

}  // namespace

ide_disk* ide_find_disk(uint32_t disk_no) {
    return disk_no < g_info.disk_num ? &g_disks[disk_no] : nullptr;
}

namespace {
ide_disk* disk_by_number(int disk) {
    return disk < 0 ? nullptr : ide_find_disk(static_cast<uint32_t>(disk));
}
}  // namespace

void ide_set_disk_paths(const std::vector<std::string>& paths) { g_configured_paths = paths; }

std::vector<std::string> ide_named_paths(void) {
    if (!g_configured_paths.empty()) return g_configured_paths;
    const char* env = std::getenv("TARVIK_DISKS");
    return env ? split_paths(env) : std::vector<std::string>();
}

void ide_set_read_only(bool on) { g_read_only = on; }

int ide_init(void) {
    close_all();
    ide_load_env_faults();
    std::vector<ide_position> positions = find_positions();
    for (size_t p = 0; p < positions.size(); p++) {
        g_info.present_mask |= 1u << p;
        if (positions[p].skipped) {
            g_info.skip_mask |= 1u << p;
            continue;
        }
        ide_disk& disk = g_disks[g_info.disk_num];
        open_disk(disk, positions[p].path);
        g_info.capa[g_info.disk_num] = disk.capacity;
        g_info.disk_num++;
    }
    g_info.channel_num = static_cast<uint32_t>((positions.size() + 1) / 2);
    return 0;
}

int ide_getinfo64(disk_info* info) {
    if (!info) return -1;
    *info = g_info;
    return static_cast<int>(g_info.disk_num);
}

std::string ide_disk_path(int disk) {
    const ide_disk* d = disk_by_number(disk);
    return d ? d->path : std::string();
}

bool ide_disk_is_read_only(int disk) {
    const ide_disk* d = disk_by_number(disk);
    return d && d->read_only;
}

int ide_disk_write_refused(int disk) {
    const ide_disk* d = disk_by_number(disk);
    return d ? d->write_refused : 0;
}

bool ide_disk_is_open(int disk) {
    const ide_disk* d = disk_by_number(disk);
    return d && d->image;
}

bool ide_write_refusal(int error) { return error == EROFS || error == EPERM || error == EACCES; }

void ide_hint_sequential(int disk, bool on) {
    const ide_disk* d = disk_by_number(disk);
    if (d && d->image) d->image->hint_sequential(on);
}

// Image files and today's disks need no spin-up; only the call is counted.
int ide_wakeup(int disk) {
    ide_disk* d = disk_by_number(disk);
    if (d) d->counters.wakeups++;
    return 0;
}

ide_counters ide_get_counters(int disk) {
    const ide_disk* d = disk_by_number(disk);
    return d ? d->counters : ide_counters{};
}

void ide_reset_counters(void) {
    for (ide_disk& disk : g_disks) disk.counters = ide_counters{};
}
