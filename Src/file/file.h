// File layer: handles over cluster chains for reading, writing and searching
// by time. The same handle record carries the path adapter's fields.
#pragma once

#include <cstdint>

#include "kxfs.h"
#include "meta/meta.h"
#include "volume/volume.h"

#define KX_MAX_FILES 256

// Handle states.
#define FILE_FREE 0
#define FILE_WRITING 1
#define FILE_READING 2
#define FILE_SUSPENDED 3
#define FILE_READING_RAW 4

// File-layer result codes.
#define KX_OK 0
#define KX_E_ARG 1
#define KX_E_BEYOND 2
#define KX_E_READ 3
#define KX_E_META 4
#define KX_E_CLUS 5
#define KX_E_NOTFOUND 6
#define KX_E_NODRIVER 7
#define KX_E_HANDLE 11
#define KX_E_BARRIER 12
#define KX_E_NOINDEX 13

struct kx_file {
    kx_file* linked;           // write side: mirror handle
    uint64_t length;           // adapter: file length in bytes (64-bit: records of 4 GiB and more)
    uint32_t first_cluster;
    uint32_t write_clus;       // write side: cluster of the furthest sector written
    uint32_t write_sec;        // write side: sectors written into write_clus
    uint32_t cur_clus;         // 0 = not positioned
    uint32_t sec_in_clus;
    uint32_t up_clus;
    uint32_t write_clus_count; // write side: index of write_clus inside the record
    uint32_t clus_index;       // index of cur_clus inside the record, 0 for the first
    uint32_t clus_end;         // sectors of cur_clus that hold data
    uint8_t state;
    uint8_t channel;
    uint8_t media_type;
    uint8_t record_kind;
    uint8_t img_type;
    uint8_t opened;
    uint32_t open_tick;
    kx_driver* pdp;
    uint8_t index_byte[4];
    kx_dir_item dir_item;      // item of cur_clus
    uint32_t reopened;
    uint32_t repack_ud;
    uint32_t ud_pending;
    uint8_t user_data[40];
    packed_time search_time;
    packed_time found_time;
    // adapter fields
    uint8_t* buf_block;
    uint8_t* buf;
    uint32_t buf_size;
    uint64_t pos;              // byte position (64-bit)
    uint64_t buf_pos;          // byte position of buf[0]; KX_NO_BUF_POS when nothing valid
    uint64_t raw_lba;
    uint64_t data_start;       // header length in bytes (reading), size limit (writing)
    uint32_t generation;
    time_section* sections;    // head of the last search's section list
    uint8_t dirty;
    uint8_t kind;
    uint32_t* day_map;
};

#define KX_NO_BUF_POS UINT64_MAX

extern kx_file file_table[KX_MAX_FILES];
extern uint32_t file_generation;

// Resets the table (every entry free) at library initialisation.
void file_table_reset(void);
// Advances the generation: every handle handed out before becomes invalid.
void file_generation_advance(void);

// True when h points exactly at an entry of file_table.
bool file_handle_in_table(KXFILE h);
// True when h points exactly at an entry and carries the current generation.
bool file_handle_valid(KXFILE h);
// 0 when file_handle_valid(h); else logs "INVALID HANDLE" with the unit and
// the caller's line and returns KX_E_HANDLE.
int file_check_handle(KXFILE h, int line);

int file_load_clus(KXFILE h, uint32_t clus);
int kx_file_goto_clus(KXFILE h, int disk, int part, uint32_t clus);
int kx_file_read(KXFILE h, void* buf, uint32_t sec_num);
int kx_file_seek(KXFILE h, uint32_t sec_pos);
int kx_file_tell(KXFILE h, uint32_t* sec_pos);
int kx_file_get_info(KXFILE h, packed_time* start, packed_time* end, uint32_t* len_kb);
// Exact length of the current record in sectors (item_num * sector_per_clus
// + end_length of the first item; for a write handle the high-water mark).
int kx_file_get_sectors(KXFILE h, uint32_t* sectors);
int kx_file_close(KXFILE h);
int calcu_file_length(packed_time end, packed_time start, uint8_t img, uint32_t* out);

int kx_file_open_by_time(KXFILE h, uint8_t channel, packed_time t, int search_type, uint32_t seq,
                         uint32_t kind_mask, uint32_t driver_mask, int all_drivers);
uint32_t kx_file_find_next(KXFILE h, uint8_t channel, packed_time t, int seq_flag, uint32_t driver_mask);

// ---------------------------------------------------------------- writing

extern uint32_t g_pack_setting;  // 3,600,000 by default: pack interval = setting / 6000 minutes
// True when a record open for `minutes` (tick count) is to be packed at the
// write stamped `now`; pack interval P = g_pack_setting / 6000 minutes, 0 = never.
bool pack_due(uint32_t minutes, packed_time now);

int kx_file_write(KXFILE h, const void* pbuf, uint32_t sec_num);
int _file_write(KXFILE h, const void* pbuf, uint32_t sec_num);
int set_new_clus(KXFILE h);
int _set_file_ud(KXFILE h, const uint8_t* ud);
void file_write_setup(KXFILE h, uint8_t channel, uint8_t media_type, uint8_t record_kind, uint8_t img_type,
                      packed_time t, int driver_index, KXFILE mirror);
int file_write_finish(KXFILE h, packed_time t, int flush);
void file_suspend(KXFILE h, packed_time t);
void file_resume(KXFILE h, packed_time t);
void file_suspend_all(kx_driver* pdp, packed_time t);
void file_resume_all(kx_driver* pdp, packed_time t);
