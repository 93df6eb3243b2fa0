// File handles: the table of 256 entries shared by the file layer and the
// path adapter, the checks that keep stale or stray pointers out, and the
// operations that report on or release a handle.
#include <cstdint>

#include "file/file.h"
#include "kxtime.h"
#include "log.h"

kx_file file_table[KX_MAX_FILES];
uint32_t file_generation;

void file_table_reset(void) {
    for (kx_file& f : file_table) {
        f.state = FILE_FREE;
        f.pdp = nullptr;
        f.linked = nullptr;
    }
}

void file_generation_advance(void) { file_generation++; }

bool file_handle_in_table(KXFILE h) {
    // Compared as addresses: a pointer from anywhere must not be compared or
    // subtracted as if it pointed into the table.
    const uintptr_t p = (uintptr_t)h;
    const uintptr_t base = (uintptr_t)&file_table[0];
    if (p < base) return false;
    const uintptr_t off = p - base;
    return off % sizeof(kx_file) == 0 && off / sizeof(kx_file) < KX_MAX_FILES;
}

bool file_handle_valid(KXFILE h) { return file_handle_in_table(h) && h->generation == file_generation; }

int file_check_handle(KXFILE h, int line) {
    if (file_handle_valid(h)) return KX_OK;
    kx_log("INVALID HANDLE: %s,%d\n", KX_UNIT_FILE, line);
    return KX_E_HANDLE;
}

namespace {

bool is_write_handle(const kx_file* h) { return h->state == FILE_WRITING || h->state == FILE_SUSPENDED; }

uint32_t saturate(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : (uint32_t)v; }

// A handle on a record: positioned on a cluster of a mounted partition.
bool positioned(const kx_file* h) { return h->cur_clus != 0 && h->pdp != nullptr; }

// Length in sectors of the record the handle is on: for a write handle the
// furthest sector written, else what the record's first item says. An
// end_length beyond a cluster comes only from a damaged item; no cluster can
// hold more than sector_per_clus sectors.
uint32_t record_sectors(const kx_file* h, const kx_dir_item& first) {
    const uint64_t spc = h->pdp->sector_per_clus;
    if (is_write_handle(h)) return saturate(spc * h->write_clus_count + h->write_sec);
    const uint64_t last = first.end_length < spc ? first.end_length : spc;
    return saturate(spc * first.item_num + last);
}

}  // namespace

int kx_file_tell(KXFILE h, uint32_t* sec_pos) {
    const int r = file_check_handle(h, __LINE__);
    if (r) return r;
    uint32_t pos = 0;
    if (positioned(h)) pos = saturate((uint64_t)h->pdp->sector_per_clus * h->clus_index + h->sec_in_clus);
    if (sec_pos != nullptr) *sec_pos = pos;
    return KX_OK;
}

int kx_file_get_sectors(KXFILE h, uint32_t* sectors) {
    kx_dir_item first{};
    int r = file_check_handle(h, __LINE__);
    if (r) return r;
    if (!positioned(h)) return KX_E_NOTFOUND;
    if (!is_write_handle(h)) {
        r = get_dir_item_info(h->pdp, h->first_cluster, &first);
        if (r) return r;
    }
    if (sectors != nullptr) *sectors = record_sectors(h, first);
    return KX_OK;
}

int kx_file_get_info(KXFILE h, packed_time* start, packed_time* end, uint32_t* len_kb) {
    int r = file_check_handle(h, __LINE__);
    if (r) return r;
    if (!positioned(h)) return KX_E_NOTFOUND;
    // The times come from the first item, for a write handle as well.
    kx_dir_item first;
    r = get_dir_item_info(h->pdp, h->first_cluster, &first);
    if (r) return r;
    if (start != nullptr) *start = first.start_time;
    if (end != nullptr) *end = first.end_time;
    if (len_kb != nullptr) *len_kb = record_sectors(h, first) / 2;
    return KX_OK;
}

int kx_file_close(KXFILE h) {
    if (!file_handle_in_table(h)) {
        kx_log("INVALID HANDLE: %s,%d\n", KX_UNIT_FILE, __LINE__);
        return KX_E_HANDLE;
    }
    switch (h->state) {
    case FILE_READING:
    case FILE_READING_RAW:
        h->state = FILE_FREE;
        break;
    case FILE_WRITING: {
        packed_time now;
        get_local_time(&now);
        // An adapter file of another kind (an index file) has no record
        // items to finish.
        if (h->kind == 0) file_write_finish(h, now, 1);
        h->state = FILE_FREE;
        break;
    }
    default:
        kx_log("Not a active file handle!!!!!\n");
        return KX_E_HANDLE;
    }
    // Cleared before closing the mirror, so that a mirror that names this
    // handle back cannot close it twice.
    KXFILE mirror = h->linked;
    h->linked = nullptr;
    if (mirror != nullptr) kx_file_close(mirror);
    return KX_OK;
}

int calcu_file_length(packed_time end, packed_time start, uint8_t img, uint32_t* out) {
    uint32_t seconds = (uint32_t)time_diff(end, start);
    kx_log("###### second = %u\n", seconds);
    // A longer gap means the clock jumped; a minute is the estimate then.
    if (seconds > 300) seconds = 60;
    uint32_t rate;  // sectors per second by image size code
    switch (img) {
    case 1: rate = 64; break;
    case 2: rate = 128; break;
    case 3: rate = 193; break;
    case 5: rate = 384; break;
    case 6: rate = 512; break;
    default: rate = 256; break;
    }
    const uint32_t len = seconds * rate;
    kx_log("calcu_file_length len->%u, img->%d, sec->%d\n", len, img, seconds);
    *out = len < 4096 ? len : 4096;
    return KX_OK;
}
