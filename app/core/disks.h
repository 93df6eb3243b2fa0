// What the disks hold: each disk the disk-access library found, its
// partition table and, for each mounted recorder partition, the library's
// summary of it (type, working flag, recorded spans, size and free space).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/timevalue.h"
#include "kxfs.h"

struct PartitionReport {
    int index = 0;  // 0-3
    uint64_t startSector = 0;
    uint64_t sectors = 0;
    bool mounted = false;
    driver_info info{};  // valid when mounted
};

struct DiskReport {
    int index = 0;  // 0-based
    std::string path;
    uint64_t sectors = 0;
    bool opened = false;
    bool readOnly = false;
    bool tableRead = false;  // false: no recorder partition table on it
    std::vector<PartitionReport> partitions;  // the table's non-empty entries
};

std::vector<DiskReport> DescribeDisks();
DiskReport DescribeDisk(int disk);

// "not mounted", "transfer error" or "" for a partition that is in use.
std::string PartitionState(const PartitionReport& part);
// Why a disk is not a usable recorder disk: "cannot be opened", "no recorder
// partition table", "no partition in its table", or every partition with its
// state ("partition 0 not mounted, partition 1 transfer error"); "" when at
// least one partition is in use.
std::string DiskProblem(const DiskReport& disk);

// The span a disk has recordings for: the earliest start and the latest end
// over the recorded spans of its mounted partitions; both 0 when it has none.
struct RecordedSpan {
    packed_time first = 0, last = 0;
};
RecordedSpan DiskRecordedSpan(const DiskReport& disk);

// "YYYY-MM-DD HH:MM:SS" of one of the recorder's packed local times; "" for
// an unset time (0).
std::string FormatPackedTime(packed_time t);
// The calendar fields of a packed local time, as stored (not checked).
LocalDateTime PackedDateTime(packed_time t);
