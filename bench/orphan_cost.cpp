// What the orphan scan costs on a full-size volume.
//
// Formats a sparse image of 976,773,168 sectors with 4096 sectors per
// cluster, fills every cluster of the ring with directory and index items of
// 50-cluster recordings (written straight into the two areas), and makes
// every tenth recording lose its first cluster, as a ring that wrapped over
// it would. Then it scans the partition from a cold sector cache and prints
// the time, the transfers the disk-access library performed and what it
// found. The first scan also starts from a cold page cache.
//
// Usage: bench_orphan_cost [folder for the temporary image, default /tmp]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "DiskIOCtl.h"
#include "disk.h"
#include "kxtime.h"
#include "meta/meta.h"
#include "platform/clock.h"
#include "volume/volume.h"

namespace {

constexpr uint64_t FULL_SECTORS = 976773168;
constexpr uint32_t SPC = 4096;
constexpr uint64_t PART_START = 2048;
constexpr uint32_t RECORD_CLUSTERS = 50;
constexpr uint32_t LOST_EVERY = 10;

bool fail(const char* what) {
    fprintf(stderr, "bench_orphan_cost: %s\n", what);
    return false;
}

bool make_volume(const std::string& image) {
    if (FILE* f = fopen(image.c_str(), "wb")) {
        fclose(f);
    } else {
        return fail("cannot create the image");
    }
    std::filesystem::resize_file(image, FULL_SECTORS * 512);
    ide_set_disk_paths({image});
    ide_set_read_only(false);
    if (ide_init() != 0) return fail("ide_init failed");
    kx_set_log_stream(nullptr);
    kx_set_fs_adapt(1);
    pc_clock_set_fake({2009, 6, 1, 0, 0, 0}, 1000);
    init_buf_pool();
    const kx_partition parts[4] = {{PART_START, FULL_SECTORS - PART_START}, {0, 0}, {0, 0}, {0, 0}};
    if (kx_write_partitions(0, parts) != 0) return fail("kx_write_partitions failed");
    if (kx_format_driver(0, 0, SPC) != 0) return fail("kx_format_driver failed");
    int count = 0;
    packed_time shutdown = 0;
    if (kx_file_sys_init(&count, &shutdown) != 0 || count != 1) return fail("the volume did not mount");
    return true;
}

// The items of every ring cluster: recordings of RECORD_CLUSTERS clusters on
// eight channels in turn, one pass full; every LOST_EVERY-th recording's
// first cluster was cleared. `expect` gets the orphaned tails.
struct tally {
    uint64_t chains = 0, clusters = 0;
};

bool fill_ring(kx_driver* pdp, tally* expect) {
    const uint32_t n = pdp->total_clus;
    std::vector<uint8_t> dir(((uint64_t)n + 15) / 16 * 512), index(((uint64_t)n + 511) / 512 * 512);
    disk_read(pdp->disk_no, (uint32_t)(index.size() / 512), pdp_sector(pdp, pdp->index_off), index.data());
    const packed_time t0 = make_packed_time(2009, 6, 1, 0, 0, 0);
    for (uint32_t c = pdp->rev_clus; c < n; c++) {
        const uint32_t r = (c - pdp->rev_clus) / RECORD_CLUSTERS, k = (c - pdp->rev_clus) % RECORD_CLUSTERS;
        const uint32_t first = c - k, last = std::min(first + RECORD_CLUSTERS, n) - 1;
        const bool lost = k == 0 && r % LOST_EVERY == LOST_EVERY - 1;
        if (lost && last > first) {
            expect->chains++;
            expect->clusters += last - first;
        }
        kx_dir_item it{};
        make_dir_item(&it, r % 8, 2, 0, 2, k == 0 ? ITEM_FIRST : ITEM_FOLLOW, k == 0 ? 0 : c - 1, first,
                      (uint16_t)(k == 0 ? last - first : k), 0);
        if (lost) it = kx_dir_item{};
        it.start_time = it.end_time = time_add(t0, (int32_t)(c - pdp->rev_clus) * 60);
        it.down_clus = c == last ? 0 : c + 1;
        dir_item_encode(&it, &dir[(size_t)c * 32]);
        make_index_item(&index[c], r % 8, k == 0 && !lost ? CLUS_TYPE_START : CLUS_TYPE_FOLLOW);
    }
    for (size_t s = 0; s < dir.size() / 512; s += 2048) {
        const uint32_t count = (uint32_t)std::min<size_t>(2048, dir.size() / 512 - s);
        if (disk_write(pdp->disk_no, count, pdp_sector(pdp, pdp->dir_off) + s, &dir[s * 512]))
            return fail("write");
    }
    if (disk_write(pdp->disk_no, (uint32_t)(index.size() / 512), pdp_sector(pdp, pdp->index_off),
                   index.data()))
        return fail("write");
    pdp->current_cluster = n - 1;
    return true;
}

void drop_page_cache(const std::string& image) {
    const int fd = open(image.c_str(), O_RDONLY);
    if (fd < 0) return;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
}

int count_chain(void* ctx, const kx_orphan* o, const uint32_t*) {
    tally* t = static_cast<tally*>(ctx);
    t->chains++;
    t->clusters += o->clusters;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string base = argc > 1 ? argv[1] : "/tmp";
    char tmpl[4096];
    snprintf(tmpl, sizeof tmpl, "%s/bench_orphan_cost.XXXXXX", base.c_str());
    if (mkdtemp(tmpl) == nullptr) return fail("mkdtemp failed"), 1;
    const std::string dir = tmpl;
    bool ok = make_volume(dir + "/full.img");
    kx_driver* pdp = ok ? get_pdp(0, 0) : nullptr;
    tally expect;
    ok = ok && pdp != nullptr && fill_ring(pdp, &expect);
    if (ok) {
        const uint32_t ring = pdp->total_clus - pdp->rev_clus;
        printf("volume %llu sectors, %u sectors per cluster, %u clusters (%u in the ring)\n",
               (unsigned long long)FULL_SECTORS, SPC, pdp->total_clus, ring);
        printf("areas: index %u sectors, directory %u sectors\n", (pdp->total_clus + 511) / 512,
               (pdp->total_clus + 15) / 16);
        for (int round = 1; round <= 3; round++) {
            // The first round also starts from a cold page cache.
            sync_disk(0);
            if (round == 1) drop_page_cache(dir + "/full.img");
            init_buf_pool();
            ide_reset_counters();
            tally t;
            const auto t0 = std::chrono::steady_clock::now();
            const int r = kx_orphan_scan(0, 0, count_chain, &t);
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            const ide_counters c = ide_get_counters(0);
            printf(
                "round %d: result %d, %llu chains of %llu clusters, %.1f ms, %llu reads, %llu sectors (%.2f "
                "MiB)\n",
                round, r, (unsigned long long)t.chains, (unsigned long long)t.clusters, ms,
                (unsigned long long)c.reads, (unsigned long long)c.read_sectors, c.read_sectors / 2048.0);
            if (r != 0 || t.chains != expect.chains || t.clusters != expect.clusters)
                ok = fail("unexpected chains");
        }
    }
    std::filesystem::remove_all(dir);
    return ok ? 0 : 1;
}
