// Time sections and collisions of the recording ring.
//
// A partition is written as a ring of clusters from rev_clus to the end. It
// holds section 1 (the current pass, rev_clus .. current_cluster) and what is
// left of the previous pass, section 2 (start_cluster2 .. end_cluster2), which
// the writer eats into 256 clusters ahead of itself. When the recorder's clock
// is set back, start times stop rising: the cluster where that happens is a
// collision, kept in the descriptor's collision list (one sector, 128 cluster
// numbers), so that every run of rising times - a time section - can be found.
// The in-memory table of 130 sections per driver is built from that list at
// mount and kept in step here as clusters are taken.
//
// collision_num and collision_index come from the disk; every use below is
// clamped so that no list or table index leaves its 128 / 130 entries.
#include <cstring>

#include "kxtime.h"
#include "log.h"
#include "meta/meta.h"

namespace {

// Clusters that section 2 keeps clear ahead of the write position.
const uint32_t kSection2Gap = 256;
// The descriptor reaches the disk at least once every this many clusters.
const uint32_t kSaveInterval = 512;
// A clock step back by more than this many seconds is a collision.
const int32_t kCollisionSeconds = -10;
// collision_index while build_time_sections has not found the write position.
const uint32_t kIndexNotFound = 0xFFFF;

// Brings the two counts back inside the tables whatever the disk said:
// collision_num at most 128, collision_index at most collision_num.
void clamp_counts(kx_driver* pdp) {
    if (pdp->collision_num > KX_MAX_COLLISIONS) pdp->collision_num = KX_MAX_COLLISIONS;
    if (pdp->collision_index > pdp->collision_num) pdp->collision_index = pdp->collision_num;
}

void clear_entry(time_section* e) {
    kx_driver* owner = e->owner;
    memset(e, 0, sizeof *e);
    e->owner = owner;
}

// Moves `count` table entries starting at `from` by `delta` places (+1 up,
// -1 down); whole entries are moved, owner included.
void move_entries(time_section* t, uint32_t from, uint32_t count, int delta) {
    if (count) memmove(&t[from + delta], &t[from], count * sizeof *t);
}

void move_list(uint32_t* list, uint32_t from, uint32_t count, int delta) {
    if (count) memmove(&list[from + delta], &list[from], count * sizeof *list);
}

// A table entry that a search may use: a start cluster, clusters and times
// in order.
bool entry_usable(const time_section* e) {
    return e->start_clus != 0 && e->start_clus <= e->end_clus && e->end_time >= e->start_time;
}

bool takes_part(const kx_driver* d, const kx_driver* pdp, int all_drivers) {
    if (d->type >= KX_MAX_TYPES || d->err_status == KX_ERR_STATUS_FAILED) return false;
    return g_fs_adapt == 0 || all_drivers || d == pdp;
}

// Inserts e into the list after every entry that sorts equal to it.
void insert_sorted(time_section** head, time_section* e, int forward) {
    time_section** at = head;
    while (*at) {
        bool before = forward ? e->start_time < (*at)->start_time : e->end_time > (*at)->end_time;
        if (before) break;
        at = &(*at)->next;
    }
    e->next = *at;
    *at = e;
}

// The end of a section whose last cluster is `last`. The clock may have been
// set back while that cluster was open: its down link then leads past the
// section's end (to the first cluster after the jump), and its own end may
// have been stamped after the jump too. Neither may end the section before
// it began: the link is not followed, and the end is never taken earlier
// than the cluster's own start.
void section_end(kx_driver* pdp, uint32_t last, packed_time* out) {
    kx_dir_item it;
    if (get_dir_item_info(pdp, last, &it) != 0) return;
    if (dir_item_has_down(&it) && it.down_clus <= last) {
        get_dir_item_time1(pdp, last, out);
        return;
    }
    *out = it.end_time >= it.start_time ? it.end_time : it.start_time;
}

// A step back of ten seconds or less starts no new section, so a section's
// last cluster may start, and end, a few seconds before its first one began.
// Such a section still holds recordings: its end is taken no earlier than its
// start, which a search would otherwise drop as out of order.
void end_not_before_start(time_section* e) {
    if (e->end_time < e->start_time) e->end_time = e->start_time;
}

// A section's recorded end (section 2's, kept in the descriptor) raised to
// the start of its last cluster when the clock went back before it was taken.
void end_not_before_last_start(kx_driver* pdp, time_section* e) {
    packed_time start = 0;
    if (get_dir_item_time(pdp, e->end_clus, &start) == 0 && e->end_time < start) e->end_time = start;
}

}  // namespace

int save_pdp(kx_driver* pdp) {
    kx_log("save_pdp,%u dev-- %u clus\n", pdp->disk_no, pdp->current_cluster);
    uint32_t dev = pdp->disk_no;
    if (pdp->table_dirty) {
        // The whole sector is rewritten, so it is taken without reading it:
        // an unreadable collision sector must not keep the descriptor unsaved.
        buf_head* b = get_buf(dev, pdp_sector(pdp, pdp->collision_off));
        if (!b) return 4;
        for (uint32_t i = 0; i < KX_MAX_COLLISIONS; i++) put_le32(b->data + 4 * i, pdp->collision[i]);
        b->valid = 1;
        b->dirty = 1;
        pdp->table_dirty = 0;
        write_buf(b);
        release_buf(b);
    }
    pdp->saved_cluster = pdp->current_cluster;
    pdp->index_clus = pdp->current_cluster;
    buf_head* b = read_buf(dev, pdp_sector(pdp, pdp->temp_off));
    if (!b) return 4;
    pdp_encode(pdp, b->data);
    b->dirty = 1;
    write_buf(b);
    release_buf(b);
    // Also writes the directory and index changes made without flush.
    sync_disk(dev);
    return 0;
}

// The write position has reached what is left of the previous pass: there is
// no section 2 any more.
void clear_section2(kx_driver* pdp) {
    kx_log("pdp->start_cluster2 SET TO 0\n");
    pdp->end_cluster2 = 0;
    pdp->start_cluster2 = 0;
    pdp->start_time2 = 0;
    pdp->end_time2 = 0;
}

void set_current_cluster(kx_driver* pdp, uint32_t clus) {
    clamp_counts(pdp);
    time_section* t = pdp->sections;
    if (pdp->current_cluster < pdp->rev_clus) {
        // First cluster of a pass: it opens section 1.
        get_dir_item_time(pdp, clus, &pdp->start_time1);
        t[0].start_clus = clus;
        t[0].start_time = pdp->start_time1;
        pdp->table_dirty = 1;
    }
    pdp->current_cluster = clus;
    if (pdp->status == KX_STATUS_CLOSED) pdp->status = 0;

    if (pdp->start_cluster2 != 0) {
        if ((uint64_t)clus + kSection2Gap < pdp->end_cluster2) {
            pdp->start_cluster2 = clus + kSection2Gap;
        } else {
            clear_section2(pdp);
        }
    }

    if ((uint64_t)pdp->current_cluster + kSection2Gap >= pdp->total_clus && pdp->current_cluster % 8 == 0)
        wakeup_next_driver(pdp->next);

    uint32_t ci = pdp->collision_index;
    if (ci < pdp->collision_num && clus >= pdp->collision[ci]) {
        // The section that began at this collision has been overwritten.
        kx_log("Delete old collision at cluster %d in work driver\n", (int)pdp->current_cluster);
        move_entries(t, ci + 2, pdp->collision_num - ci, -1);
        move_list(pdp->collision, ci + 1, pdp->collision_num - ci - 1, -1);
        pdp->collision_num--;
        pdp->table_dirty = 1;
    }

    // A bad cluster passed over may be the one of the interval's end: the
    // distance from the last save counts too, or recovery, which looks only so
    // far beyond the saved position, would lose what was written since.
    if (clus % kSaveInterval == kSaveInterval - 1 || (uint64_t)pdp->saved_cluster + kSaveInterval <= clus ||
        pdp->table_dirty)
        save_pdp(pdp);
}

void update_write_time(kx_driver* pdp, packed_time now) {
    if (time_diff(now, pdp->end_time1) != 0) g_same_second_seq = 0;
    update_end_time(pdp, now);
}

void update_end_time(kx_driver* pdp, packed_time now) {
    if (time_diff(now, pdp->end_time1) < kCollisionSeconds) add_collision(pdp, pdp->end_time1, now);
    pdp->end_time1 = now;
}

void add_collision(kx_driver* pdp, packed_time old_end, packed_time new_start) {
    kx_log("Set new collision at cluster %d in work driver\n", (int)pdp->current_cluster);
    clamp_counts(pdp);
    if (pdp->collision_num >= KX_MAX_COLLISIONS) {
        kx_log("Too many time collisions in work driver, new collision will not be processed!!!!!!!\n");
        return;
    }
    time_section* t = pdp->sections;
    uint32_t c = pdp->collision_index;
    uint32_t n = pdp->collision_num;
    move_list(pdp->collision, c, n - c, +1);
    move_entries(t, c + 1, n + 1 - c, +1);
    t[c].end_time = old_end;
    t[c].end_clus = pdp->current_cluster;
    end_not_before_start(&t[c]);
    t[c + 1].start_time = new_start;
    t[c + 1].start_clus = pdp->current_cluster + 1;
    pdp->collision[c] = pdp->current_cluster + 1;
    pdp->collision_num++;
    pdp->collision_index++;
    pdp->table_dirty = 1;
}

void note_collision_at(kx_driver* pdp, uint32_t clus) {
    clamp_counts(pdp);
    uint32_t n = pdp->collision_num, at = 0;
    while (at < n && pdp->collision[at] < clus) at++;
    if (at < n && pdp->collision[at] == clus) return;
    if (n >= KX_MAX_COLLISIONS) {
        kx_log("Too many time collisions in work driver, new collision will not be processed!!!!!!!\n");
        return;
    }
    move_list(pdp->collision, at, n - at, +1);
    pdp->collision[at] = clus;
    pdp->collision_num++;
    pdp->table_dirty = 1;
}

void shift_time_sections(kx_driver* pdp) {
    clamp_counts(pdp);
    time_section* t = pdp->sections;
    uint32_t n = pdp->collision_num;
    move_entries(t, 0, n + 1, +1);
    t[n + 1].end_clus = pdp->end_cluster2;
    t[n + 1].end_time = pdp->end_time2;
    // The list is kept: its collisions now lie ahead of the write position
    // and are deleted one by one as set_current_cluster passes them.
    pdp->collision_index = 0;
    pdp->table_dirty = 1;
}

void driver_full(kx_driver* pdp) {
    packed_time now;
    get_local_time(&now);
    kx_dump_drivers();
    kx_log("only one driver or use g_fs_adapt\n");
    pdp->fill_count++;
    if (pdp->fill_count == 0) pdp->fill_count = 1;
    pdp->start_time1 = now;
    pdp->end_time1 = now;
    uint32_t old = pdp->current_cluster;
    pdp->end_cluster2 = old;
    pdp->current_cluster = pdp->rev_clus - 1;
    pdp->start_cluster2 = pdp->rev_clus + kSection2Gap - 1;
    get_dir_item_time1(pdp, old, &pdp->end_time2);
    shift_time_sections(pdp);
    if (g_fs_adapt) pdp->status = KX_STATUS_CLOSED;
    save_pdp(pdp);
    kx_dump_drivers();
}

void build_time_sections(kx_driver* pdp) {
    clamp_counts(pdp);
    time_section* t = pdp->sections;
    for (uint32_t i = 0; i < KX_SECTION_NUM; i++) t[i].owner = pdp;
    if (pdp->current_cluster == 0) {
        clear_entry(&t[0]);
        clear_entry(&t[1]);
        return;
    }
    pdp->collision_index = kIndexNotFound;
    t[0].start_time = pdp->start_time1;
    t[0].start_clus = pdp->rev_clus;
    uint32_t e = 0;
    for (uint32_t k = 0; k < pdp->collision_num; k++) {
        uint32_t c = pdp->collision[k];
        // A collision at the write position itself starts the section being
        // written, which it ends; only one beyond it lies ahead, in what is
        // left of the previous pass (the live table counts it so as well).
        if (pdp->collision_index == kIndexNotFound && c > pdp->current_cluster) {
            // Leave an entry for the split at the write position.
            pdp->collision_index = k;
            e++;
        }
        section_end(pdp, c - 1, &t[e].end_time);
        t[e].end_clus = c - 1;
        end_not_before_start(&t[e]);
        get_dir_item_time(pdp, c, &t[e + 1].start_time);
        t[e + 1].start_clus = c;
        e++;
    }
    if (pdp->collision_index == kIndexNotFound) pdp->collision_index = pdp->collision_num;
    refresh_current_section(pdp);
}

void refresh_current_section(kx_driver* pdp) {
    if (pdp->current_cluster == 0) return;
    clamp_counts(pdp);
    time_section* t = pdp->sections;
    uint32_t ci = pdp->collision_index;
    uint32_t last = pdp->collision_num + 1;
    section_end(pdp, pdp->current_cluster, &t[ci].end_time);
    t[ci].end_clus = pdp->current_cluster;
    end_not_before_start(&t[ci]);
    if (pdp->start_cluster2 != 0) {
        t[last].end_time = pdp->end_time2;
        t[last].end_clus = pdp->end_cluster2;
        end_not_before_last_start(pdp, &t[last]);
        end_not_before_start(&t[last]);
    } else {
        t[last].start_clus = 0;
        t[last].end_clus = 0;
    }
    if (t[ci + 1].end_clus != 0) {
        get_dir_item_time(pdp, pdp->current_cluster + 1, &t[ci + 1].start_time);
        t[ci + 1].start_clus = pdp->current_cluster + 1;
        end_not_before_start(&t[ci + 1]);
    }
}

time_section* link_time_sections(int forward, kx_driver* pdp, int all_drivers) {
    time_section* head = nullptr;
    for (kx_driver& d : g_drivers) {
        if (!takes_part(&d, pdp, all_drivers) || !d.sections) continue;
        uint32_t n = d.collision_num < KX_MAX_COLLISIONS ? d.collision_num : KX_MAX_COLLISIONS;
        for (uint32_t i = 0; i < n + 2; i++) {
            time_section* e = &d.sections[i];
            if (!entry_usable(e)) continue;
            e->state = 0;
            e->cursor = forward ? e->start_clus : e->end_clus;
            insert_sorted(&head, e, forward);
        }
    }
    return head;
}
