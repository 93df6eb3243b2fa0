#include "sample_disk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "DiskIOCtl.h"
#include "core/search.h"
#include "disk.h"
#include "file/file.h"
#include "kxfs.h"
#include "kxtime.h"
#include "meta/meta.h"
#include "platform/clock.h"
#include "volume/volume.h"

namespace {

constexpr uint64_t kFirstSector = 2048;
constexpr uint64_t kPartitionSectors = 65536;  // 32 MiB
constexpr uint32_t kSectorsPerCluster = 128;   // 64 KiB
// The header room the adapter reserves in front of a new record's data.
constexpr uint32_t kHeaderBytes = 0x40000;

bool Fail(std::string* error, const std::string& what) {
    *error = what;
    return false;
}

void SetClock(const SampleRecording& r, int plusSeconds) {
    const packed_time t = seconds_to_time(
        time_seconds(make_packed_time(r.year, r.month, r.day, r.hour, r.minute, r.second)) + plusSeconds);
    pc_clock_set_fake({static_cast<int>(pt_year(t)) + 2000, static_cast<int>(pt_month(t)), static_cast<int>(pt_day(t)),
                       static_cast<int>(pt_hour(t)), static_cast<int>(pt_minute(t)), static_cast<int>(pt_second(t))},
                      0);
}

std::string DayFolder(int disk, const SampleRecording& r) {
    char path[64];
    snprintf(path, sizeof path, "/mnt/ide%c%d/%04d-%02d-%02d/%03d", 'a' + disk, r.part, r.year, r.month, r.day,
             r.channel);
    return path;
}

bool WriteRecording(const SampleRecording& r, std::string* error) {
    SetClock(r, 0);
    char name[64];
    snprintf(name, sizeof name, "/%02d.%02d.%02d-%02d.%02d.%02d[R][@0][0].mvr", r.hour, r.minute, r.second, r.hour,
             r.minute, r.second);
    const std::string path = DayFolder(0, r) + name;
    KXFILE f = kx_fopen(path.c_str(), "wb");
    if (f == nullptr) return Fail(error, "cannot open " + path + " for writing");
    std::vector<uint8_t> data(r.bytes);
    for (uint32_t i = 0; i < r.bytes; i++) data[i] = SampleByte(r, i);
    // The record starts with its first write and ends with its last: the
    // first KiB goes at the start time, the rest at the end time.
    const size_t first = data.size() < 1024 ? data.size() : 1024;
    bool written = kx_fwrite(data.data(), 1, first, f) == first;
    SetClock(r, r.seconds);
    written = written && kx_fwrite(data.data() + first, 1, data.size() - first, f) == data.size() - first;
    // The recorder's header at the start of the first cluster: "KXII" and
    // the header length, which tells readers where the data begins.
    alignas(SECTOR_SIZE) uint8_t head[SECTOR_SIZE] = {'K', 'X', 'I', 'I'};
    put_le32(head + 4, kHeaderBytes);
    const bool stamped = written && disk_write(f->pdp->disk_no, 1, clus_sector(f->pdp, f->first_cluster), head) == 0;
    const bool closed = kx_fclose(f) == 0;
    if (!written || !stamped || !closed) return Fail(error, "writing " + path + " failed");
    return true;
}

}  // namespace

std::vector<SampleRecording> SampleDay(int count) {
    std::vector<SampleRecording> out;
    for (int i = 0; i < count; i++) {
        SampleRecording r;
        r.hour = 8 + i / 6;
        r.minute = i % 6 * 10;
        r.bytes = (8 + static_cast<uint32_t>(i)) * 1024;
        out.push_back(r);
    }
    return out;
}

uint8_t SampleByte(const SampleRecording& r, uint64_t offset) {
    const uint64_t salt = static_cast<uint64_t>(r.part * 7 + r.channel * 29 + r.day * 31 + r.hour * 37 + r.minute * 41);
    return static_cast<uint8_t>((offset * 131) ^ (offset >> 9) ^ salt);
}

bool MakeSampleDisk(const std::string& image, int partitions, const std::vector<SampleRecording>& recordings,
                    std::string* error) {
    const int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const uint64_t sectors = kFirstSector + kPartitionSectors * static_cast<uint64_t>(partitions) + 64;
    const bool sized = fd >= 0 && ftruncate(fd, static_cast<off_t>(sectors * SECTOR_SIZE)) == 0;
    if (fd >= 0) close(fd);
    if (!sized) return Fail(error, "cannot create " + image);

    ide_set_read_only(false);
    ide_set_disk_paths({image});
    ide_init();
    pc_clock_set_fake({2024, 1, 1, 0, 0, 0}, 0);
    kx_set_fs_adapt(1);
    int count = 0;
    packed_time shutdown = 0;
    kx_file_sys_init(&count, &shutdown);  // a blank disk: no volume yet
    kx_partition table[4] = {};
    for (int p = 0; p < partitions && p < 4; p++) table[p] = {kFirstSector + kPartitionSectors * p, kPartitionSectors};
    if (kx_write_partitions(0, table) != 0) return Fail(error, "writing the partition table failed");
    for (int p = 0; p < partitions && p < 4; p++) {
        if (kx_format_driver(0, p, kSectorsPerCluster) != 0) return Fail(error, "formatting failed");
    }
    if (kx_file_sys_init(&count, &shutdown) != 0 || count != partitions) return Fail(error, "the volumes do not mount");
    for (const SampleRecording& r : recordings) {
        if (!WriteRecording(r, error)) return false;
    }
    for (int p = 0; p < partitions && p < 4; p++) {
        if (save_pdp(get_pdp(0, p)) != 0) return Fail(error, "saving a volume descriptor failed");
    }
    return true;
}

bool SampleDataSector(int disk, const SampleRecording& r, uint64_t* sector) {
    char start[16];
    snprintf(start, sizeof start, "%02d.%02d.%02d-", r.hour, r.minute, r.second);
    kx_find_record rec;
    const intptr_t h = kx_findfirst((DayFolder(disk, r) + "/*").c_str(), &rec);
    if (h <= 0) return false;
    bool found = false;
    uint32_t first = 0;
    do found = strncmp(rec.name, start, strlen(start)) == 0 && RecordFirstCluster(rec.name, &first);
    while (!found && kx_findnext(h, &rec) == 0);
    kx_findclose(h);
    const kx_driver* pdp = get_pdp(disk, r.part);
    if (!found || pdp == nullptr) return false;
    // One recording written alone takes consecutive clusters.
    *sector = clus_sector(pdp, first + kHeaderBytes / (kSectorsPerCluster * SECTOR_SIZE));
    return true;
}
