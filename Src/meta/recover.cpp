// Mount-time recovery of a volume whose recording was interrupted, and the
// backup of the cluster index area into the partition's last cluster.
//
// A recorder that loses power leaves the last cluster of its open record
// file marked open (down_clus 0xFFFFFFFF), a first item that does not know
// the file's end, a descriptor whose current_cluster lags behind (it is saved
// only now and then) and possibly missing index items for the newest
// clusters. restore_fs41 closes such files and moves the write position to
// what the directory items prove; restore_clus_index rebuilds the index
// items of the recent clusters. All repairs stay in the buffer pool; the
// save_pdp that follows at mount writes them.
#include "file/file.h"
#include "kxtime.h"
#include "log.h"
#include "meta/meta.h"
#include "volume/volume.h"

namespace {

constexpr uint32_t kScanAhead = 520;       // clusters scanned past the stored current_cluster
constexpr int32_t kTimeBackLimit = -10;    // seconds a start may lie before the previous one
constexpr int32_t kBelievableGap = 300;    // seconds between an open cluster's start and shutdown
constexpr uint32_t kSection2Clear = 256;   // clusters section 2 keeps clear ahead of the writer
constexpr uint32_t kIndexRedo = 512;       // clusters before index_clus rebuilt again
constexpr uint32_t kChunk = IO_BUF_SECTORS;

// Closes the open cluster `clus` (item `it`) of an interrupted file and gives
// its first item the file's end. The shutdown time is believed only when it
// lies 0 to 300 s after the cluster was taken; otherwise the cluster is taken
// as full and ends when it began.
int repair_open_cluster(kx_driver* pdp, uint32_t clus, const kx_dir_item& it) {
    packed_time start_time;
    int r = get_dir_item_time(pdp, clus, &start_time);
    if (r) {
        kx_log("Error %d : get_dir_item_time(pdp,clus1,&start_time)\n", r);
        return r;
    }
    packed_time shutdown_time = g_shutdown_time;
    print_time(start_time);
    print_time(shutdown_time);

    int32_t d = time_diff(shutdown_time, start_time);
    uint32_t end_length;
    if (d > kBelievableGap || d < 0) {
        shutdown_time = start_time;
        end_length = pdp->sector_per_clus;
    } else {
        calcu_file_length(shutdown_time, start_time, it.img, &end_length);
        // The estimate may exceed a small cluster; a last cluster never holds
        // more than itself, or reading the file would run into the next one.
        if (end_length > pdp->sector_per_clus) end_length = pdp->sector_per_clus;
    }

    kx_log("restore1 %u clus,clus->first_clus=%u\n", clus, it.first_cluster_no);
    r = set_dir_first_item(pdp, it.first_cluster_no, (uint16_t)end_length, it.item_num, start_time, 0);
    if (r) {
        kx_log("Error %d : set_dir_first_item(pdp,pdir_item->first_cluster_no ,end_length,pdir_item->item_num "
               ",start_time,FALSE)\n",
               r);
        return r;
    }
    r = set_dir_item_end_time(pdp, it.first_cluster_no, shutdown_time, 0);
    if (r) {
        kx_log("Error %d : set_dir_item_end_time(pdp,pdir_item->first_cluster_no,shutdown_time,FALSE)\n", r);
        return r;
    }
    r = set_dir_last_item(pdp, clus, (uint16_t)end_length, shutdown_time, 0);
    if (r) {
        kx_log("Error %d : set_dir_last_item(pdp,clus1,end_length,shutdown_time,FALSE)\n", r);
        return r;
    }
    return 0;
}

// Moves section 2 so that it keeps its distance ahead of the (new) write
// position, or drops it when nothing of it is left beyond that distance.
int restore_section2(kx_driver* pdp) {
    if (pdp->start_cluster2 == 0) return 0;
    uint64_t s = (uint64_t)pdp->current_cluster + kSection2Clear;
    if (s < pdp->end_cluster2) {
        pdp->start_cluster2 = (uint32_t)s;
        int r = get_dir_item_time(pdp, pdp->start_cluster2, &pdp->start_time2);
        if (r) {
            kx_log("Error %d : get_dir_item_time(pdp,pdp->start_cluster2,&pdp->start_time2)\n", r);
            return r;
        }
    } else {
        clear_section2(pdp);
    }
    return 0;
}

// True when the cluster `clus`, whose start lies more than ten seconds before
// the one written before it, was written in this pass all the same: the clock
// was set back and the descriptor, saved only now and then, lost the
// collision. The ring has never wrapped (the directory was cleared at format,
// so nothing older lies ahead), or a later cluster of the scan continues a
// record of this pass: its up cluster, at or before `last`, names it as its
// next one. The writer takes clusters in order, so every cluster up to that
// one was taken in this pass too.
bool written_this_pass(kx_driver* pdp, uint32_t clus, uint32_t last, uint32_t end) {
    if (pdp->fill_count == 0) return true;
    for (uint32_t d = clus; d < end; d++) {
        kx_dir_item it, up;
        if (get_dir_item_info(pdp, d, &it) != 0 || it.item_type != ITEM_FOLLOW) continue;
        if (it.up_cluster_no < pdp->rev_clus || it.up_cluster_no > last) continue;
        if (get_dir_item_info(pdp, it.up_cluster_no, &up) == 0 && up.down_clus == d) return true;
    }
    return false;
}

// Index item type that the directory item's type calls for.
uint32_t clus_type_of(uint8_t item_type) {
    switch (item_type) {
        case ITEM_FIRST: return CLUS_TYPE_START;
        case ITEM_RESUME: return CLUS_TYPE_RESUME;
        case ITEM_UNUSED:
        case ITEM_FOLLOW: return CLUS_TYPE_FOLLOW;
        default: return CLUS_TYPE_BAD;
    }
}

}  // namespace

int restore_fs41(kx_driver* pdp) {
    uint32_t start = pdp->rev_clus > pdp->current_cluster ? pdp->rev_clus : pdp->current_cluster;
    uint64_t ahead = (uint64_t)pdp->current_cluster + kScanAhead;
    uint32_t end = ahead < pdp->total_clus ? (uint32_t)ahead : pdp->total_clus;
    kx_log("restore_fs41() %d-->%d\n", (int)start, (int)end);

    uint32_t last = start;
    packed_time prev = 0;
    for (uint32_t c = start; c < end; c++) {
        kx_dir_item it;
        int r = get_dir_item_info(pdp, c, &it);
        if (r) {
            kx_log("Error %d : get_dir_item_info(pdp,clus1,pdir_item)\n", r);
            return r;
        }
        if (!dir_item_in_use(&it)) continue;
        // The ring's newest data ends where start times fall back: what
        // follows is older data of the previous pass, unless it is proven to
        // be this pass's, written after the clock was set back.
        if (time_diff(it.start_time, prev) < kTimeBackLimit) {
            if (!written_this_pass(pdp, c, last, end)) {
                kx_log("time out\n");
                print_time(prev);
                print_time(it.start_time);
                break;
            }
            note_collision_at(pdp, c);
        }
        prev = it.start_time;
        if (it.item_type == ITEM_FOLLOW) {
            // A genuine continuation is named back by its predecessor; a
            // stale item of an older pass is not.
            kx_dir_item up;
            r = get_dir_item_info(pdp, it.up_cluster_no, &up);
            if (r) {
                kx_log("Error %d : get_dir_item_info(pdp, pdir_item->up_cluster_no, &next_dir_item)\n", r);
                return r;
            }
            if (up.down_clus != c) {
                kx_log("cluster out\n");
                break;
            }
        }
        if (it.down_clus == 0) {
            last = c;
        } else if (it.down_clus == DOWN_OPEN) {
            r = repair_open_cluster(pdp, c, it);
            if (r) return r;
            last = c;
        }
    }

    pdp->current_cluster = last;
    int r = get_dir_item_time1(pdp, last, &pdp->end_time1);
    if (r) {
        kx_log("Error %d : get_dir_item_time1(pdp,pdp->current_cluster,&pdp->end_time1)\n", r);
        return r;
    }
    // A last cluster that ends before it began saw the clock go back while it
    // was open. Recording on, the next cluster must still be seen to start
    // before it, as a collision, whose note was lost with the power.
    packed_time last_start = 0;
    if (get_dir_item_time(pdp, last, &last_start) == 0 && pdp->end_time1 < last_start) pdp->end_time1 = last_start;
    r = restore_section2(pdp);
    if (r) return r;
    r = restore_clus_index(pdp);
    if (r) {
        kx_log("Error %d : restore_clus_index(pdp)\n", r);
        return r;
    }
    return 0;
}

int restore_clus_index(kx_driver* pdp) {
    int64_t s = (int32_t)(pdp->index_clus - kIndexRedo);
    if (s <= (int64_t)pdp->rev_clus) s = pdp->rev_clus;
    kx_log("restore_clus_index %x dev:%u-->%u\n", pdp->disk_no, (uint32_t)s, pdp->current_cluster);

    // 64-bit so that the loop ends even at the largest cluster number; the
    // directory accessor refuses clusters beyond the volume.
    for (uint64_t c = (uint64_t)s; c <= pdp->current_cluster; c++) {
        kx_dir_item it;
        int r = get_dir_item_info(pdp, (uint32_t)c, &it);
        if (r) {
            kx_log("Error %d : get_dir_item_info(pdp,st_clus,pdir_item)\n", r);
            return r;
        }
        uint8_t index_info;
        make_index_item(&index_info, dir_item_channel(&it), clus_type_of(it.item_type));
        r = set_index_item_info(pdp, (uint32_t)c, &index_info, 0);
        if (r) {
            kx_log("Error %d : set_index_item_info(pdp,st_clus,&index_info,FALSE)\n", r);
            return r;
        }
    }
    pdp->index_clus = pdp->current_cluster;
    return 0;
}

int copy_index(int disk_no, int part, int to_backup) {
    const uint32_t dev = (uint32_t)disk_no;
    sync_disk(dev);
    kx_driver* pdp = get_pdp(disk_no, part);
    if (!pdp) return 1;

    uint32_t size = pdp->data_off - pdp->index_off;
    uint64_t index_area = pdp->start_sector + pdp->index_off;
    uint64_t last_clus = pdp->start_sector + pdp->data_off + (uint64_t)(pdp->total_clus - 1) * pdp->sector_per_clus;
    kx_log("copy_index : size=%u,offset1=%u,offset2=%u\n", size, (uint32_t)index_area, (uint32_t)last_clus);

    // The copy moves whole 16-sector chunks and must stay inside the last
    // cluster; a descriptor that cannot give that is not copied at all.
    uint64_t chunked = ((uint64_t)size + kChunk - 1) / kChunk * kChunk;
    if (pdp->data_off < pdp->index_off || pdp->total_clus == 0 || chunked > pdp->sector_per_clus) return 1;

    uint64_t from = to_backup ? index_area : last_clus;
    uint64_t to = to_backup ? last_clus : index_area;
    for (uint32_t off = 0; off < size; off += kChunk) {
        // Restoring writes only the index area itself: the sectors after it
        // begin the data area, where the user-data items live.
        uint32_t n = (!to_backup && size - off < kChunk) ? size - off : kChunk;
        if (disk_read(dev, kChunk, from + off, io_buf)) return 3;
        if (disk_write(dev, n, to + off, io_buf)) return 4;
        forget_cached_sectors(dev, to + off, n);
    }
    return 0;
}
