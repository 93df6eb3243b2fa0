// The disk label: the signature sector (sector 0, "KXFS4.1") and the
// partition table sector (sector 30) with its four partition entries.
//
// Table sector, byte offsets:
//   40 u32   must be 3          44 u32   must be 1
//   48 u32   table kind: 0 none, 2 valid, 3 valid if sector 0 is signed
//   52       four 64-byte partition entries
//   308 u32  check word 0x55AA55AA
// Partition entry, byte offsets:
//   20 u32   descriptor sector (34; absolute in the older form)
//   36 u32   older form: end of the partition in units of 4096 sectors
//   40 u32   in use: 1
//   48 u64   first sector        56 u64   size in sectors (0: empty or older form)
#include <cstring>

#include "log.h"
#include "volume/volume.h"

namespace {

const uint8_t k_signature[8] = {'K', 'X', 'F', 'S', '4', '.', '1', 0};

const uint32_t k_signature_sector = 0;

const size_t k_word_version = 36;  // zero when the program creates the table
const size_t k_word_major = 40;    // must be 3
const size_t k_word_minor = 44;    // must be 1
const size_t k_word_kind = 48;
const size_t k_entries = 52;
const size_t k_entry_size = 64;
const size_t k_word_check = 308;
const size_t k_table_bytes = 312;  // what a fresh table rewrites; the rest is kept

const uint32_t k_kind_none = 0;
const uint32_t k_kind_valid = 2;
const uint32_t k_kind_signed = 3;

const size_t k_entry_desc = 20;
const size_t k_entry_end = 36;
const size_t k_entry_in_use = 40;
const size_t k_entry_start = 48;
const size_t k_entry_size_word = 56;

// The older form counts its end in units of 4096 sectors.
const uint32_t k_old_end_unit = 4096;

const uint8_t* entry_at(const uint8_t* table, int i) { return table + k_entries + k_entry_size * (size_t)i; }
uint8_t* entry_at(uint8_t* table, int i) { return table + k_entries + k_entry_size * (size_t)i; }

// Whether sector 0 of the disk carries the signature; an unreadable sector
// does not.
bool disk_is_signed(uint32_t dev) {
    buf_head* b = read_buf(dev, k_signature_sector);
    if (!b) return false;
    bool ok = memcmp(b->data, k_signature, sizeof k_signature) == 0;
    release_buf(b);
    return ok;
}

int label_state(uint32_t dev, const uint8_t* table) {
    if (get_le32(table + k_word_major) != 3 || get_le32(table + k_word_minor) != 1) return LABEL_INVALID;
    uint32_t kind = get_le32(table + k_word_kind);
    if (kind == k_kind_none) return LABEL_NONE;
    if (get_le32(table + k_word_check) != KX_CHECK_WORD) return LABEL_INVALID;
    if (kind == k_kind_valid) return LABEL_VALID;
    if (kind != k_kind_signed) return LABEL_UNSUPPORTED;
    return disk_is_signed(dev) ? LABEL_VALID : LABEL_INVALID;
}

// Entry i of the table. Entries the program writes give start and size
// directly. Tables of older recorders leave the size 0 and name only the
// absolute sector of each partition's descriptor (34 sectors into the
// partition); a partition then runs to the next entry's descriptor, and the
// last one (or one followed by an unused entry) to its end word. These are
// 32-bit words on disk, and the arithmetic stays in 32 bits as the older
// recorders did it. A range that would wrap (a descriptor sector below 34, a
// next descriptor or an end before the start) reads as empty, never as a
// partition of some four thousand million sectors.
kx_partition read_entry(const uint8_t* table, int i) {
    const uint8_t* e = entry_at(table, i);
    kx_partition p = {get_le64(e + k_entry_start), get_le64(e + k_entry_size_word)};
    if (get_le32(e + k_entry_in_use) == 0 || p.size != 0) return p;

    uint32_t desc = get_le32(e + k_entry_desc);
    if (desc < KX_TEMP_OFF) return kx_partition{0, 0};
    uint32_t start = desc - KX_TEMP_OFF;
    uint32_t next_desc = i < 3 ? get_le32(entry_at(table, i + 1) + k_entry_desc) : 0;
    if (next_desc != 0) return kx_partition{start, next_desc >= desc ? next_desc - desc : 0};
    uint64_t end = (uint32_t)(get_le32(e + k_entry_end) * k_old_end_unit);
    return kx_partition{start, end >= start ? end - start : 0};
}

bool ranges_overlap(const kx_partition& a, const kx_partition& b) {
    if (a.size == 0 || b.size == 0) return false;
    return a.start + a.size > b.start && b.start + b.size > a.start;
}

bool any_overlap(const kx_partition parts[4]) {
    for (int i = 0; i < 4; i++)
        for (int j = 0; j < 4; j++)
            if (i != j && ranges_overlap(parts[i], parts[j])) return true;
    return false;
}

// A fresh table header: version 0, 3/1, kind 3 (valid with the signature),
// no entries, the check word. Bytes from 312 on are kept.
void create_table(uint8_t* table) {
    memset(table, 0, k_table_bytes);
    put_le32(table + k_word_version, 0);
    put_le32(table + k_word_major, 3);
    put_le32(table + k_word_minor, 1);
    put_le32(table + k_word_kind, k_kind_signed);
    put_le32(table + k_word_check, KX_CHECK_WORD);
}

// An entry as the program writes it. Its older-form end word is cleared: an
// empty entry (size 0) is read in the older form, and an end word left over
// from an older recorder's table would make it read back as a partition from
// sector 0 to that end.
void store_entry(uint8_t* table, int i, const kx_partition& p) {
    uint8_t* e = entry_at(table, i);
    put_le32(e + k_entry_desc, KX_TEMP_OFF);
    put_le32(e + k_entry_end, 0);
    put_le32(e + k_entry_in_use, 1);
    put_le64(e + k_entry_start, p.start);
    put_le64(e + k_entry_size_word, p.size);
}

// Gives a changed sector back and writes it. A failed write is reported by
// the disk layer and does not change the caller's result.
void put_back(buf_head* b) {
    b->dirty = 1;
    release_buf(b);
    write_buf(b);
}

int write_signature(uint32_t dev) {
    buf_head* b = get_buf(dev, k_signature_sector);
    if (!b) return 4;
    memset(b->data, 0, SECTOR_SIZE);
    memcpy(b->data, k_signature, sizeof k_signature);
    b->valid = 1;
    put_back(b);
    return 0;
}

}  // namespace

int check_disk_label(int disk, int* state) {
    uint32_t dev = (uint32_t)disk;
    buf_head* b = read_buf(dev, KX_LABEL_SECTOR);
    if (!b) return 4;
    int s = label_state(dev, b->data);
    release_buf(b);
    if (state) *state = s;
    return 0;
}

int kx_read_partitions(int disk, kx_partition parts[4]) {
    if (!parts) return 1;
    int state = LABEL_NONE;
    int rc = check_disk_label(disk, &state);
    if (rc != 0) return rc;
    if (state != LABEL_VALID) return 1;
    buf_head* b = read_buf((uint32_t)disk, KX_LABEL_SECTOR);
    if (!b) return 4;
    for (int i = 0; i < 4; i++) parts[i] = read_entry(b->data, i);
    release_buf(b);
    return 0;
}

int kx_write_partitions(int disk, const kx_partition parts[4]) {
    if (!parts) return 1;
    uint32_t dev = (uint32_t)disk;
    buf_head* b = read_buf(dev, KX_LABEL_SECTOR);
    if (!b) return 4;
    // Refused before anything is stored: on overlap the table stays as it
    // was, in the pool as on the disk.
    if (any_overlap(parts)) {
        kx_log("kx_write_partitions, partition range overlaped.\n");
        release_buf(b);
        return 1;
    }
    int state = LABEL_NONE;
    bool fresh = check_disk_label(disk, &state) != 0 || state != LABEL_VALID;
    if (fresh) create_table(b->data);
    for (int i = 0; i < 4; i++) store_entry(b->data, i, parts[i]);
    put_back(b);
    return fresh ? write_signature(dev) : 0;
}
