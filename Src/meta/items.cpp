// Cluster index items and directory items: the two per-cluster records of a
// recorder partition. Every cluster has a one-byte index item (channel and
// cluster type) in the index area and a 32-byte directory item (chain links,
// times and lengths) in the first directory area. The accessors work on the
// cached sectors of the buffer pool; with `flush` they write the changed
// sector at once, otherwise the change waits in the pool.
#include "kxtime.h"
#include "log.h"
#include "meta/meta.h"

uint8_t g_same_second_seq = 0;

namespace {

const uint32_t kDirItemBytes = 32;
const uint32_t kDirItemsPerSector = SECTOR_SIZE / kDirItemBytes;
const uint32_t kIndexItemsPerSector = SECTOR_SIZE;

// Tags that the range message names, one per directory accessor.
enum {
    TAG_GET_INFO = 166,
    TAG_GET_TIME = 180,
    TAG_GET_TIME1 = 197,
    TAG_SET_INFO = 235,
    TAG_SET_DOWN = 255,
    TAG_SET_UP = 267,
    TAG_SET_END_TIME = 280,
    TAG_SET_LAST = 295,
    TAG_SET_FIRST = 327,
};

uint32_t pdp_dev(const kx_driver* pdp) {
    return pdp->disk_no;
}

uint64_t dir_sector(const kx_driver* pdp, uint32_t clus) {
    return pdp_sector(pdp, pdp->dir_off) + clus / kDirItemsPerSector;
}

uint64_t index_sector(const kx_driver* pdp, uint32_t clus) {
    return pdp_sector(pdp, pdp->index_off) + clus / kIndexItemsPerSector;
}

uint8_t* dir_item_bytes(buf_head* b, uint32_t clus) {
    return b->data + (clus % kDirItemsPerSector) * kDirItemBytes;
}

// Cluster numbers up to total_clus are let through (total_clus itself
// addresses the item just past the last cluster); anything above is refused
// before the disk is touched.
bool dir_clus_in_range(const kx_driver* pdp, uint32_t clus, int tag) {
    if (clus <= pdp->total_clus) return true;
    kx_log("GET_DIR_ITEM(%d %d) total:%d failed line:%d!!!!!!!!!!!!\n", (int)pdp->disk_no, (int)clus,
           (int)pdp->total_clus, tag);
    return false;
}

// Gives a changed sector back: marked modified, and written at once with
// `flush` (a failed write is 1; the pool counts the sector clean either way).
int finish_change(buf_head* b, int flush) {
    b->dirty = 1;
    int r = flush ? (write_buf(b) ? 1 : 0) : 0;
    release_buf(b);
    return r;
}

// Common sequence of the directory setters: range check, take the sector,
// let `change` edit the decoded item, encode it back and give the sector back.
template <typename Change>
int change_dir_item(kx_driver* pdp, uint32_t clus, int tag, int flush, Change change) {
    if (!dir_clus_in_range(pdp, clus, tag)) return 5;
    buf_head* b = read_buf(pdp_dev(pdp), dir_sector(pdp, clus));
    if (!b) return 4;
    kx_dir_item it;
    dir_item_decode(dir_item_bytes(b, clus), &it);
    change(&it);
    dir_item_encode(&it, dir_item_bytes(b, clus));
    return finish_change(b, flush);
}

int read_dir_item(kx_driver* pdp, uint32_t clus, int tag, kx_dir_item* out) {
    if (!dir_clus_in_range(pdp, clus, tag)) return 5;
    buf_head* b = read_buf(pdp_dev(pdp), dir_sector(pdp, clus));
    if (!b) return 4;
    dir_item_decode(dir_item_bytes(b, clus), out);
    release_buf(b);
    return 0;
}

}  // namespace

void dir_item_decode(const uint8_t* p, kx_dir_item* it) {
    it->item_type = p[0];
    it->b1 = p[1];
    it->item_num = get_le16(p + 2);
    it->start_time = get_le32(p + 4);
    it->end_time = get_le32(p + 8);
    it->down_clus = get_le32(p + 12);
    it->end_length = get_le16(p + 16);
    it->head_sectors = get_le16(p + 18);
    it->up_cluster_no = get_le32(p + 20);
    it->first_cluster_no = get_le32(p + 24);
    it->img = p[28];
    it->b29 = p[29];
    it->same_second_seq = p[30];
    it->reserved = p[31];
}

void dir_item_encode(const kx_dir_item* it, uint8_t* p) {
    p[0] = it->item_type;
    p[1] = it->b1;
    put_le16(p + 2, it->item_num);
    put_le32(p + 4, it->start_time);
    put_le32(p + 8, it->end_time);
    put_le32(p + 12, it->down_clus);
    put_le16(p + 16, it->end_length);
    put_le16(p + 18, it->head_sectors);
    put_le32(p + 20, it->up_cluster_no);
    put_le32(p + 24, it->first_cluster_no);
    p[28] = it->img;
    p[29] = it->b29;
    p[30] = it->same_second_seq;
    p[31] = it->reserved;
}

int get_dir_item_info(kx_driver* pdp, uint32_t clus, kx_dir_item* out) {
    return read_dir_item(pdp, clus, TAG_GET_INFO, out);
}

int get_dir_item_time(kx_driver* pdp, uint32_t clus, packed_time* out) {
    kx_dir_item it;
    int r = read_dir_item(pdp, clus, TAG_GET_TIME, &it);
    if (r == 0) *out = it.start_time;
    return r;
}

// The end of a cluster's data. A cluster with a successor ends when the
// successor starts (the successor's number comes from the disk and goes
// through that accessor's range check). A last cluster ends at its end_time;
// if that still equals its start, the cluster is taken to last one second,
// and the advanced value is kept in the cached sector only: it reaches the
// disk if a later change marks the sector modified.
int get_dir_item_time1(kx_driver* pdp, uint32_t clus, packed_time* out) {
    if (!dir_clus_in_range(pdp, clus, TAG_GET_TIME1)) return 5;
    buf_head* b = read_buf(pdp_dev(pdp), dir_sector(pdp, clus));
    if (!b) return 4;
    uint8_t* p = dir_item_bytes(b, clus);
    kx_dir_item it;
    dir_item_decode(p, &it);
    if (dir_item_has_down(&it)) {
        release_buf(b);
        return get_dir_item_time(pdp, it.down_clus, out);
    }
    if (it.end_time == it.start_time) {
        it.end_time = time_add(it.end_time, 1);
        put_le32(p + 8, it.end_time);
    }
    release_buf(b);
    *out = it.end_time;
    return 0;
}

int set_dir_item_info(kx_driver* pdp, uint32_t clus, const kx_dir_item* item, int flush) {
    return change_dir_item(pdp, clus, TAG_SET_INFO, flush, [item](kx_dir_item* it) { *it = *item; });
}

// Stores the link without marking the sector modified: every caller has just
// changed another field of the same item, which marked it. With `flush` the
// sector is written only when the successor's item lies in another sector;
// when both share one, the caller's following store of the new item writes
// both.
int set_dir_item_down_clus(kx_driver* pdp, uint32_t clus, uint32_t down, int flush) {
    if (!dir_clus_in_range(pdp, clus, TAG_SET_DOWN)) return 5;
    buf_head* b = read_buf(pdp_dev(pdp), dir_sector(pdp, clus));
    if (!b) return 4;
    put_le32(dir_item_bytes(b, clus) + 12, down);
    int r = 0;
    if (flush && clus / kDirItemsPerSector != down / kDirItemsPerSector) r = write_buf(b) ? 1 : 0;
    release_buf(b);
    return r;
}

int set_dir_item_up_clus(kx_driver* pdp, uint32_t clus, uint32_t value, int flush) {
    return change_dir_item(pdp, clus, TAG_SET_UP, flush,
                           [value](kx_dir_item* it) { it->up_cluster_no = value; });
}

int set_dir_item_end_time(kx_driver* pdp, uint32_t clus, packed_time t, int flush) {
    return change_dir_item(pdp, clus, TAG_SET_END_TIME, flush, [t](kx_dir_item* it) { it->end_time = t; });
}

// Closes a file's last cluster.
int set_dir_last_item(kx_driver* pdp, uint32_t clus, uint16_t end_length, packed_time t, int flush) {
    return change_dir_item(pdp, clus, TAG_SET_LAST, flush, [=](kx_dir_item* it) {
        it->end_time = t;
        it->end_length = end_length;
        it->down_clus = 0;
    });
}

// Keeps a file's first item up to date with its end, last-cluster length and
// last-cluster position.
int set_dir_first_item(kx_driver* pdp, uint32_t clus, uint16_t end_length, uint16_t item_num, packed_time t,
                       int flush) {
    return change_dir_item(pdp, clus, TAG_SET_FIRST, flush, [=](kx_dir_item* it) {
        it->end_time = t;
        it->end_length = end_length;
        it->item_num = item_num;
    });
}

// The index area holds one item per cluster of the volume; a cluster number
// from damaged metadata beyond total_clus would address sectors outside it,
// so both index accessors refuse it with 5 (quietly: they have no message).
int get_index_item_info(kx_driver* pdp, uint32_t clus, uint8_t* out) {
    if (clus > pdp->total_clus) return 5;
    buf_head* b = read_buf(pdp_dev(pdp), index_sector(pdp, clus));
    if (!b) return 4;
    *out = b->data[clus % kIndexItemsPerSector];
    release_buf(b);
    return 0;
}

// A bad or reserved cluster (clus_type 3) is protected: its item keeps its
// value and the caller sees success.
int set_index_item_info(kx_driver* pdp, uint32_t clus, const uint8_t* value, int flush) {
    if (clus > pdp->total_clus) return 5;
    buf_head* b = read_buf(pdp_dev(pdp), index_sector(pdp, clus));
    if (!b) return 4;
    uint8_t* p = b->data + clus % kIndexItemsPerSector;
    if ((*p & INDEX_PROTECTED) == INDEX_PROTECTED) {
        release_buf(b);
        return 0;
    }
    *p = *value;
    return finish_change(b, flush);
}

int make_index_item(uint8_t* out, uint32_t channel, uint32_t clus_type) {
    *out = (uint8_t)((channel & 63u) + 64u * (clus_type & 3u));
    return 0;
}

// A fresh item for a cluster the writer takes: open (down_clus all ones),
// started and ended now. The same-second counter numbers the files started
// within one second: an item that starts a file (item_num 0) takes the
// counter and moves it on. Byte 31 keeps what the destination held.
int make_dir_item(kx_dir_item* out, uint32_t channel, uint32_t media_type, uint32_t record_kind, uint8_t img,
                  uint8_t item_type, uint32_t up, uint32_t first, uint16_t item_num, uint16_t head_sectors) {
    packed_time now;
    get_local_time(&now);
    out->item_type = item_type;
    out->b1 = (uint8_t)((channel & 15u) + 16u * (media_type & 3u) + 64u * (record_kind & 3u));
    out->b29 = (uint8_t)((record_kind & 0xFCu) + ((channel >> 4) & 3u));
    out->item_num = item_num;
    out->start_time = now;
    out->end_time = now;
    out->down_clus = DOWN_OPEN;
    out->end_length = 0;
    out->head_sectors = head_sectors;
    out->up_cluster_no = up;
    out->first_cluster_no = first;
    out->img = img;
    out->same_second_seq = g_same_second_seq;
    if (item_num == 0) g_same_second_seq++;
    return 0;
}
