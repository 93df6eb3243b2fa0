// The write side of the file layer: appending sectors to a record of one
// channel, taking clusters from the recording ring, keeping the record's
// directory items current, packing long recordings into records, restarting
// the ring when the volume is full, attaching user data, and marking a
// cluster bad when writing to it fails.
//
// A record is a chain of clusters. Its first directory item always carries
// the record's current length (item_num and end_length) and end time, so that
// a record cut off by a power failure can be read up to its last write; the
// last cluster's item says "open" (down link all ones) until the record is
// finished.
#include <cstring>

#include "disk.h"
#include "file/file.h"
#include "kxtime.h"
#include "log.h"
#include "meta/meta.h"
#include "platform/clock.h"

namespace {

// The handle's adapter kind of a record file.
constexpr uint8_t KIND_RECORD = 0;
// Result of the argument checks when there is nothing to write.
constexpr int NOTHING_TO_WRITE = -1;
// item_num is 16 bits wide: a record holds at most this many clusters after
// its first one.
constexpr uint32_t MAX_CLUS_INDEX = 0xFFFF;
// Bound on full-volume retries within one cluster request: every driver of the
// ring restarted once, and then some.
constexpr int MAX_FULL_RETRIES = 2 * KX_MAX_DRIVERS + 1;

// For the entries that only need the handle to point at an entry of the
// table (closing and suspending work on handles of any generation).
int check_in_table(KXFILE h, int line) {
    if (file_handle_in_table(h)) return 0;
    kx_log("INVALID HANDLE: %s,%d\n", KX_UNIT_FILE, line);
    return KX_E_HANDLE;
}

int no_partition(int line) {
    kx_log("ASSERT: %s,%d\n", KX_UNIT_FILE, line);
    return KX_E_NODRIVER;
}

// The checks kx_file_write and _file_write both make: 0 to go on,
// NOTHING_TO_WRITE, or the failure code.
int check_write(KXFILE h, const void* pbuf, uint32_t sec_num, const char* zero_message, int line) {
    if (int r = file_check_handle(h, line)) return r;
    if (sec_num == 0) {
        kx_log("%s", zero_message);
        // Nothing to do. Going on would hand a zero-sector request to the
        // disk, whose refusal would then mark a good cluster bad.
        return NOTHING_TO_WRITE;
    }
    if (h->kind == KIND_RECORD && h->state != FILE_WRITING) {
        kx_log("Invalid file write handle %x, flag %d!!!!!\n", (unsigned)(h - file_table), h->state);
        return KX_E_HANDLE;
    }
    if (pbuf == nullptr) return KX_E_ARG;
    return 0;
}

bool in_recording_ring(const kx_driver* pdp, uint32_t clus) {
    return clus >= pdp->rev_clus && clus < pdp->total_clus;
}

// Moves the high-water mark up to the current position when it lies beyond.
void raise_high_water(KXFILE h) {
    const uint64_t spc = h->pdp->sector_per_clus;
    const uint64_t here = h->clus_index * spc + h->sec_in_clus;
    const uint64_t mark = h->write_clus_count * spc + h->write_sec;
    if (here > mark) {
        h->write_clus = h->cur_clus;
        h->write_sec = h->sec_in_clus;
        h->write_clus_count = h->clus_index;
    }
}

// Writes n sectors at the handle's position inside its current cluster. A
// failed write marks the cluster bad, so that no later record is put there,
// and finishes the record at what was written before: the stream goes on in
// a new record at the next write instead of failing on the same cluster for
// as long as the handle stays open.
int write_sectors(KXFILE h, const uint8_t* p, uint32_t n, packed_time now) {
    kx_driver* pdp = h->pdp;
    if (!in_recording_ring(pdp, h->cur_clus) || h->sec_in_clus + (uint64_t)n > pdp->sector_per_clus)
        return KX_E_CLUS;
    const uint64_t lba = clus_sector(pdp, h->cur_clus) + h->sec_in_clus;
    if (disk_write(pdp->disk_no, n, lba, p) != 0) {
        set_bad_clus(pdp, h->cur_clus);
        file_suspend(h, now);
        file_resume(h, now);
        return KX_E_META;
    }
    h->sec_in_clus += n;
    raise_high_water(h);
    return 0;
}

// Finds the next cluster to write after the partition's recording head. On a
// full partition, in single-driver mode the search's code is returned; else
// every writer of the partition is suspended, the work driver moves on (to
// the next driver of the ring, or back to its own beginning) and the search
// is made again on the handle's (possibly new) partition.
int take_free_cluster(KXFILE h, packed_time now, uint32_t* clus) {
    for (int attempt = 0;; attempt++) {
        kx_driver* pdp = h->pdp;
        if (pdp == nullptr) return no_partition(__LINE__);
        const bool whole_ring = pdp->current_cluster < pdp->rev_clus;
        const int r = search_clus(pdp, 1, pdp->current_cluster, 0, clus, SEARCH_ANY_CHANNEL);
        // Only the end of the partition means "full": an unreadable index
        // sector must not restart the ring over recordings still wanted.
        if (r != KX_E_READ) return r;
        kx_log("DISK OVER\n");
        // A search over the whole ring that found nothing will not find
        // anything after a restart either.
        if (g_fs_adapt || whole_ring || attempt >= MAX_FULL_RETRIES) return r;
        file_suspend_all(pdp, now);
        switch_work_driver(pdp);
        file_resume_all(pdp, now);
    }
}

// Steps from a full cluster to the next one of the record: along the down
// link when the handle was positioned back inside a written record, else a
// new cluster. A record whose item_num would overflow is finished first and
// the stream goes on in a new record.
int move_to_next_cluster(KXFILE h, packed_time now) {
    const kx_dir_item& item = h->dir_item;
    if (dir_item_has_down(&item) && in_recording_ring(h->pdp, item.down_clus))
        return file_load_clus(h, item.down_clus);
    if (h->first_cluster != 0 && h->clus_index >= MAX_CLUS_INDEX) {
        file_suspend(h, now);
        file_resume(h, now);
    }
    const int r = set_new_clus(h);
    if (r) kx_log("Error %d : set_new_clus(handle)\n", r);
    return r;
}

int first_failure(int a, int b) { return a != 0 ? a : b; }

}  // namespace

void file_write_setup(KXFILE h, uint8_t channel, uint8_t media_type, uint8_t record_kind, uint8_t img_type,
                      packed_time t, int driver_index, KXFILE mirror) {
    if (check_in_table(h, __LINE__)) return;
    h->opened = 1;
    h->state = FILE_WRITING;
    h->channel = channel;
    h->media_type = media_type;
    h->record_kind = record_kind;
    h->img_type = img_type;
    h->length = 0;
    h->sec_in_clus = 0;
    h->clus_index = 0;
    h->write_clus_count = 0;
    h->up_clus = 0;
    h->cur_clus = 0;
    h->first_cluster = 0;
    h->write_clus = 0;
    h->write_sec = 0;
    h->open_tick = pc_tick_ms();
    h->pdp = driver_index >= 0 && driver_index < KX_MAX_TYPES ? g_work_driver[driver_index] : nullptr;
    h->reopened = 0;
    h->repack_ud = 0;
    h->ud_pending = 0;
    h->search_time = t;
    h->linked = mirror;
    h->kind = KIND_RECORD;
}

int kx_file_write(KXFILE h, const void* pbuf, uint32_t sec_num) {
    int r = check_write(h, pbuf, sec_num, "kx_file_write sec_num == 0\n", __LINE__);
    if (r) return r == NOTHING_TO_WRITE ? 0 : r;
    r = _file_write(h, pbuf, sec_num);
    // The mirror gets the sectors even when the first copy failed; the caller
    // learns of any failure, not only of the mirror's.
    if (h->linked) r = first_failure(r, _file_write(h->linked, pbuf, sec_num));
    return r;
}

int _file_write(KXFILE h, const void* pbuf, uint32_t sec_num) {
    int r = check_write(h, pbuf, sec_num, "_file_write sec_num == 0\n", __LINE__);
    if (r) return r == NOTHING_TO_WRITE ? 0 : r;
    if (h->pdp == nullptr) return no_partition(__LINE__);

    packed_time now;
    get_local_time(&now);
    update_write_time(h->pdp, now);

    if (h->first_cluster == 0) {
        r = set_new_clus(h);
        if (r) {
            kx_log("Error %d : set_new_clus(handle)\n", r);
            return r;
        }
        if (h->ud_pending) {
            r = _set_file_ud(h, h->user_data);
            if (r) {
                kx_log("Error %d : _set_file_ud(handle,&pfile->user_data )\n", r);
                return r;
            }
        }
    }

    // Cluster by cluster: fill the current cluster, step on, write the rest.
    const uint8_t* p = static_cast<const uint8_t*>(pbuf);
    uint32_t left = sec_num;
    bool moved = false;
    for (;;) {
        const uint32_t spc = h->pdp->sector_per_clus;
        const uint64_t end = (uint64_t)h->sec_in_clus + left;
        if (end >= spc) h->search_time = now;
        if (end <= spc) break;
        const uint32_t fit = h->sec_in_clus < spc ? spc - h->sec_in_clus : 0;
        if (fit) {
            r = write_sectors(h, p, fit, now);
            if (r) break;
            p += (size_t)fit * SECTOR_SIZE;
            left -= fit;
        }
        r = move_to_next_cluster(h, now);
        if (r) break;
        moved = true;
    }
    if (r == 0) r = write_sectors(h, p, left, now);
    if (r) {
        if (moved) kx_log("Error %d : _file_write(handle, pbuf, sec_num)\n", r);
        return r;
    }

    kx_driver* pdp = h->pdp;
    if (h->kind == KIND_RECORD) {
        r = set_dir_item_end_time(pdp, h->cur_clus, now, 0);
        r = first_failure(r, set_dir_first_item(pdp, h->first_cluster, (uint16_t)h->sec_in_clus,
                                                (uint16_t)h->clus_index, now, 0));
        if (r) return r;
    }

    const uint32_t minutes = (pc_tick_ms() - h->open_tick) / 60000;
    if (!pack_due(minutes, now)) return 0;
    kx_log("_file_write pack file internal for cur_minute = %d\n", (int)minutes);
    const bool repack = h->repack_ud != 0;
    file_suspend(h, now);
    file_resume(h, now);
    if (repack) {
        r = _set_file_ud(h, h->user_data);
        if (r) kx_log("Error %d : _set_file_ud((KXFILE)pfile, &pfile->user_data)\n", r);
        return r;
    }
    return 0;
}

int set_new_clus(KXFILE h) {
    if (int r = file_check_handle(h, 100)) return r;
    packed_time now;
    get_local_time(&now);

    uint32_t clus = 0;
    int r = take_free_cluster(h, now, &clus);
    if (r) return r;
    // Read after the search: a full volume may have moved the handle to
    // another driver and started a new record.
    kx_driver* pdp = h->pdp;
    const uint32_t old = h->cur_clus;
    h->sec_in_clus = 0;
    h->up_clus = old;
    h->cur_clus = clus;

    uint8_t item_type;
    uint32_t clus_type;
    if (h->first_cluster != 0) {
        set_dir_item_end_time(pdp, old, now, 0);
        set_dir_item_down_clus(pdp, old, clus, 1);
        h->clus_index++;
        item_type = ITEM_FOLLOW;
        clus_type = CLUS_TYPE_FOLLOW;
    } else {
        h->first_cluster = clus;
        item_type = h->reopened ? ITEM_RESUME : ITEM_FIRST;
        clus_type = h->reopened ? CLUS_TYPE_RESUME : CLUS_TYPE_START;
    }

    make_dir_item(&h->dir_item, h->channel, h->media_type, h->record_kind, h->img_type, item_type, h->up_clus,
                  h->first_cluster, (uint16_t)h->clus_index, (uint16_t)(h->data_start / SECTOR_SIZE));
    make_index_item(h->index_byte, h->channel, clus_type);

    // Every store is made; the result is the first that failed, so that a
    // directory sector lost on the disk is not reported as success.
    r = set_dir_item_info(pdp, clus, &h->dir_item, 1);
    r = first_failure(r, set_index_item_info(pdp, clus, h->index_byte, 0));
    r = first_failure(r, set_dir_first_item(pdp, h->first_cluster, (uint16_t)h->sec_in_clus,
                                            (uint16_t)h->clus_index, h->dir_item.end_time, 0));
    set_current_cluster(pdp, clus);
    return r;
}

int _set_file_ud(KXFILE h, const uint8_t* ud) {
    if (int r = file_check_handle(h, 2096)) return r;
    if (h->state != FILE_WRITING) return 0;
    if (ud != h->user_data) memcpy(h->user_data, ud, USER_DATA_BYTES);

    if (h->first_cluster == 0) {
        kx_log("_set_file_ud() the following user data not write to file first_cluster %d\n", 0);
        CardNO(h->user_data);
        h->ud_pending = 1;
        return 0;
    }
    kx_driver* pdp = h->pdp;
    if (pdp == nullptr) return no_partition(__LINE__);

    uint32_t index = 0;
    const int r = ud_add_item(pdp, h->first_cluster, h->user_data, &index);
    // The first item points at the record's first user-data item only; an
    // up link already set means this record was marked before.
    kx_dir_item first;
    if (index != 0 && get_dir_item_info(pdp, h->first_cluster, &first) == 0 && first.up_cluster_no == 0)
        set_dir_item_up_clus(pdp, h->first_cluster, index, 1);
    h->ud_pending = 0;
    return r;
}

int file_write_finish(KXFILE h, packed_time t, int flush) {
    if (int r = check_in_table(h, __LINE__)) return r;
    if (h->first_cluster == 0) return 0;
    kx_driver* pdp = h->pdp;
    if (pdp == nullptr) {
        kx_log("ASSERT: %s,%d\n", KX_UNIT_FILE, __LINE__);
        return KX_E_ARG;
    }
    // Nothing written yet (the first data write failed): the record is its
    // first cluster with no data; cluster 0 is reserved and never a record's.
    const uint32_t last = h->write_clus != 0 ? h->write_clus : h->first_cluster;
    int r = set_dir_last_item(pdp, last, (uint16_t)h->write_sec, t, flush);
    r = first_failure(r, set_dir_first_item(pdp, h->first_cluster, (uint16_t)h->write_sec,
                                            (uint16_t)h->write_clus_count, t, flush));
    // A clock set back since the last write (the record closed after the
    // jump) must still be a collision, or the next record would start a
    // section whose times fall back unnoticed.
    update_end_time(pdp, t);
    return r;
}

void file_suspend(KXFILE h, packed_time t) {
    if (!file_handle_in_table(h) || h->state != FILE_WRITING) return;
    h->state = FILE_SUSPENDED;
    file_write_finish(h, t, 1);
}

void file_resume(KXFILE h, packed_time /*t: the record resumes at its own last cluster switch*/) {
    if (!file_handle_in_table(h) || h->state != FILE_SUSPENDED) return;
    // The set-up makes a record handle of it; an index file stays one. User
    // data still waiting for a first cluster (the volume filled up at the
    // first write) keeps waiting for the resumed record's.
    const uint8_t kind = h->kind;
    const uint32_t ud_pending = h->ud_pending;
    kx_driver* const own = h->pdp;
    const int type = own != nullptr ? (int)own->type : -1;
    file_write_setup(h, h->channel, h->media_type, h->record_kind, h->img_type, h->search_time, type, h->linked);
    // In single-driver mode every partition keeps its writers: a record opened
    // on one partition must not go on in the type's work driver elsewhere.
    if (g_fs_adapt && own != nullptr) h->pdp = own;
    h->kind = kind;
    h->ud_pending = ud_pending;
    h->reopened = 1;
}

void file_suspend_all(kx_driver* pdp, packed_time t) {
    for (kx_file& f : file_table)
        if (f.state == FILE_WRITING && f.pdp == pdp) file_suspend(&f, t);
    if (pdp != nullptr) sync_disk(pdp->disk_no);
}

void file_resume_all(kx_driver* /*pdp: every suspended writer resumes*/, packed_time t) {
    for (kx_file& f : file_table)
        if (f.state == FILE_SUSPENDED) file_resume(&f, t);
}
