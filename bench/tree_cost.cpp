// What the mount's tree costs in disk reads: mounting, a partition's folder
// (its days) and each day's folder (its channels and their recordings), each
// from a cold sector cache, against one channel's listing of the same day.
//
// Usage: bench_tree_cost IMAGE   (e.g. one made by kxmkdisk --preset bench-list)
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "DiskIOCtl.h"
#include "core/mounttree.h"
#include "core/startup.h"
#include "volume/volume.h"

namespace {

struct cost {
    uint64_t reads, sectors;
    double ms;
};

template <typename F>
cost measure(F&& step) {
    init_buf_pool();  // a cold sector cache
    ide_reset_counters();
    const auto t0 = std::chrono::steady_clock::now();
    step();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    const ide_counters n = ide_get_counters(0);
    return cost{n.reads, n.read_sectors, ms};
}

void print(const char* what, const std::string& name, size_t entries, const cost& c) {
    printf("%-18s %-28s %8zu %10llu %10llu %9.1f\n", what, name.c_str(), entries, (unsigned long long)c.reads,
           (unsigned long long)c.sectors, c.ms);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: bench_tree_cost IMAGE\n");
        return 2;
    }
    kx_set_log_stream(nullptr);
    const cost start = measure([&] { InitLibrary(StartupOptions{{argv[1]}, true}); });
    printf("%-18s %-28s %8s %10s %10s %9s\n", "step", "folder", "entries", "reads", "sectors", "ms");
    print("library start-up", "", 0, start);
    std::vector<CMountTree::Node> root, days, entries;
    CMountTree* tree = nullptr;
    const cost mount = measure([&] {
        tree = new CMountTree(0);
        tree->List("/", &root);
    });
    print("tree and root", "/", root.size(), mount);
    if (root.empty()) return 1;
    const std::string part = "/" + root[0].name;
    const cost partition = measure([&] { tree->List(part, &days); });
    print("partition", part, days.size(), partition);
    for (size_t i = 0; i + 1 < days.size(); i += days.size() / 4 + 1) {
        const std::string day = part + "/" + days[i].name;
        size_t records = 0;
        const cost c = measure([&] {
            tree->List(day, &entries);
            for (const CMountTree::Node& ch : std::vector<CMountTree::Node>(entries)) {
                std::vector<CMountTree::Node> files;
                tree->List(day + "/" + ch.name, &files);
                records += files.size();
            }
        });
        print("day (64 channels)", days[i].name + " " + std::to_string(entries.size()) + " ch", records, c);
        kx_find_record r{};
        size_t one = 0;
        const std::string path = "/mnt/idea0/" + days[i].name + "/001/*";
        const cost single = measure([&] {
            const intptr_t h = kx_findfirst(path.c_str(), &r);
            for (int more = h > 0 ? 0 : -1; more == 0; more = kx_findnext(h, &r)) one++;
            if (h > 0) kx_findclose(h);
        });
        print("one channel", days[i].name + " 001", one, single);
    }
    delete tree;
    return 0;
}
