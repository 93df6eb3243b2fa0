// Volume layer: the sector buffer pool, the disk label and partition table,
// the volume descriptor and the driver table (one slot per mounted
// partition), start-up, the diagnostic dumps and the volume format.
#pragma once

#include <cstdint>

#include "disk.h"
#include "kxfs.h"

#define KX_MAX_DRIVERS 32
#define KX_MAX_TYPES 5           // driver types 0-4
#define KX_FREE_SLOT 255         // `type` of a free driver slot
#define KX_MAX_COLLISIONS 128
#define KX_SECTION_NUM 130       // time-section entries per driver
#define KX_CHECK_WORD 0x55AA55AAu
#define KX_STATUS_CLOSED 0x55u
#define KX_ERR_STATUS_FAILED 15u
#define KX_DESCRIPTOR_BYTES 336
#define FIRST_DIR_START_SEC 187
#define KX_TEMP_OFF 34           // descriptor sector offset in a partition
#define KX_LABEL_SECTOR 30       // partition table sector

// ---------------------------------------------------------------- buffer pool

struct buf_head {
    uint32_t dev;
    uint64_t sector;
    uint8_t valid;
    uint8_t dirty;
    uint8_t hold;
    buf_head* hash_prev;
    buf_head* hash_next;
    buf_head* ring_prev;
    buf_head* ring_next;
    uint8_t* data;  // 512 bytes, aligned to 512
};

#define BUF_POOL_SIZE 256
#define IO_BUF_SECTORS 16

extern uint8_t* io_buf;  // 8 KiB bulk buffer, aligned to 512

void init_buf_pool(void);
buf_head* find_buf(uint32_t dev, uint64_t sector);
buf_head* get_buf(uint32_t dev, uint64_t sector);
buf_head* read_buf(uint32_t dev, uint64_t sector);
void release_buf(buf_head* b);
int write_buf(buf_head* b);
int sync_disk(uint32_t dev);
// Copies the pool's cached sectors of [first, first + count) of a disk over
// dst (count sectors): a bulk read past the pool then sees every change that
// still waits in the pool.
void copy_cached_sectors(uint32_t dev, uint64_t first, uint64_t count, uint8_t* dst);

// Little-endian field access inside sector data.
inline uint16_t get_le16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t get_le32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline uint64_t get_le64(const uint8_t* p) { return get_le32(p) | ((uint64_t)get_le32(p + 4) << 32); }
inline void put_le16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
inline void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}
inline void put_le64(uint8_t* p, uint64_t v) {
    put_le32(p, (uint32_t)v);
    put_le32(p + 4, (uint32_t)(v >> 32));
}

// ---------------------------------------------------------------- disk label

#define LABEL_NONE 0         // no table
#define LABEL_VALID 1
#define LABEL_UNSUPPORTED 2
#define LABEL_INVALID 3

int check_disk_label(int disk, int* state);
// kx_read_partitions / kx_write_partitions: kxfs.h

// ---------------------------------------------------------------- driver table

struct kx_driver;

// One entry of a driver's time-section table (memory only).
struct time_section {
    kx_driver* owner;
    time_section* next;  // link of the list built by link_time_sections
    packed_time start_time;
    packed_time end_time;
    uint32_t start_clus;
    uint32_t end_clus;
    uint32_t cursor;      // search position (search by time)
    int32_t state;        // search state (search by time); -1 = out
    packed_time cursor_time;
};

// A driver descriptor: one slot of the driver table. Its first 336 bytes on
// disk are the volume descriptor at partition sector 34; `raw` keeps those
// bytes as loaded so that the bytes the library does not interpret are
// written back unchanged. Fields marked "memory" only have meaning here; the
// on-disk value of the pointer words is ignored on load and saved as 0.
struct kx_driver {
    uint8_t raw[KX_DESCRIPTOR_BYTES];

    uint8_t fill_count;        // 8
    uint8_t table_dirty;       // 9, memory
    uint32_t status;           // 12: 0x55 closed, 0 open
    packed_time start_time1;   // 16
    packed_time end_time1;     // 20
    uint32_t current_cluster;  // 24
    uint32_t start_cluster2;   // 28
    uint32_t end_cluster2;     // 32
    packed_time start_time2;   // 36
    packed_time end_time2;     // 40
    uint32_t sector_size;      // 44
    uint32_t sector_per_clus;  // 48
    uint32_t rev_clus;         // 56
    uint32_t index_off;        // 60
    uint32_t temp_off;         // 64
    uint32_t dir_off;          // 68
    uint32_t data_off;         // 72
    uint32_t total_clus;       // 76
    uint32_t type;             // 84: 0-4, 255 = free slot
    uint32_t ud_off;           // 88
    uint32_t ud_item_size;     // 92
    uint32_t ud_item_num;      // 96
    uint32_t ud_first_item;    // 100
    uint32_t ud_last_item;     // 104
    uint32_t disk_no;          // 108, memory: the disk it is mounted from
    uint32_t saved_cluster;    // 112
    uint32_t index_clus;       // 116
    kx_driver* prev;           // 120, memory
    kx_driver* next;           // 124, memory
    uint32_t second_dir;       // 136
    uint32_t part;             // 140, memory
    uint32_t resv1_off;        // 144
    uint32_t resv1_sectors;    // 148
    uint32_t err_status;       // 152, memory
    uint32_t collision_off;    // 156
    uint32_t collision_num;    // 160
    uint32_t collision_index;  // 164, memory
    uint32_t* collision;       // 168, memory: the slot's 128-entry collision list
    time_section* sections;    // 172, memory: the slot's 130-entry table
    uint32_t resv2_off;        // 184
    uint32_t resv2_sectors;    // 188
    uint8_t part_label[32];    // 192
    uint64_t start_sector;     // 224, memory
    uint32_t part_word;        // 232
    // memory: total_clus as the disk holds it when the mount used fewer (a
    // data area reaching past the partition's end); 0 otherwise. Saving
    // writes this value back, never the reduced count.
    uint32_t stored_total_clus;
};

// Decodes the descriptor bytes of a sector into d (named fields and raw; the
// pointer fields are left as they are). Encodes d into the first 336 bytes of
// a sector, starting from d->raw, with the pointer words written as 0.
void pdp_decode(kx_driver* d, const uint8_t* sector);
void pdp_encode(const kx_driver* d, uint8_t* sector);

extern kx_driver g_drivers[KX_MAX_DRIVERS];
extern uint32_t g_collision_buf[KX_MAX_DRIVERS][KX_MAX_COLLISIONS];
extern time_section g_section_buf[KX_MAX_DRIVERS][KX_SECTION_NUM];
extern kx_driver* g_work_driver[KX_MAX_TYPES];  // working driver per type, or null
extern int g_driver_num[KX_MAX_TYPES];          // usable drivers per type
extern int g_fs_adapt;
extern packed_time g_shutdown_time;

kx_driver* get_pdp(int disk, int part);
int get_empty_driver(void);
kx_driver* load_driver(int disk, int part, uint64_t start);
int link_drivers(int type);
void switch_work_driver(kx_driver* pdp);
void free_driver(int disk, int part);
void refresh_start_time2(kx_driver* pdp);
// Index of a driver slot (0-31).
inline int driver_slot(const kx_driver* pdp) { return (int)(pdp - g_drivers); }
// Absolute sector of a partition-relative offset.
inline uint64_t pdp_sector(const kx_driver* pdp, uint64_t off) { return pdp->start_sector + off; }
// First sector of a data cluster.
inline uint64_t clus_sector(const kx_driver* pdp, uint32_t clus) {
    return pdp->start_sector + pdp->data_off + (uint64_t)clus * pdp->sector_per_clus;
}

// ---------------------------------------------------------------- format

int init_dir_area(int disk_no, uint64_t first, uint64_t second, uint32_t rev_clus, uint32_t dir_size);
int init_index_area(int disk_no, uint64_t sector, uint32_t rev_clus, uint32_t index_size);
int clear_ud_area(const kx_driver* desc);
// Drops the pool's copies of sectors that a bulk transfer wrote past the
// pool, so that later reads see the disk (a dirty copy would otherwise be
// written back over the new contents).
void forget_cached_sectors(uint32_t dev, uint64_t first, uint32_t count);
