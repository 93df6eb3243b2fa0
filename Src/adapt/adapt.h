// Path adapter: the mounted partitions as a tree of virtual paths
// ("/mnt/ide%c%d/YYYY-MM-DD/%03d/NAME"), listings and stream I/O.
#pragma once

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

// 0 when h is a current handle of file_table; else logs "INVALID HANDLE" with
// the caller's line and returns 11.
int adapter_handle_valid(KXFILE h, int line);
KXFILE adapter_alloc_handle(void);
void adapter_lock(void);
void adapter_unlock(void);

// Copies what lies between the first '[' and the next ']' of text into dest
// (at most dest_size - 1 characters) and returns the position after ']';
// null when a bracket is missing or the contents do not fit.
const char* take_bracket(const char* text, char* dest, size_t dest_size);

// The fields of a record path.
struct record_path {
    int disk;             // letter - 'a'
    int part;
    uint8_t channel;      // 0-based
    int year, month, day;
    int start_hour, start_minute, start_second;
    int end_hour, end_minute, end_second;
    uint8_t record_kind;
    uint32_t cluster;
    uint32_t seq;
    char ext[8];
    packed_time start_time;
    kx_driver* pdp;       // null when the partition is not mounted
};
// 0 when every component matched; nonzero otherwise (fields then unreliable).
int parse_record_path(const char* path, record_path* out);
// Letter of a record kind in file names: 1 "A", 2 "M", 3 "C", 4 "H", else "R".
const char* record_kind_letter(uint32_t record_kind);
uint8_t record_kind_from_letter(const char* letter);
