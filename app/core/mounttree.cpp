#include "core/mounttree.h"

#include <cerrno>
#include <cstdio>
#include <set>

#include "core/disks.h"
#include "core/search.h"
#include "core/timevalue.h"
#include "core/workarea.h"

namespace {

// Channel directories run from 001 to 064: the recorder keeps six bits of
// channel in its directory items.
constexpr int kChannels = 64;
const char* const kWorkFolder = "_recorder";

std::vector<std::string> split(const std::string& path) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at < path.size()) {
        const size_t slash = path.find('/', at);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > at) parts.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

std::string partition_root(int disk, int partition) {
    char root[32];
    snprintf(root, sizeof root, "/mnt/ide%c%d", 'a' + disk, partition);
    return root;
}

CMountTree::Node folder_node(const std::string& name, int64_t mtime) {
    CMountTree::Node n;
    n.name = name;
    n.directory = true;
    n.mtime = mtime;
    return n;
}

// "YYYY-MM-DD" of a day listing entry, the date of a recording's start.
std::string date_text(const LocalDateTime& t) {
    char text[32];
    snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
    return text;
}

const CMountTree::Node* find(const std::vector<CMountTree::Node>& folder, const std::string& name) {
    for (const CMountTree::Node& n : folder)
        if (n.name == name) return &n;
    return nullptr;
}

}  // namespace

CMountTree::CMountTree(int64_t now) : m_now(now) {
    for (const DiskReport& d : DescribeDisks()) {
        for (const PartitionReport& p : d.partitions) {
            if (!p.mounted) continue;
            char name[32];
            snprintf(name, sizeof name, "Disk%02d_Part%02d", d.index, p.index);
            m_root.push_back(folder_node(name, now));
            m_partitions[name] = {d.index, p.index};
        }
    }
}

CMountTree::Folder CMountTree::ListDays(int disk, int partition) {
    Folder days;
    kx_find_record entry{};
    const intptr_t h = kx_findfirst(partition_root(disk, partition).c_str(), &entry);
    for (int more = h > 0 ? 0 : -1; more == 0; more = kx_findnext(h, &entry)) {
        entry.name[sizeof entry.name - 1] = '\0';
        days.push_back(folder_node(entry.name, m_now));
    }
    if (h > 0) kx_findclose(h);
    days.push_back(folder_node(kWorkFolder, m_now));
    return days;
}

// The work area's files, with the player files in a folder of their own.
void CMountTree::ListWorkArea(const std::string& key, int disk, int partition) {
    Folder files, player;
    for (const WorkFile& w : CWorkArea::List(disk, partition)) {
        Node n;
        n.size = w.size;
        n.mtime = m_now;
        n.adapterPath = w.adapterPath;
        n.text = w.text;
        const bool inPlayer = w.name.rfind("player/", 0) == 0;
        n.name = inPlayer ? w.name.substr(7) : w.name;
        (inPlayer ? player : files).push_back(n);
    }
    files.push_back(folder_node("player", m_now));
    m_folders[key + "/player"] = std::move(player);
    m_folders[key] = std::move(files);
}

// A day folder holds the channels whose recordings start on that day; each
// channel folder those recordings. A channel's listing of the day also shows
// a recording that started the day before and runs past midnight: it stays
// under its own start day, as in a download.
void CMountTree::ListDay(const std::string& key, int disk, int partition, const std::string& day) {
    Folder channels;
    const std::string root = partition_root(disk, partition);
    for (int c = 1; c <= kChannels; c++) {
        char chan[8];
        snprintf(chan, sizeof chan, "%03d", c);
        Folder records;
        std::set<uint32_t> clusters;
        kx_find_record e{};
        const intptr_t h = kx_findfirst((root + "/" + day + "/" + chan + "/*").c_str(), &e);
        for (int more = h > 0 ? 0 : -1; more == 0; more = kx_findnext(h, &e)) {
            e.name[sizeof e.name - 1] = '\0';
            if (date_text(BreakTimeValue(e.start_time64)) != day) continue;
            uint32_t first = 0;
            if (!RecordFirstCluster(e.name, &first) || !clusters.insert(first).second) continue;
            if (find(records, e.name) != nullptr) continue;
            Node n;
            n.name = e.name;
            n.size = e.size;
            n.mtime = e.start_time64;
            n.adapterPath = root + "/" + day + "/" + chan + "/" + e.name;
            records.push_back(n);
        }
        if (h > 0) kx_findclose(h);
        if (records.empty()) continue;
        channels.push_back(folder_node(chan, m_now));
        m_folders[key + "/" + chan] = std::move(records);
    }
    m_folders[key] = std::move(channels);
}

const CMountTree::Folder* CMountTree::Partition(const std::string& name) {
    const auto p = m_partitions.find(name);
    if (p == m_partitions.end()) return nullptr;
    auto it = m_folders.find(name);
    if (it == m_folders.end())
        it = m_folders.emplace(name, ListDays(p->second.first, p->second.second)).first;
    return &it->second;
}

const CMountTree::Folder* CMountTree::Day(const std::string& partition, const std::string& day) {
    const Folder* days = Partition(partition);
    const Node* node = days != nullptr ? find(*days, day) : nullptr;
    if (node == nullptr) return nullptr;
    const std::string key = partition + "/" + day;
    auto it = m_folders.find(key);
    if (it != m_folders.end()) return &it->second;
    const auto [disk, part] = m_partitions[partition];
    if (day == kWorkFolder)
        ListWorkArea(key, disk, part);
    else
        ListDay(key, disk, part, day);
    return &m_folders[key];
}

// The folder that parts names: the root, a partition, a day (or the work
// area), or what those listings stored below them.
const CMountTree::Folder* CMountTree::FolderAt(const std::vector<std::string>& parts, int* error) {
    *error = -ENOENT;
    if (parts.empty()) return &m_root;
    if (parts.size() == 1) return Partition(parts[0]);
    const Folder* day = Day(parts[0], parts[1]);
    if (day == nullptr || parts.size() == 2) return day;
    std::string key = parts[0];
    for (size_t i = 1; i < parts.size(); i++) key += "/" + parts[i];
    const auto it = m_folders.find(key);
    if (it != m_folders.end()) return &it->second;
    // A file of a folder is not a folder itself.
    std::vector<std::string> parent(parts.begin(), parts.end() - 1);
    int ignored;
    const Folder* up = FolderAt(parent, &ignored);
    if (up != nullptr && find(*up, parts.back()) != nullptr) *error = -ENOTDIR;
    return nullptr;
}

int CMountTree::Lookup(const std::string& path, Node* out) {
    const std::vector<std::string> parts = split(path);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (parts.empty()) {
        *out = folder_node("/", m_now);
        return 0;
    }
    int error;
    const Folder* parent = FolderAt(std::vector<std::string>(parts.begin(), parts.end() - 1), &error);
    if (parent == nullptr) return error;
    const Node* n = find(*parent, parts.back());
    if (n == nullptr) return -ENOENT;
    *out = *n;
    return 0;
}

int CMountTree::List(const std::string& path, std::vector<Node>* out) {
    const std::vector<std::string> parts = split(path);
    std::lock_guard<std::mutex> lock(m_mutex);
    int error;
    const Folder* folder = FolderAt(parts, &error);
    if (folder == nullptr) return error;
    *out = *folder;
    return 0;
}

int CMountTree::Open(const std::string& path, std::unique_ptr<CSourceFile>* out) {
    Node n;
    const int r = Lookup(path, &n);
    if (r != 0) return r;
    if (n.directory) return -EISDIR;
    *out =
        n.adapterPath.empty() ? CSourceFile::FromText(n.text) : CSourceFile::OpenPath(n.adapterPath, n.size);
    return *out ? 0 : -EIO;
}
