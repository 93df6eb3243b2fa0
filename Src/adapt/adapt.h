// Path adapter: the mounted partitions as a tree of virtual paths
// ("/mnt/ide%c%d/YYYY-MM-DD/%03d/NAME"), listings and stream I/O.
#pragma once

#include <cstddef>
#include <cstdint>

#include "file/file.h"
#include "kxfs.h"

// Kinds of virtual file (the handle's `kind`).
#define ADAPT_RECORD 0
#define ADAPT_INDEX 1
#define ADAPT_SUMMARY_INDEX 2
#define ADAPT_PLAYER 3
#define ADAPT_LOG 4
#define ADAPT_SUMMARY 5
#define ADAPT_DAYS 6

#define SUMMARY_RECORD_BYTES 300

// Buffer sizes of the two pools: pictures and every non-record kind use the
// small one, video records the large one.
#define ADAPT_SMALL_BUF 4096u
#define ADAPT_LARGE_BUF 32768u
// Header room reserved at the start of a record written through the adapter,
// and the size limit of a file opened for writing.
#define ADAPT_WRITE_DATA_START 0x40000u

// 0 when h is a current handle of file_table; else logs "INVALID HANDLE" with
// the caller's line and returns 11.
int adapter_handle_valid(KXFILE h, int line);
KXFILE adapter_alloc_handle(void);
// The host's lock hooks. Nested calls on one thread take the host's lock only
// once, so the pools and the internal calls of an operation may lock again.
void adapter_lock(void);
void adapter_unlock(void);

// The two buffer pools (blocks of buf_size + 512 bytes, grown four at a time,
// never freed). adapt_buffer_attach gives the handle a block of the pool its
// buf_size names (buf_block, buf); false when memory is exhausted.
// adapt_buffer_detach returns the block to its pool.
bool adapt_buffer_attach(KXFILE h, uint32_t buf_size);
void adapt_buffer_detach(KXFILE h);

// Copies what lies between the first '[' and the next ']' of text into dest
// (at most dest_size - 1 characters) and returns the position after ']';
// null when a bracket is missing or the contents do not fit.
const char* take_bracket(const char* text, char* dest, size_t dest_size);

// The fields of a record path.
struct record_path {
    int disk;  // letter - 'a'
    int part;
    uint8_t channel;  // 0-based
    int year, month, day;
    int start_hour, start_minute, start_second;
    int end_hour, end_minute, end_second;
    uint8_t record_kind;
    uint32_t cluster;
    uint32_t seq;
    char ext[16];
    packed_time start_time;
    kx_driver* pdp;  // null when the root did not match or is not mounted
};
// Results of parse_record_path.
#define PATH_MATCHED 0
#define PATH_BAD_NAME 1  // the directories matched, the record name did not
#define PATH_BAD_DIRS 2  // the root, the day or the channel did not match
// The root component is read on its own: `pdp` is set whenever it matched a
// mounted partition. With PATH_BAD_NAME, the name's first bracket still gives
// the record kind when it holds one.
int parse_record_path(const char* path, record_path* out);

// The fields of a listing path: a partition root, or a channel directory of
// one day ("ROOT/YYYY-MM-DD/CCC/*").
struct listing_path {
    bool channel_listing;
    int disk, part;
    uint8_t channel;  // 0-based
    packed_time day_key;
};
// 0 when the path matched; nonzero otherwise.
int parse_listing_path(const char* path, listing_path* out);

// The partition (disk, part) named by the root component `back` components
// from the end of path (0 = the last component); 0 when it matched.
int parse_root_back(const char* path, int back, int* disk, int* part);
// The last component of path into dest (NUL-terminated); 0 when it is not
// empty and fits.
int last_component(const char* path, char* dest, size_t dest_size);

// Letter of a record kind in file names: 1 "A", 2 "M", 3 "C", 4 "H", else "R".
const char* record_kind_letter(uint32_t record_kind);
uint8_t record_kind_from_letter(const char* letter);
// Writes a record file name of a record's first directory item into dest.
void format_record_name(char* dest, size_t dest_size, const kx_dir_item* first, uint32_t first_clus);

// Header length in sectors of the record at first_clus whose length is
// record_sectors: the item's header word when set, else the length a "KXII"
// header in the record's first sector gives (0 when there is none, or when its
// length is not plausible for this record). Never writes.
uint32_t record_header_sectors(kx_driver* pdp, uint32_t first_clus, const kx_dir_item* first,
                               uint64_t record_sectors);
// Length of a record in sectors from its first directory item.
inline uint64_t record_sectors(const kx_driver* pdp, const kx_dir_item* first) {
    return (uint64_t)first->item_num * pdp->sector_per_clus + first->end_length;
}

// Reserved regions of a partition: region 1 holds the player area, region 2
// the log area. Gives the region's first sector (absolute) and its length;
// false when the partition has none, or the descriptor places it outside the
// reserved clusters of the data area or over the user-data area.
bool player_area(const kx_driver* pdp, uint64_t* first_lba, uint32_t* sectors);
bool log_area(const kx_driver* pdp, uint64_t* first_lba, uint32_t* sectors);

// True when pos lies in the handle's buffer window [buf_pos, buf_pos + buf_size].
inline bool adapt_in_window(const kx_file* h, uint64_t pos) {
    return h->buf_pos != KX_NO_BUF_POS && pos >= h->buf_pos && pos - h->buf_pos <= h->buf_size;
}

// Internal steps of the stream operations, called with the lock held.
int adapt_flush_locked(KXFILE h);
void adapt_closing_writes(KXFILE h);
void summary_fill(const kx_driver* pdp, uint8_t rec[SUMMARY_RECORD_BYTES]);
// Reads or writes bytes at byte offset pos of a region that starts at sector
// lba, straight to and from the disk; false when a transfer failed.
bool raw_transfer(uint32_t dev, uint64_t lba, uint64_t pos, uint8_t* data, size_t bytes, bool write);
// Moves bytes between the log area at the handle's position and data through
// the sector cache, each written sector going to the disk at once; transfers
// end at the area's end and at 8 MiB from its start. Returns the bytes moved
// and advances the position by them.
size_t log_transfer(KXFILE h, uint8_t* data, size_t bytes, bool write);
// Player directory: first sector of the player area.
#define PLAYER_MAGIC "PLAYER2.0"
// Only 17 entries of 28 bytes fit in the sector after the 20-byte head; an
// 18th would run past the sector's end.
#define PLAYER_MAX_ENTRIES 17
#define PLAYER_COUNT_OFF 16
#define PLAYER_ENTRY_OFF 20
#define PLAYER_ENTRY_BYTES 28
#define PLAYER_NAME_BYTES 20
// Player directory lookups (dir is the area's first sector, area its first
// sector on the disk): a file's first sector and length, when its entry lies
// wholly inside the area; a new entry (the directory restarts when the name
// is already there), false when the directory or the area is full.
bool player_lookup(uint8_t* dir, const char* name, uint64_t area, uint32_t area_sectors, uint64_t* lba,
                   uint64_t* length);
bool player_add(uint8_t* dir, const char* name, uint64_t area, uint32_t area_sectors, uint64_t* lba);
// Entry i as a listing shows it: its name and length, when it is a file that
// opening by that name reaches (false for entries past the count, entries
// outside the area, names that cannot be a path component, and later entries
// of a repeated name).
bool player_listed(uint8_t* dir, uint32_t i, uint32_t area_sectors, char name[PLAYER_NAME_BYTES + 1],
                   uint64_t* length);
// Log transfers stop at 8 MiB from the area's start.
#define LOG_AREA_MAX_SECTORS 0x4000u
