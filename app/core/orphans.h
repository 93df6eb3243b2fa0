// Orphaned footage as the application presents it: the chains of a disk's
// partitions that no listing reaches (the storage library's orphan scan),
// each as a result beside the recordings, named
//   orphan_HH.MM.SS-HH.MM.SS[@FIRST].mvr
// after the start of its first surviving cluster, the end of its last and
// the first surviving cluster in lower-case hexadecimal. Its bytes are every
// data sector of its clusters in chain order, without a record header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/search.h"

struct OrphanChain {
    uint32_t firstCluster = 0;     // the first surviving cluster
    uint32_t oldFirstCluster = 0;  // the first cluster of the recording it belonged to
    uint32_t lastSectors = 0;      // data sectors of the last cluster
    std::vector<uint32_t> clusters;
};

struct OrphanQuery {
    int disk = 0;         // 0-based
    int partition = -1;   // 0-3, or -1 for every mounted partition of the disk
    int channel = -1;     // 0-based, or -1 for every channel
    bool window = false;  // when set, only chains whose span meets [start, end]
    int64_t start = 0, end = 0;
};

struct OrphanReport {
    std::vector<SearchResult> chains;  // by partition, then start, then first cluster
    int unmounted = 0;                 // the partition asked for is not mounted (its number + 1), else 0
    int failed = 0;                    // scans that failed (too large a volume to hold)
    int badTimes = 0;                  // chains passed over: their times are no real date
};

OrphanReport FindOrphans(const OrphanQuery& query);
