// Reading a record: positioning a handle on a record by its first cluster,
// following the record's cluster chain, reading whole sectors and seeking by
// sector.
//
// Everything read from the disk is untrusted here: a directory item may name
// a cluster beyond the volume, a chain may point back on itself, an item may
// claim more sectors than a cluster holds. The chain is therefore only
// followed to a cluster whose own item says that it continues the record at
// the cluster before it, with the next position number; a read never runs
// past the end of a cluster, and every walk ends.
#include <cstring>

#include "disk.h"
#include "file/file.h"
#include "log.h"

namespace {

// Makes `clus` the handle's current cluster and takes the record's facts from
// its directory item. Cluster 0 (which would mean "not positioned") and the
// cluster just past the ring lie outside the data area.
int load_clus(kx_file* h, uint32_t clus) {
    kx_driver* pdp = h->pdp;
    if (pdp == nullptr) return KX_E_NOTFOUND;
    if (clus == 0 || clus >= pdp->total_clus) return KX_E_CLUS;
    kx_dir_item item;
    const int r = get_dir_item_info(pdp, clus, &item);
    if (r) return r;
    h->cur_clus = clus;
    h->sec_in_clus = 0;
    h->dir_item = item;
    h->channel = (uint8_t)dir_item_channel(&item);
    h->media_type = (uint8_t)dir_item_media_type(&item);
    h->record_kind = (uint8_t)dir_item_record_kind(&item);
    h->img_type = item.img;
    h->first_cluster = item.first_cluster_no;
    h->up_clus = item.up_cluster_no;
    h->clus_index = clus == item.first_cluster_no ? 0 : item.item_num;
    // The last cluster holds end_length sectors of data (0 there means a full
    // cluster); a larger value is damage and is held to the cluster.
    const uint32_t spc = pdp->sector_per_clus;
    const bool last = !dir_item_has_down(&item);
    h->clus_end = last && item.end_length != 0 && item.end_length < spc ? item.end_length : spc;
    return KX_OK;
}

// True when the item of `next` continues the handle's record right after the
// current cluster, as the writer links a new cluster: a following item of the
// same record that names the current cluster as its predecessor and holds the
// next position in the record.
bool continues_record(const kx_file* h, uint32_t next) {
    const kx_driver* pdp = h->pdp;
    if (next < pdp->rev_clus || next == 0 || next >= pdp->total_clus) return false;
    kx_dir_item item;
    if (get_dir_item_info(h->pdp, next, &item)) return false;
    return item.item_type == ITEM_FOLLOW && item.first_cluster_no == h->first_cluster &&
           item.up_cluster_no == h->cur_clus && item.item_num == (uint16_t)(h->clus_index + 1);
}

// Moves the handle to the next cluster of its record. The current item's down
// link names it as the writer linked it; when that link is missing or does
// not lead to a continuation, the cluster index is asked for the channel's
// next following cluster (search mode 9, which passes over bad clusters). The
// answer must itself continue the record. A record crossing the end of the
// ring, where the index search cannot follow it, is followed by its link.
// 3 when the chain ends (the next cluster of the channel starts another
// record, or nothing continues this one).
int next_clus(kx_file* h) {
    const bool linked = dir_item_has_down(&h->dir_item);
    uint32_t next = h->dir_item.down_clus;
    if (!linked || !continues_record(h, next)) {
        const int r = search_clus(h->pdp, 9, h->cur_clus, 0, &next, h->channel);
        if (r) return linked ? KX_E_READ : r;
        if (!continues_record(h, next)) return KX_E_READ;
    }
    // Counted here rather than taken from the 16-bit item_num, which wraps in
    // a record of more than 65,536 clusters.
    const uint32_t index = h->clus_index + 1;
    const int r = load_clus(h, next);
    if (r) return r;
    h->clus_index = index;
    return KX_OK;
}

}  // namespace

int file_load_clus(KXFILE h, uint32_t clus) {
    const int r = file_check_handle(h, __LINE__);
    if (r) return r;
    return load_clus(h, clus);
}

int kx_file_goto_clus(KXFILE h, int disk, int part, uint32_t clus) {
    kx_driver* pdp = get_pdp(disk, part);
    if (pdp == nullptr) {
        kx_log("get_pdp failed !!!!!\n");
        return KX_E_NOTFOUND;
    }
    const int r = file_check_handle(h, __LINE__);
    if (r) return r;
    if (h->state != FILE_READING && h->state != FILE_READING_RAW) {
        kx_log("Invalid file read handle!!!!!\n");
        return KX_E_HANDLE;
    }
    h->pdp = pdp;
    const int loaded = load_clus(h, clus);
    if (loaded) {
        // Not left on a cluster whose item could not be read.
        h->cur_clus = 0;
        return loaded;
    }
    if (h->first_cluster != clus) {
        kx_log("WARNING!!! kx_file_goto_clus() first_cluster:%d, clus:%d\n", h->first_cluster, clus);
        return KX_E_NOTFOUND;
    }
    return KX_OK;
}

namespace {

// Sectors that lie one after another on the disk are read with one request:
// a record's clusters are mostly contiguous, and a copy asking for megabytes
// then costs one transfer instead of one per cluster.
struct pending_run {
    uint64_t lba = 0;
    uint32_t count = 0;
    uint8_t* dst = nullptr;
};

int flush_run(uint32_t disk_no, pending_run* run) {
    if (run->count == 0) return KX_OK;
    const int r = disk_read(disk_no, run->count, run->lba, run->dst) ? KX_E_READ : KX_OK;
    run->count = 0;
    return r;
}

// Adds the next k sectors of the current cluster to the run, reading the run
// first when they do not continue it on the disk.
int extend_run(const kx_file* h, uint32_t k, uint8_t* dst, pending_run* run) {
    if (k == 0) return KX_OK;
    const uint64_t lba = clus_sector(h->pdp, h->cur_clus) + h->sec_in_clus;
    if (run->count != 0 && run->lba + run->count == lba && run->count <= UINT32_MAX - k) {
        run->count += k;
        return KX_OK;
    }
    const int r = flush_run(h->pdp->disk_no, run);
    *run = {lba, k, dst};
    return r;
}

}  // namespace

int kx_file_read(KXFILE h, void* buf, uint32_t sec_num) {
    const int r = file_check_handle(h, __LINE__);
    if (r) return r;
    if (sec_num == 0) kx_log("kx_file_read sec_num == 0\n");
    if (h->cur_clus == 0 || h->pdp == nullptr) return KX_E_NOTFOUND;
    if (buf == nullptr && sec_num != 0) return KX_E_ARG;
    uint8_t* dst = (uint8_t*)buf;
    uint32_t left = sec_num;
    pending_run run;
    // Each pass either finishes or moves to the next cluster, which holds at
    // least one sector of data: the loop ends within sec_num + 1 passes.
    for (;;) {
        const uint32_t end = h->clus_end;
        if ((uint64_t)h->sec_in_clus + left <= end) {
            if (extend_run(h, left, dst, &run) || flush_run(h->pdp->disk_no, &run)) return KX_E_READ;
            h->sec_in_clus += left;
            return KX_OK;
        }
        // A seek from a damaged first item can leave the position past the
        // data of the last cluster: nothing of it is left then.
        const uint32_t k = end > h->sec_in_clus ? end - h->sec_in_clus : 0;
        if (extend_run(h, k, dst, &run)) return KX_E_READ;
        h->sec_in_clus += k;
        dst += (size_t)k * SECTOR_SIZE;
        left -= k;
        if (!dir_item_has_down(&h->dir_item)) {
            // The record's last cluster: the rest of the request reads as 0xFF.
            if (flush_run(h->pdp->disk_no, &run)) return KX_E_READ;
            memset(dst, 0xFF, (size_t)left * SECTOR_SIZE);
            return KX_OK;
        }
        const int step = next_clus(h);
        if (step) {
            // The sectors before a broken link are still delivered.
            return flush_run(h->pdp->disk_no, &run) ? KX_E_READ : step;
        }
    }
}

int kx_file_seek(KXFILE h, uint32_t sec_pos) {
    int r = file_check_handle(h, __LINE__);
    if (r) return r;
    if (h->cur_clus == 0 || h->pdp == nullptr) return KX_E_NOTFOUND;
    const bool writing = h->state == FILE_WRITING || h->state == FILE_SUSPENDED;
    if (writing && h->linked != nullptr && h->linked != h) kx_file_seek(h->linked, sec_pos);
    uint32_t length = 0;
    r = kx_file_get_sectors(h, &length);
    if (r) return r;
    if (sec_pos > length) return KX_E_BEYOND;
    // A multiple of the cluster size lands at the end of the cluster before,
    // so that a write there fills that cluster before a new one is taken.
    const uint32_t spc = h->pdp->sector_per_clus;
    const uint32_t steps = sec_pos == 0 ? 0 : (sec_pos - 1) / spc;
    // The walk runs on a copy: a seek that fails leaves the handle where it was.
    kx_file walk = *h;
    r = load_clus(&walk, h->first_cluster);
    if (r) return r;
    for (uint32_t i = 0; i < steps; i++) {
        if (next_clus(&walk)) return KX_E_BEYOND;
    }
    walk.sec_in_clus = sec_pos - steps * spc;
    *h = walk;
    return KX_OK;
}
