#include "base.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "adapt/adapt.h"
#include "core/workarea.h"
#include "kxtime.h"
#include "platform/clock.h"
#include "support/record_layout.h"
#include "volume/volume.h"

namespace {

constexpr uint32_t SPC = 4;  // 2 KiB clusters: short reads
// Clusters in each partition's recording ring: a second time section exists
// only in a ring of more than 256 clusters.
constexpr uint32_t RING = 400;
const pc_local_time START = {2009, 5, 30, 22, 0, 0};

std::string g_path;
fuzz_layout g_layout;

[[noreturn]] void die(const char* what) {
    fprintf(stderr, "fuzz base disk: %s\n", what);
    abort();
}

packed_time at(int day, int hour, int minute) {
    return time_add(make_packed_time(2009, 5, 30, hour, minute, 0), day * 86400);
}

// Partition 0: channels 0-2 over five days, more clusters than the ring
// holds, records across midnight and records with "KXII" headers; closed.
void record_closed(kx_driver* pdp) {
    RecordLayout layout(pdp);
    std::vector<layout_record> batch;
    for (int i = 0; i < 90; i++) {
        const packed_time start = time_add(at(0, 22, 0), i * 5300);
        layout_record r =
            make_record((uint8_t)(i % 3), start, time_add(start, 1500), 3 + i % 6, (uint16_t)(i % SPC));
        if (i % 4 == 1) r.kxii_bytes = 2 * 512;
        if (i % 5 == 2) r.head_sectors = 1;
        if (i % 7 == 3) r.media_type = 0;
        r.record_kind = (uint8_t)(i % 6);
        batch.push_back(r);
    }
    layout.write(batch);
    if (pdp->start_cluster2 == 0) die("the ring did not wrap");
    pdp->status = KX_STATUS_CLOSED;
    if (save_pdp(pdp) != 0) die("cannot save partition 0");
}

// Partition 1: two channels recording side by side, one of them cut off
// while writing (its last link left open); the volume stays open.
void record_open(kx_driver* pdp) {
    RecordLayout layout(pdp);
    std::vector<layout_record> batch;
    for (int i = 0; i < 6; i++) {
        const packed_time start = time_add(at(2, 8, 0), i * 1800);
        batch.push_back(make_record((uint8_t)(i % 2), start, time_add(start, 1700), 3, 5));
    }
    batch.back().open = true;
    layout.write(batch);
}

fuzz_area cluster_items(const kx_driver* pdp, uint64_t start, uint32_t off) {
    return {start + off + pdp->rev_clus / 16, (pdp->total_clus - pdp->rev_clus + 15) / 16 + 1};
}

void note_layout(int part, const kx_driver* pdp) {
    const uint64_t s = pdp->start_sector;
    g_layout.descriptor[part] = {s + KX_TEMP_OFF, 5};
    g_layout.dir[part] = cluster_items(pdp, s, pdp->dir_off);
    g_layout.second_dir[part] = cluster_items(pdp, s, pdp->second_dir);
    g_layout.index[part] = {s + pdp->index_off, (pdp->total_clus + 511) / 512};
    g_layout.user_data[part] = {s + pdp->ud_off, 2};
    g_layout.data[part] = {s + pdp->data_off + (uint64_t)pdp->rev_clus * SPC,
                           (pdp->total_clus - pdp->rev_clus) * SPC};
}

void build() {
    const int fd = memfd_create("tarvik-fuzz-disk", 0);
    if (fd < 0) die("memfd_create failed");
    const uint64_t part = ring_part_sectors(SPC, RING);
    if (ftruncate(fd, (off_t)((2048 + 2 * part + 64) * 512)) != 0) die("cannot size the disk");
    g_path = "/proc/self/fd/" + std::to_string(fd);

    kx_set_log_stream(nullptr);
    ide_set_disk_paths({g_path});
    ide_set_read_only(false);
    ide_init();
    pc_clock_set_fake(START, 1000000);
    kx_set_fs_adapt(1);
    const kx_partition table[4] = {{2048, part}, {2048 + part, part}, {0, 0}, {0, 0}};
    if (kx_write_partitions(0, table) != 0) die("cannot write the partition table");
    for (int j = 0; j < 2; j++)
        if (kx_format_driver(0, j, SPC) != 0) die("cannot format");
    if (fuzz_mount() != 2) die("the formatted partitions do not mount");
    record_closed(get_pdp(0, 0));
    record_open(get_pdp(0, 1));
    if (sync_disk(0) != 0) die("cannot write the disk");
    for (int j = 0; j < 2; j++) note_layout(j, get_pdp(0, j));
}

}  // namespace

const fuzz_layout& fuzz_base(void) {
    if (g_path.empty()) build();
    return g_layout;
}

void fuzz_reset(void) {
    fuzz_base();
    // Messages are formatted (the dumps are under test) and dropped.
    kx_set_log_callback([](void*, const char*) {}, nullptr);
    kx_set_hooks(nullptr);
    ide_set_disk_paths({g_path});
    ide_set_read_only(true);
    ide_clear_faults();
    ide_init();
    pc_clock_set_fake(START, 1000000);
    kx_set_fs_adapt(1);
}

void fuzz_end(void) {
    ide_init();
}

void fuzz_put(uint64_t lba, size_t off, const uint8_t* bytes, size_t len) {
    uint8_t sector[512];
    if (off >= sizeof sector || ide_read64(0, 1, (uint32_t)lba, (uint32_t)(lba >> 32), sector) != 0) return;
    memcpy(sector + off, bytes, std::min(len, sizeof sector - off));
    ide_write64(0, 1, (uint32_t)lba, (uint32_t)(lba >> 32), sector);
}

void fuzz_patch(const uint8_t* data, size_t size, const std::vector<fuzz_area>& areas) {
    while (size >= 6 && !areas.empty()) {
        const fuzz_area& a = areas[data[0] % areas.size()];
        const uint32_t sector = (uint32_t)(data[1] | data[2] << 8) % a.sectors;
        const size_t off = (size_t)(data[3] | data[4] << 8) % 512;
        const size_t len = std::min<size_t>(data[5], size - 6);
        fuzz_put(a.lba + sector, off, data + 6, len);
        data += 6 + len;
        size -= 6 + len;
    }
}

int fuzz_mount(packed_time shutdown) {
    int count = 0;
    kx_file_sys_init(&count, &shutdown);
    return count;
}

std::vector<std::string> fuzz_list(const std::string& path) {
    std::vector<std::string> names;
    kx_find_record rec{};
    const intptr_t h = kx_findfirst(path.c_str(), &rec);
    if (h == -1) return names;
    // A listing has at most one entry per cluster and per day; more means
    // the listing goes round in circles.
    for (int i = 0; i < 4096; i++) {
        names.emplace_back(rec.name, strnlen(rec.name, sizeof rec.name));
        if (kx_findnext(h, &rec) != 0) break;
        if (i == 4095) die("a listing that does not end");
    }
    kx_findclose(h);
    return names;
}

void fuzz_roots(void) {
    for (int p = 0; p < 4; p++) {
        driver_info info;
        kx_get_driver_info(0, p, &info);
        fuzz_read_path("/mnt/idea" + std::to_string(p) + "/DVRWorkDirectory");
        fuzz_list("/mnt/idea" + std::to_string(p));
    }
}

uint64_t fuzz_read_path(const std::string& path) {
    KXFILE f = kx_fopen(path.c_str(), "rb");
    if (f == nullptr) return 0;
    static uint8_t buf[40000];
    uint64_t sum = 0;
    for (size_t piece = 700;; piece = piece * 7 % sizeof buf + 1) {
        const size_t got = kx_fread(buf, 1, piece, f);
        for (size_t i = 0; i < got; i += 509) sum += buf[i];
        if (got < piece) break;
    }
    if (kx_fseek(f, 0, SEEK_SET) == 0 && kx_fread(buf, 1, 16, f) > 0) sum += buf[0];
    // Positional reads never run past the size a whole read delivers.
    const int64_t size = kx_fsize(f);
    if (size > 0 && kx_fpread(f, buf, sizeof buf, uint64_t(size) - 1) > 1)
        die("a positional read past the end");
    kx_fclose(f);
    return sum;
}

uint64_t fuzz_walk(int part, uint8_t pick) {
    const std::string root = "/mnt/idea" + std::to_string(part);
    const std::vector<std::string> days = fuzz_list(root);
    if (days.empty()) return 0;
    char dir[160];
    snprintf(dir, sizeof dir, "%s/%s/%03d/", root.c_str(), days[pick % days.size()].c_str(),
             (pick >> 3) % 4 + 1);
    uint64_t sum = 0;
    const std::vector<std::string> names = fuzz_list(std::string(dir) + "*");
    for (size_t i = 0; i < names.size(); i++) {
        // The first and the last record of the listing are read whole; the
        // others are opened and read at their head and at their end.
        if (i == 0 || i + 1 == names.size()) {
            sum += fuzz_read_path(dir + names[i]);
        } else if (KXFILE f = kx_fopen((dir + names[i]).c_str(), "rb")) {
            uint8_t head[600];
            sum += kx_fread(head, 1, sizeof head, f);
            if (kx_fseek(f, -100, SEEK_END) == 0) sum += kx_fread(head, 1, sizeof head, f);
            kx_fclose(f);
        }
    }
    // The partition's work areas as a mount and `workfiles` show them: the
    // head of each file, read at odd offsets, never past its size.
    static uint8_t buf[4099];
    for (const WorkFile& w : CWorkArea::List(0, part)) {
        std::unique_ptr<CSourceFile> f = CWorkArea::Open(w);
        for (uint64_t at = 1; f && at < f->Size() && at < (1u << 20); at += 65537) {
            const int64_t n = f->Read(buf, sizeof buf, at);
            if (n < 0) break;
            if (n == 0 || uint64_t(n) > f->Size() - at) die("a work file read outside its size");
            sum += buf[0];
        }
    }
    return sum;
}
