// What listing one channel's day costs in disk reads.
//
// Lays out thousands of short recordings on a full-size recorder volume (a
// sparse image of 976,773,168 sectors, 4096 sectors per cluster) with the
// library's own writer, then lists one channel's day directory for days that
// hold few and many of that channel's recordings, counting the transfers the
// disk-access library performs from a cold sector cache. The same recordings
// on a volume an eighth of the size show that the cost follows the day's
// recordings, not the size of the volume.
//
// Usage: bench_list_cost [folder for the temporary images, default /tmp]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "DiskIOCtl.h"
#include "adapt/adapt.h"
#include "file/file.h"
#include "kxtime.h"
#include "platform/clock.h"
#include "volume/volume.h"

namespace {

constexpr uint64_t FULL_SECTORS = 976773168;
constexpr uint32_t SPC = 4096;
constexpr uint64_t PART_START = 2048;
constexpr int DAYS = 10;
constexpr int NOISE_CHANNELS = 7;       // channels 2-8 record all day long
constexpr int NOISE_PER_CHANNEL = 150;  // recordings per noise channel and day
// Recordings of channel 1 on each day: from a single one to hundreds.
constexpr int CHANNEL1_PER_DAY[DAYS] = {1, 2, 5, 10, 20, 50, 100, 200, 400, 800};

struct cost {
    int listed;
    uint64_t reads;
    uint64_t sectors;
};

bool fail(const char* what) {
    fprintf(stderr, "bench_list_cost: %s\n", what);
    return false;
}

void set_clock(int day, int32_t second_of_day) {
    const pc_local_time t = {2009, 6, day, second_of_day / 3600, second_of_day / 60 % 60, second_of_day % 60};
    pc_clock_set_fake(t, pc_tick_ms());
}

// One short recording as the recorder's writer leaves it: a header sector
// ("KXII", one sector) and one data sector, finished five seconds later.
bool record(int channel, int day, int32_t second_of_day) {
    static uint8_t sectors[2 * 512];
    memcpy(sectors, "KXII", 4);
    put_le32(sectors + 4, 512);
    set_clock(day, second_of_day);
    KXFILE h = adapter_alloc_handle();
    if (h == nullptr) return fail("no handle");
    packed_time now;
    get_local_time(&now);
    h->data_start = 512;
    file_write_setup(h, (uint8_t)channel, 2, 0, 2, now, 0, nullptr);
    const int r = kx_file_write(h, sectors, 2);
    set_clock(day, second_of_day + 5);
    kx_file_close(h);
    return r == 0 || fail("write failed");
}

// Every day: the noise channels and channel 1 in turn, evenly over the day.
bool lay_out(int* total) {
    for (int day = 1; day <= DAYS; day++) {
        const int n = NOISE_CHANNELS * NOISE_PER_CHANNEL + CHANNEL1_PER_DAY[day - 1];
        const int32_t step = 86000 / n;
        int ch1 = 0;
        for (int i = 0; i < n; i++) {
            // Channel 1's recordings spread among the others.
            const bool mine = (int64_t)(ch1 + 1) * n <= (int64_t)(i + 1) * CHANNEL1_PER_DAY[day - 1];
            const int channel = mine ? 0 : 1 + i % NOISE_CHANNELS;
            if (mine) ch1++;
            if (!record(channel, day, 60 + i * step)) return false;
        }
        *total += n;
    }
    return true;
}

bool make_volume(const std::string& image, uint64_t sectors) {
    if (FILE* f = fopen(image.c_str(), "wb")) {
        fclose(f);
    } else {
        return fail("cannot create the image");
    }
    std::filesystem::resize_file(image, sectors * 512);
    ide_set_disk_paths({image});
    ide_set_read_only(false);
    if (ide_init() != 0) return fail("ide_init failed");
    kx_set_log_stream(nullptr);
    kx_set_fs_adapt(1);
    pc_clock_set_fake({2009, 6, 1, 0, 0, 0}, 1000);
    init_buf_pool();
    const kx_partition parts[4] = {{PART_START, sectors - PART_START}, {0, 0}, {0, 0}, {0, 0}};
    if (kx_write_partitions(0, parts) != 0) return fail("kx_write_partitions failed");
    if (kx_format_driver(0, 0, SPC) != 0) return fail("kx_format_driver failed");
    int count = 0;
    packed_time shutdown = 0;
    if (kx_file_sys_init(&count, &shutdown) != 0 || count != 1) return fail("the volume did not mount");
    return true;
}

// Lists channel 1 of a day from a cold sector cache.
cost list_day(int day) {
    sync_disk(0);
    init_buf_pool();
    ide_reset_counters();
    char path[64];
    snprintf(path, sizeof path, "/mnt/idea0/2009-06-%02d/001/*", day);
    cost c = {0, 0, 0};
    kx_find_record rec{};
    const intptr_t h = kx_findfirst(path, &rec);
    if (h != -1) {
        do c.listed++;
        while (kx_findnext(h, &rec) == 0);
        kx_findclose(h);
    }
    const ide_counters n = ide_get_counters(0);
    c.reads = n.reads;
    c.sectors = n.read_sectors;
    return c;
}

bool measure(const std::string& image, uint64_t sectors, std::vector<cost>* out) {
    if (!make_volume(image, sectors)) return false;
    int total = 0;
    if (!lay_out(&total)) return false;
    const kx_driver* pdp = get_pdp(0, 0);
    printf("volume %llu sectors, %u clusters, %d recordings on %d days\n", (unsigned long long)sectors,
           pdp->total_clus, total, DAYS);
    for (int day = 1; day <= DAYS; day++) out->push_back(list_day(day));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string base = argc > 1 ? argv[1] : "/tmp";
    char tmpl[4096];
    snprintf(tmpl, sizeof tmpl, "%s/bench_list_cost.XXXXXX", base.c_str());
    if (mkdtemp(tmpl) == nullptr) {
        fail("mkdtemp failed");
        return 1;
    }
    const std::string dir = tmpl;
    std::vector<cost> full, small;
    const bool ok = measure(dir + "/full.img", FULL_SECTORS, &full) &&
                    measure(dir + "/small.img", FULL_SECTORS / 8, &small);
    std::filesystem::remove_all(dir);
    if (!ok) return 1;

    printf("\nlisting channel 1 of one day, cold sector cache\n");
    printf("%-12s %8s %12s %12s %14s %14s\n", "day", "records", "reads", "sectors", "reads (1/8)",
           "sectors (1/8)");
    for (int day = 1; day <= DAYS; day++) {
        const cost& a = full[day - 1];
        const cost& b = small[day - 1];
        printf("2009-06-%02d %8d %12llu %12llu %14llu %14llu\n", day, a.listed, (unsigned long long)a.reads,
               (unsigned long long)a.sectors, (unsigned long long)b.reads, (unsigned long long)b.sectors);
        if (a.listed != CHANNEL1_PER_DAY[day - 1] || b.listed != a.listed) {
            fprintf(stderr, "bench_list_cost: day %d listed %d and %d recordings, laid out %d\n", day,
                    a.listed, b.listed, CHANNEL1_PER_DAY[day - 1]);
            return 1;
        }
    }
    return 0;
}
