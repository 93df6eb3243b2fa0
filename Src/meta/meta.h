// Record metadata: cluster index items and directory items, time sections
// and collisions, the cluster search with bad clusters, mount-time recovery
// and the user-data area.
#pragma once

#include <cstdint>

#include "kxfs.h"
#include "volume/volume.h"

// ---------------------------------------------------------------- items

// Cluster index item: one byte per cluster, bits 0-5 channel, 6-7 clus_type.
#define CLUS_TYPE_FOLLOW 0   // a following cluster, or never used
#define CLUS_TYPE_RESUME 1   // first cluster of a file of item_type 3
#define CLUS_TYPE_START 2    // first cluster of a file of item_type 1
#define CLUS_TYPE_BAD 3      // bad or reserved: protected
#define INDEX_PROTECTED 0xC0

// Directory item item_type values.
#define ITEM_UNUSED 0
#define ITEM_FIRST 1
#define ITEM_FOLLOW 2
#define ITEM_RESUME 3
#define ITEM_RESERVED 254

#define DOWN_OPEN 0xFFFFFFFFu  // down_clus of an open (still written) last cluster

// Directory item (32 bytes on disk, little-endian), decoded.
struct kx_dir_item {
    uint8_t item_type;        // 0
    uint8_t b1;               // 1: channel bits 0-3, media_type 4-5, record_kind bits 0-1 in 6-7
    uint16_t item_num;        // 2
    packed_time start_time;   // 4
    packed_time end_time;     // 8
    uint32_t down_clus;       // 12
    uint16_t end_length;      // 16
    uint16_t head_sectors;    // 18
    uint32_t up_cluster_no;   // 20
    uint32_t first_cluster_no;// 24
    uint8_t img;              // 28
    uint8_t b29;              // 29: channel bits 4-5 in 0-1, record_kind bits 2-7 in 2-7
    uint8_t same_second_seq;  // 30
    uint8_t reserved;         // 31
};

void dir_item_decode(const uint8_t* p, kx_dir_item* it);
void dir_item_encode(const kx_dir_item* it, uint8_t* p);
inline uint32_t dir_item_channel(const kx_dir_item* it) { return ((it->b29 & 3u) << 4) + (it->b1 & 15u); }
inline uint32_t dir_item_media_type(const kx_dir_item* it) { return (it->b1 >> 4) & 3u; }
inline uint32_t dir_item_record_kind(const kx_dir_item* it) { return (it->b29 & 0xFCu) + (it->b1 >> 6); }
inline bool dir_item_in_use(const kx_dir_item* it) { return it->item_type >= 1 && it->item_type <= 3; }
// True when down_clus names a real next cluster.
inline bool dir_item_has_down(const kx_dir_item* it) { return it->down_clus != 0 && it->down_clus != DOWN_OPEN; }

extern uint8_t g_same_second_seq;  // the library's same-second counter

int get_dir_item_info(kx_driver* pdp, uint32_t clus, kx_dir_item* out);
int get_dir_item_time(kx_driver* pdp, uint32_t clus, packed_time* out);
int get_dir_item_time1(kx_driver* pdp, uint32_t clus, packed_time* out);
int set_dir_item_info(kx_driver* pdp, uint32_t clus, const kx_dir_item* item, int flush);
int set_dir_item_down_clus(kx_driver* pdp, uint32_t clus, uint32_t down, int flush);
int set_dir_item_up_clus(kx_driver* pdp, uint32_t clus, uint32_t value, int flush);
int set_dir_item_end_time(kx_driver* pdp, uint32_t clus, packed_time t, int flush);
int set_dir_last_item(kx_driver* pdp, uint32_t clus, uint16_t end_length, packed_time t, int flush);
int set_dir_first_item(kx_driver* pdp, uint32_t clus, uint16_t end_length, uint16_t item_num, packed_time t,
                       int flush);
int get_index_item_info(kx_driver* pdp, uint32_t clus, uint8_t* out);
int set_index_item_info(kx_driver* pdp, uint32_t clus, const uint8_t* value, int flush);
int make_index_item(uint8_t* out, uint32_t channel, uint32_t clus_type);
int make_dir_item(kx_dir_item* out, uint32_t channel, uint32_t media_type, uint32_t record_kind, uint8_t img,
                  uint8_t item_type, uint32_t up, uint32_t first, uint16_t item_num, uint16_t head_sectors);

// ---------------------------------------------------------------- time sections

int save_pdp(kx_driver* pdp);
void set_current_cluster(kx_driver* pdp, uint32_t clus);
void clear_section2(kx_driver* pdp);
void update_write_time(kx_driver* pdp, packed_time now);
// The newest data's time moves to `now`; a clock set back since is recorded
// as a collision at the next cluster to be taken.
void update_end_time(kx_driver* pdp, packed_time now);
void add_collision(kx_driver* pdp, packed_time old_end, packed_time new_start);
// At mount, before the sections are built: the clock went back before `clus`
// was taken, a collision the descriptor did not keep. Inserted in cluster
// order; one already listed is not listed twice.
void note_collision_at(kx_driver* pdp, uint32_t clus);
void shift_time_sections(kx_driver* pdp);
void driver_full(kx_driver* pdp);
void build_time_sections(kx_driver* pdp);
void refresh_current_section(kx_driver* pdp);
time_section* link_time_sections(int forward, kx_driver* pdp, int all_drivers);

// ---------------------------------------------------------------- cluster search

#define SEARCH_ANY_CHANNEL 0xFF
int search_clus(kx_driver* pdp, int mode, uint32_t clus, uint32_t bound, uint32_t* out, uint8_t channel);
void set_bad_clus(kx_driver* pdp, uint32_t clus);

// ---------------------------------------------------------------- recovery

int restore_fs41(kx_driver* pdp);
int restore_clus_index(kx_driver* pdp);
int copy_index(int disk_no, int part, int to_backup);

// ---------------------------------------------------------------- user data

#define USER_DATA_BYTES 12
int ud_add_item(kx_driver* pdp, uint32_t fir_clus, const uint8_t* ud, uint32_t* out);
int clean_ud_area(kx_driver* pdp);
int restore_ud_area(kx_driver* pdp);
void CardNO(const uint8_t* ud);
