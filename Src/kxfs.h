// libKXFS: the recorder's own storage library ("KXFS4.1" disks).
//
// The one public header: the kx_ entries, the host hooks and the records that
// pass between the library and its host. Results are int codes: 0 success, a
// small positive code for a kind of failure (see each layer), -1 from mounting.
// The path adapter follows stream conventions instead (handles or null, item
// counts, 0 or -1).
#pragma once

#include <cstdint>
#include <cstdio>

#include "DiskIOCtl.h"

typedef uint32_t packed_time;

// The recorder's expanded calendar record: eight 32-bit integers.
struct calendar_time {
    int32_t year;    // full year, e.g. 2009
    int32_t month;   // 1-12
    int32_t day;     // 1-31
    int32_t resv1;   // not written by the conversion
    int32_t hour;
    int32_t minute;
    int32_t second;
    int32_t resv2;   // not written by the conversion
};

// Host callbacks. Each may be null. The path adapter calls lock/unlock around
// every operation; the disk layer releases the lock around a spin-up.
struct kx_hooks {
    void (*wakeup)(int disk);
    void (*lock)(void);
    void (*unlock)(void);
};

// One entry of a disk's partition table.
struct kx_partition {
    uint64_t start;  // first sector
    uint64_t size;   // sectors; 0 = empty
};

// Summary of a mounted partition (twelve 32-bit words).
struct driver_info {
    uint32_t type;
    uint32_t is_work;
    uint32_t section_num;
    packed_time start_time1;
    packed_time end_time1;
    uint32_t zero;
    packed_time start_time2;
    packed_time end_time2;
    uint32_t total_mb;
    uint32_t free_mb;
    uint32_t err_status;
    uint32_t disk_index;
};

// One entry of a listing (kx_findfirst / kx_findnext).
struct kx_find_record {
    char name[112];        // day "YYYY-MM-DD" or a record file name
    int64_t start_time64;  // record listings: start, seconds since 1970 UTC
    uint64_t size;         // record listings: bytes after the record's header
    int64_t end_time64;    // record listings: end, seconds since 1970 UTC
};

struct kx_file;
typedef kx_file* KXFILE;

// ---- Messages ----
// Every library message goes through one sink. By default it is standard
// output; a host may send it to another stream (null silences it) or to a
// callback that receives each formatted message.
typedef void (*kx_log_fn)(void* ctx, const char* text);
void kx_set_log_stream(FILE* stream);
void kx_set_log_callback(kx_log_fn fn, void* ctx);

// ---- Start-up ----
void kx_set_hooks(const kx_hooks* hooks);
void kx_set_fs_adapt(int flag);
int kx_file_sys_init(int* count, packed_time* shutdown_time);
int kx_fs_mount(int disk, int part);
int kx_read_partitions(int disk, kx_partition parts[4]);
int kx_write_partitions(int disk, const kx_partition parts[4]);
int kx_get_driver_info(int disk, int part, driver_info* info);
void kx_dump_drivers(void);
int kx_format_driver(int disk_no, int part, uint32_t sector_per_clus);
int kx_init_disk(int disk);

// ---- Path adapter ----
KXFILE kx_fopen(const char* path, const char* mode);
size_t kx_fread(void* buf, size_t size, size_t count, KXFILE f);
// Reads whole sectors of a record opened for reading straight from the disk,
// never through the handle's buffer, so that one failing sector fails only
// the sectors asked for: the position and `bytes` must be multiples of the
// sector size. Returns the bytes read (0 on failure, the position unchanged).
size_t kx_fread_sectors(void* buf, size_t bytes, KXFILE f);
size_t kx_fwrite(const void* buf, size_t size, size_t count, KXFILE f);
int64_t kx_fseek(KXFILE f, int64_t offset, int origin);
int kx_fflush(KXFILE f);
int kx_fclose(KXFILE f);
// Host additions for readers that share one handle between threads or read
// at random places: kx_fpread reads bytes at offset of the file (offset 0 is
// where a record's data starts, after its header), seeking and reading as one
// operation under the lock, and gives the bytes read (0 at the end or when
// the disk fails; fewer than asked at the end). The log area is read whole,
// addressed in 64 bits. kx_fsize gives what a whole read from offset 0
// delivers, -1 for an invalid handle.
size_t kx_fpread(KXFILE f, void* buf, size_t bytes, uint64_t offset);
int64_t kx_fsize(KXFILE f);
// Listings: "/mnt/ide%c%d" lists the days that hold recordings,
// "ROOT/YYYY-MM-DD/CCC/*" the records of one channel, "ROOT/player/*" the
// files of the player area (name and size).
intptr_t kx_findfirst(const char* path, kx_find_record* rec);
int kx_findnext(intptr_t handle, kx_find_record* rec);
int kx_findclose(intptr_t handle);

// ---- Orphaned footage ----
// A chain of clusters in use that no listed recording reaches: the surviving
// tail of a recording whose first cluster was overwritten or reused, or the
// clusters after a broken link. Its clusters follow each other as the
// recorder linked them (same first cluster, up link to the one before, item
// number one higher).
struct kx_orphan {
    uint32_t channel;            // 0-63
    uint32_t first_cluster;      // the first surviving cluster
    uint32_t old_first_cluster;  // the first cluster of the recording it belonged to
    uint32_t clusters;           // clusters in the chain
    uint32_t last_sectors;       // data sectors of the last cluster (the others are full)
    uint64_t sectors;            // data sectors of the whole chain
    packed_time start_time;      // start of the first surviving cluster
    packed_time end_time;        // end of the last cluster
    uint8_t media_type;
    uint8_t record_kind;
};
// Receives one chain with its clusters in chain order (valid during the call
// only); a nonzero result ends the scan with that result.
typedef int (*kx_orphan_fn)(void* ctx, const kx_orphan* chain, const uint32_t* clusters);
// Scans a mounted partition's directory items and cluster index (read once,
// sequentially) and hands every orphaned chain to fn, in ascending order of
// its first surviving cluster. 0, or 7 (partition not mounted), 13 (no
// cluster index), 1 (the volume is too large to be held), fn's result.
int kx_orphan_scan(int disk, int part, kx_orphan_fn fn, void* ctx);
// Reads sec_num data sectors of a chain from data sector `sector` of it
// (every cluster full but the last, which holds last_sectors). 0, or 1 (a
// cluster outside the ring, a bad length), 2 (beyond the chain), 3 (a read
// failed), 7 (partition not mounted).
int kx_orphan_read(int disk, int part, const uint32_t* clusters, uint32_t count, uint32_t last_sectors,
                   uint64_t sector, void* buf, uint32_t sec_num);
