// The search over a partition's cluster index, and bad clusters.
//
// Everything that walks the recordings (taking the next cluster to write,
// following a record, finding record starts, finding bad clusters) steps
// through the one-byte index items, sector by sector through the buffer
// pool. A cluster whose item has clus_type 3 is bad or reserved: protected,
// and passed over by every search that looks for usable clusters.
#include "kxtime.h"
#include "log.h"
#include "meta/meta.h"

namespace {

const uint32_t kIndexItemsPerSector = SECTOR_SIZE;

uint32_t item_channel(uint8_t b) {
    return b & 63u;
}
uint32_t item_clus_type(uint8_t b) {
    return b >> 6;
}
bool channel_matches(uint8_t b, uint8_t filter) {
    return filter == SEARCH_ANY_CHANNEL || item_channel(b) == filter;
}
bool usable(uint8_t b, uint8_t filter) {
    return item_clus_type(b) != CLUS_TYPE_BAD && channel_matches(b, filter);
}
bool starts_file(uint8_t b) {
    return item_clus_type(b) == CLUS_TYPE_RESUME || item_clus_type(b) == CLUS_TYPE_START;
}

bool is_backward(int mode) {
    return mode == 7 || mode == 8 || mode == 11 || mode == 12;
}
// Mode 6 and mode numbers without a search only test the start cluster.
bool is_walking(int mode) {
    return mode >= 2 && mode <= 12 && mode != 6;
}

// The index sector under the walk: at most one is held at a time, and it is
// given back before the next one is taken.
struct index_cursor {
    kx_driver* pdp;
    buf_head* buf;
    uint64_t sector;
};

bool cursor_read(index_cursor* cur, uint32_t clus, uint8_t* out) {
    uint64_t sector = pdp_sector(cur->pdp, cur->pdp->index_off) + clus / kIndexItemsPerSector;
    if (!cur->buf || cur->sector != sector) {
        release_buf(cur->buf);
        cur->buf = read_buf(cur->pdp->disk_no, sector);
        if (!cur->buf) return false;
        cur->sector = sector;
    }
    *out = cur->buf->data[clus % kIndexItemsPerSector];
    return true;
}

void cursor_close(index_cursor* cur) {
    release_buf(cur->buf);
    cur->buf = nullptr;
}

// What a walk makes of the item of one cluster.
enum step_result { STEP_PASS, STEP_FOUND, STEP_BARRIER, STEP_END };

step_result classify(int mode, uint8_t b, uint8_t start, uint8_t filter) {
    switch (mode) {
        case 2:
        case 7:
        case 11:
        case 12:
            return usable(b, filter) ? STEP_FOUND : STEP_PASS;
        case 3:
        case 8:
            return starts_file(b) && channel_matches(b, filter) ? STEP_FOUND : STEP_PASS;
        case 4:
            if (!channel_matches(b, filter)) return STEP_PASS;
            return item_clus_type(b) == CLUS_TYPE_START ? STEP_BARRIER : STEP_FOUND;
        case 5:
            return item_clus_type(b) == CLUS_TYPE_BAD ? STEP_FOUND : STEP_PASS;
        case 9:
            // The next cluster of the start cluster's record. A bad cluster keeps
            // the channel bits of the record that owned it, and the writer steps
            // over it when it continues another record of that channel, so bad
            // clusters of the channel are passed over; the channel's next record
            // start ends the chain.
            if (item_channel(b) != item_channel(start) || item_clus_type(b) == CLUS_TYPE_BAD)
                return STEP_PASS;
            return item_clus_type(b) == CLUS_TYPE_FOLLOW ? STEP_FOUND : STEP_END;
        case 10:
            return starts_file(b) ? STEP_FOUND : STEP_PASS;
        default:
            return STEP_PASS;
    }
}

// The inclusive range [low, high] a search stays in. A bound of 0 means the
// time section that holds the start cluster: the current pass up to the
// write position, or what is left of the previous pass after it. The range
// is cut at the volume's last cluster, whatever a damaged descriptor or a
// caller's bound says, so that no walk reads beyond the index area.
void search_range(const kx_driver* pdp, int mode, uint32_t clus, uint32_t bound, int64_t* low,
                  int64_t* high) {
    if (bound != 0) {
        *low = is_backward(mode) ? bound : clus;
        *high = is_backward(mode) ? clus : bound;
    } else if (clus <= pdp->current_cluster) {
        *low = pdp->rev_clus;
        *high = pdp->current_cluster;
    } else {
        *low = (int64_t)pdp->current_cluster + 1;
        *high = pdp->end_cluster2;
    }
    if (*high > (int64_t)pdp->total_clus - 1) *high = (int64_t)pdp->total_clus - 1;
}

// A bad cluster that the writer steps over is given a directory item of a
// closed, empty one-cluster file of channel 0, stamped with the time it was
// passed; its index item stays bad. The write's result is not looked at.
void stamp_passed_bad_clus(kx_driver* pdp, uint32_t clus) {
    kx_log("jump over bad cluster, dev = %d, clus = %d\n", (int)pdp->disk_no, (int)clus);
    kx_dir_item it = {};
    it.item_type = ITEM_FIRST;
    get_local_time(&it.start_time);
    it.end_time = it.start_time;
    it.first_cluster_no = clus;
    (void)set_dir_item_info(pdp, clus, &it, 1);
}

// Mode 1: the next cluster to write after clus, used or not, up to the end of
// the volume and without a range. Reserved clusters below rev_clus are passed
// over silently, bad ones of the ring are stamped.
int take_write_clus(kx_driver* pdp, index_cursor* cur, uint32_t clus, uint32_t* out) {
    for (uint64_t c = (uint64_t)clus + 1; c < pdp->total_clus; c++) {
        uint8_t b;
        if (!cursor_read(cur, (uint32_t)c, &b)) return 4;
        if (item_clus_type(b) != CLUS_TYPE_BAD) {
            *out = (uint32_t)c;
            return 0;
        }
        if (c >= pdp->rev_clus) stamp_passed_bad_clus(pdp, (uint32_t)c);
    }
    return 3;
}

// Every mode but 1: walk from the cluster next to clus in the mode's
// direction; the first cluster that meets the mode's condition ends the walk,
// and counts only if it lies in the range.
int walk_index(kx_driver* pdp, index_cursor* cur, int mode, uint32_t clus, uint32_t bound, uint8_t start,
               uint8_t filter, uint32_t* out) {
    int64_t low, high;
    search_range(pdp, mode, clus, bound, &low, &high);
    if (mode == 11 && item_clus_type(start) != CLUS_TYPE_FOLLOW) return 12;
    if (mode == 12 && item_clus_type(start) == CLUS_TYPE_START && channel_matches(start, filter)) return 12;
    if (!is_walking(mode)) {
        if (clus < low || clus > high) return 3;
        *out = clus;
        return 0;
    }
    const int64_t step = is_backward(mode) ? -1 : 1;
    for (int64_t c = (int64_t)clus + step; step > 0 ? c <= high : c >= low; c += step) {
        uint8_t b;
        if (!cursor_read(cur, (uint32_t)c, &b)) return 4;
        step_result s = classify(mode, b, start, filter);
        if (s == STEP_PASS) continue;
        if (c < low || c > high) return 3;
        if (s == STEP_BARRIER) return 12;
        if (s == STEP_END) return 3;
        *out = (uint32_t)c;
        return 0;
    }
    return 3;
}

}  // namespace

// A start cluster outside the volume is not searched from: nothing is read
// and the answer is 3.
int search_clus(kx_driver* pdp, int mode, uint32_t clus, uint32_t bound, uint32_t* out, uint8_t channel) {
    if (pdp->index_off == 0) return 13;
    if (clus >= pdp->total_clus) return 3;
    index_cursor cur = {pdp, nullptr, 0};
    uint8_t start;
    if (!cursor_read(&cur, clus, &start)) return 4;
    int r = mode == 1 ? take_write_clus(pdp, &cur, clus, out)
                      : walk_index(pdp, &cur, mode, clus, bound, start, channel, out);
    cursor_close(&cur);
    return r;
}

// After a failed data write: the cluster's index item gets both clus_type
// bits, keeping its channel bits, and is written at once. A cluster whose
// item cannot be read is left alone.
void set_bad_clus(kx_driver* pdp, uint32_t clus) {
    kx_log("set bad clus : dev %d, clus %d\n", (int)pdp->disk_no, (int)clus);
    uint8_t b;
    if (get_index_item_info(pdp, clus, &b) != 0) return;
    b |= INDEX_PROTECTED;
    (void)set_index_item_info(pdp, clus, &b, 1);
}
