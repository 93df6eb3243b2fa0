#include "core/disks.h"

#include <cstdio>

#include "core/startup.h"

DiskReport DescribeDisk(int d) {
    DiskReport disk;
    disk.index = d;
    disk.path = ide_disk_path(d);
    disk_info info{};
    ide_getinfo64(&info);
    disk.sectors = d >= 0 && d < IDE_MAX_DISKS ? info.capa[d] : 0;
    disk.opened = ide_disk_is_open(d);
    disk.readOnly = ide_disk_is_read_only(d);
    kx_partition table[4];
    disk.tableRead = kx_read_partitions(d, table) == 0;
    for (int p = 0; disk.tableRead && p < 4; p++) {
        if (table[p].size == 0) continue;
        PartitionReport part;
        part.index = p;
        part.startSector = table[p].start;
        part.sectors = table[p].size;
        part.mounted = kx_get_driver_info(d, p, &part.info) == 0;
        disk.partitions.push_back(part);
    }
    return disk;
}

std::vector<DiskReport> DescribeDisks() {
    std::vector<DiskReport> disks;
    for (int d = 0; d < DiskCount(); d++) disks.push_back(DescribeDisk(d));
    return disks;
}

std::string PartitionState(const PartitionReport& part) {
    if (!part.mounted) return "not mounted";
    return part.info.err_status != 0 ? "transfer error" : "";
}

std::string DiskProblem(const DiskReport& disk) {
    if (!disk.opened) return "cannot be opened";
    if (!disk.tableRead) return "no recorder partition table";
    if (disk.partitions.empty()) return "no partition in its table";
    std::string states;
    for (const PartitionReport& p : disk.partitions) {
        const std::string state = PartitionState(p);
        if (state.empty()) return "";
        states += (states.empty() ? "partition " : ", partition ") + std::to_string(p.index) + " " + state;
    }
    return states;
}

LocalDateTime PackedDateTime(packed_time t) {
    // Most significant first: year - 2000 (6 bits), month (4), day (5),
    // hour (5), minute (6), second (6).
    return LocalDateTime{static_cast<int>(2000 + (t >> 26)), static_cast<int>((t >> 22) & 0xF),
                         static_cast<int>((t >> 17) & 0x1F), static_cast<int>((t >> 12) & 0x1F),
                         static_cast<int>((t >> 6) & 0x3F), static_cast<int>(t & 0x3F)};
}

RecordedSpan DiskRecordedSpan(const DiskReport& disk) {
    RecordedSpan span;
    // Packed times order as numbers: year, month, day, hour, minute and
    // second from the most significant bits down.
    const auto take = [&span](packed_time start, packed_time end) {
        if (start == 0 || end == 0) return;  // no such span
        if (span.first == 0 || start < span.first) span.first = start;
        if (end > span.last) span.last = end;
    };
    for (const PartitionReport& p : disk.partitions) {
        if (!p.mounted) continue;
        take(p.info.start_time1, p.info.end_time1);
        take(p.info.start_time2, p.info.end_time2);
    }
    return span;
}

std::string FormatPackedTime(packed_time t) {
    if (t == 0) return "";
    return FormatDateTime(PackedDateTime(t));
}
