// The driver table: one slot per mounted recorder partition, how a partition
// is loaded into a slot and checked (mounting), the ring of drivers of one
// type with its working driver, the hand-over when the working driver is
// full, and the summary of a driver that the path adapter shows.
#include <cstring>

#include "kxtime.h"
#include "log.h"
#include "meta/meta.h"
#include "volume/volume.h"

kx_driver g_drivers[KX_MAX_DRIVERS];
uint32_t g_collision_buf[KX_MAX_DRIVERS][KX_MAX_COLLISIONS];
time_section g_section_buf[KX_MAX_DRIVERS][KX_SECTION_NUM];
kx_driver* g_work_driver[KX_MAX_TYPES];
int g_driver_num[KX_MAX_TYPES];
int g_fs_adapt = 0;
packed_time g_shutdown_time = 0;

namespace {

const uint32_t kDirItemsPerSector = 16;
const uint32_t kIndexItemsPerSector = 512;
// Clusters that section 2 keeps clear ahead of the write position.
const uint32_t kSection2Gap = 256;
// Descriptor word that the recorder clears when it loads a descriptor.
const size_t kClearedWord = 180;

bool is_power_of_two(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

uint64_t sectors_for(uint64_t items, uint32_t per_sector) {
    return (items + per_sector - 1) / per_sector;
}

// An area [off, off + len) after the descriptor and inside the partition. The
// areas the library writes must stay clear of the disk label, which a
// partition starting at sector 0 holds in its sectors 0 and 30.
bool area_fits(const kx_driver* pdp, uint64_t off, uint64_t len, uint64_t size) {
    return off > pdp->temp_off && off + len <= size;
}

bool cluster_fits(uint32_t clus, uint32_t total_clus) {
    return clus == 0 || clus < total_clus;
}

// Whether a loaded descriptor describes a volume that fits its partition of
// `size` sectors: a damaged descriptor must never make the library read or
// write outside the partition, index its tables wildly or loop.
bool descriptor_sound(const kx_driver* pdp, uint64_t size) {
    uint32_t spc = pdp->sector_per_clus;
    if (!is_power_of_two(spc) || size / spc < pdp->total_clus) return false;
    if (pdp->sector_size != SECTOR_SIZE || pdp->type >= KX_MAX_TYPES) return false;
    // Loading reads the descriptor at sector 34 and saving writes it at
    // temp_off: they must be the same sector.
    if (pdp->temp_off != KX_TEMP_OFF || (uint64_t)pdp->temp_off + 1 > size) return false;
    uint64_t items = (uint64_t)pdp->total_clus + 1;  // the accessors reach item total_clus
    // The areas that reading uses. The user-data ring is checked where it is
    // used (reading never does), so damaged words there lose no recording.
    if (!area_fits(pdp, pdp->collision_off, 1, size) ||
        !area_fits(pdp, pdp->dir_off, sectors_for(items, kDirItemsPerSector), size) ||
        !area_fits(pdp, pdp->index_off, sectors_for(items, kIndexItemsPerSector), size) ||
        !area_fits(pdp, pdp->data_off, (uint64_t)pdp->total_clus * spc, size))
        return false;
    // At least one cluster for the recording ring: with none, recovery would
    // put the write position at total_clus, past the volume.
    if (pdp->rev_clus >= pdp->total_clus) return false;
    return cluster_fits(pdp->current_cluster, pdp->total_clus) &&
           cluster_fits(pdp->start_cluster2, pdp->total_clus) &&
           cluster_fits(pdp->end_cluster2, pdp->total_clus);
}

// Older partition tables round a partition's size, so a data area may reach
// a little past its end: the volume is used with the clusters that fit, and
// the disk's own count is kept for saving. Nothing changes when the area
// does not even start inside the partition (the soundness check refuses it).
void fit_data_area(kx_driver* pdp, uint64_t size) {
    const uint32_t spc = pdp->sector_per_clus;
    if (!is_power_of_two(spc) || pdp->data_off >= size) return;
    const uint64_t fit = (size - pdp->data_off) / spc;
    if (fit >= pdp->total_clus) return;
    kx_log("partition %u.%u: data area reaches past the partition's end, %u of %u clusters used\n", pdp->disk_no,
           pdp->part, (uint32_t)fit, pdp->total_clus);
    pdp->stored_total_clus = pdp->total_clus;
    pdp->total_clus = (uint32_t)fit;
}

// A collision count beyond the list is mended rather than refused: the list
// sector holds 128 entries, and the recordings stay reachable. (The user-data
// ring's positions are checked, and mended, wherever the ring is used.)
void clamp_collision_num(kx_driver* pdp) {
    if (pdp->collision_num <= KX_MAX_COLLISIONS) return;
    kx_log("collision_num %u too large, clamped to %u\n", pdp->collision_num, KX_MAX_COLLISIONS);
    pdp->collision_num = KX_MAX_COLLISIONS;
}

bool usable(const kx_driver* d, int type) {
    return (int)d->type == type && d->err_status == 0;
}

void insert_before(kx_driver* e, kx_driver* s) {
    e->prev = s->prev;
    e->next = s;
    s->prev->next = e;
    s->prev = e;
}

// Widens the span [*start, *end] to cover [s, e]. An unset start (0: span 2
// starts so when the ring has no previous pass) takes the section's start;
// kept at 0 it would hide every section behind the write position.
void widen(packed_time* start, packed_time* end, packed_time s, packed_time e) {
    if (*start == 0 || s < *start) *start = s;
    if (e > *end) *end = e;
}

// The device position of `disk`: disk numbers count the positions that hold
// a device and are not passed over, in ascending order.
void find_disk_index(const disk_info& di, int disk_num, int disk, uint32_t* out) {
    uint32_t limit = 2 * di.channel_num;
    if (limit > 32) limit = 32;
    auto open_position = [&di](uint32_t p) { return ((di.present_mask & ~di.skip_mask) >> p) & 1u; };
    uint32_t p = 0;
    for (int d = 0; d < disk_num && d <= disk; d++) {
        while (p < limit && !open_position(p)) p++;
        if (p >= limit) kx_log("kx_get_driver_info disk number(%d) to index (%d) failed!!!!!\n", d, (int)p);
        if (d == disk) {
            *out = p;
            return;
        }
        p++;
    }
}

}  // namespace

kx_driver* get_pdp(int disk, int part) {
    for (kx_driver& d : g_drivers) {
        if (d.type >= KX_MAX_TYPES) {
            d.type = KX_FREE_SLOT;
            continue;
        }
        if (d.disk_no == (uint32_t)disk && d.part == (uint32_t)part) return &d;
    }
    return nullptr;
}

int get_empty_driver(void) {
    for (int i = 0; i < KX_MAX_DRIVERS; i++)
        if (g_drivers[i].type == KX_FREE_SLOT) return i;
    kx_log("get_empty_driver failed!!!!!!!!!!!!!\n");
    return -1;
}

kx_driver* load_driver(int disk, int part, uint64_t start) {
    uint32_t dev = (uint32_t)disk;
    buf_head* b = read_buf(dev, start + KX_TEMP_OFF);
    if (!b) return nullptr;
    if (get_le32(b->data + 328) != KX_CHECK_WORD) {
        kx_log("temp sec check flag error\n");
        release_buf(b);
        return nullptr;
    }
    kx_driver* pdp = get_pdp(disk, part);
    if (!pdp) {
        int slot = get_empty_driver();
        if (slot < 0) {
            release_buf(b);
            return nullptr;
        }
        pdp = &g_drivers[slot];
    }
    int slot = driver_slot(pdp);
    pdp_decode(pdp, b->data);
    release_buf(b);
    pdp->start_sector = start;
    pdp->table_dirty = 0;
    pdp->disk_no = dev;
    pdp->part = (uint32_t)part;
    pdp->prev = pdp->next = nullptr;
    put_le32(pdp->raw + kClearedWord, 0);
    pdp->collision = g_collision_buf[slot];
    pdp->sections = g_section_buf[slot];
    // Memory-only words: what the disk holds there means nothing here. A
    // transfer error recorded in an earlier run must not retire the
    // partition; the write position's section is found again at mount.
    pdp->err_status = 0;
    pdp->collision_index = 0;
    pdp->stored_total_clus = 0;
    if (pdp->collision_off == 0) pdp->collision_off = pdp->temp_off + 4;

    buf_head* c = read_buf(dev, pdp_sector(pdp, pdp->collision_off));
    if (c) {
        for (uint32_t i = 0; i < KX_MAX_COLLISIONS; i++) pdp->collision[i] = get_le32(c->data + 4 * i);
        release_buf(c);
    }
    return pdp;
}

int kx_fs_mount(int disk, int part) {
    kx_partition parts[4];
    if (part < 0 || part > 3 || kx_read_partitions(disk, parts) != 0 || parts[part].size == 0) return -1;
    kx_driver* pdp = load_driver(disk, part, parts[part].start);
    if (!pdp) return -1;
    fit_data_area(pdp, parts[part].size);
    if (!descriptor_sound(pdp, parts[part].size)) {
        kx_log("kx_fs_mount failed, partition crashed\n");
        free_driver(disk, part);
        return -1;
    }
    clamp_collision_num(pdp);
    if (pdp->status != KX_STATUS_CLOSED && (pdp->type == 0 || pdp->type == 3 || pdp->type == 4)) {
        // Left open: repair what an interrupted recording left behind.
        restore_fs41(pdp);
        restore_ud_area(pdp);
        save_pdp(pdp);
    }
    build_time_sections(pdp);
    return 0;
}

void free_driver(int disk, int part) {
    kx_driver* pdp = get_pdp(disk, part);
    if (pdp) pdp->type = KX_FREE_SLOT;
}

int link_drivers(int type) {
    if (type < 0 || type >= KX_MAX_TYPES) return 7;
    kx_driver* work = nullptr;
    int count = 0;
    for (kx_driver& d : g_drivers) {
        if (!usable(&d, type)) continue;
        count++;
        // The driver written last; on equal times the earlier slot stays.
        if (!work || work->end_time1 < d.end_time1) work = &d;
    }
    g_work_driver[type] = work;
    g_driver_num[type] = count;
    if (!work) {
        kx_log("none type %d driver!\n", type);
        return 7;
    }
    // The ring runs from the working driver to the oldest start_time1 (the
    // next to be overwritten) and on in ascending start_time1.
    work->prev = work->next = work;
    for (kx_driver& d : g_drivers) {
        if (&d == work || !usable(&d, type)) continue;
        kx_driver* s = work->next;
        while (s != work && d.start_time1 >= s->start_time1) s = s->next;
        insert_before(&d, s);
    }
    return 0;
}

void switch_work_driver(kx_driver* pdp) {
    // A driver outside any ring (never linked) can only wrap in place too.
    if (!pdp->next || pdp->next == pdp || g_fs_adapt) {
        driver_full(pdp);
        return;
    }
    packed_time now;
    get_local_time(&now);
    kx_dump_drivers();
    pdp->fill_count++;
    if (pdp->fill_count == 0) pdp->fill_count = 1;
    get_dir_item_time1(pdp, pdp->current_cluster, &pdp->end_time1);
    pdp->status = KX_STATUS_CLOSED;
    refresh_current_section(pdp);
    save_pdp(pdp);

    kx_driver* n = pdp->next;
    if (n->type < KX_MAX_TYPES) g_work_driver[n->type] = n;
    n->status = 0;
    if (n->start_cluster2 == 0 && (uint64_t)n->current_cluster + kSection2Gap >= n->total_clus) {
        // The next driver is full as well: its pass becomes section 2.
        n->end_time2 = n->end_time1;
        n->end_cluster2 = n->current_cluster;
        n->start_cluster2 = kSection2Gap;
        n->start_time1 = now;
        n->end_time1 = now;
        n->current_cluster = n->rev_clus - 1;
        shift_time_sections(n);
    } else if (now < n->end_time1) {
        add_collision(n, n->end_time1, now);
    }
    save_pdp(n);
    kx_dump_drivers();
}

void refresh_start_time2(kx_driver* pdp) {
    if (pdp->start_cluster2 != 0) get_dir_item_time(pdp, pdp->start_cluster2, &pdp->start_time2);
}

int kx_get_driver_info(int disk, int part, driver_info* info) {
    disk_info di;
    memset(&di, 0, sizeof di);
    int disk_num = ide_getinfo64(&di);
    kx_driver* pdp = get_pdp(disk, part);
    if (!pdp || !info) return 1;
    bool is_work = g_work_driver[pdp->type] == pdp;
    info->type = pdp->type;
    info->is_work = is_work ? 1 : 0;
    info->section_num = pdp->collision_num + 2;
    info->start_time1 = pdp->start_time1;
    info->end_time1 = pdp->end_time1;
    info->zero = 0;
    info->start_time2 = pdp->start_time2;
    info->end_time2 = 0;
    uint64_t spc = pdp->sector_per_clus;
    info->total_mb = (uint32_t)(pdp->total_clus * spc / 2048);
    info->free_mb = 0;
    if (pdp->start_cluster2 == 0 && pdp->total_clus > pdp->current_cluster)
        info->free_mb = (uint32_t)((pdp->total_clus - pdp->current_cluster - 1) * spc / 2048);
    info->err_status = pdp->err_status;
    if (is_work) refresh_current_section(pdp);

    uint32_t collisions = pdp->collision_num < KX_MAX_COLLISIONS ? pdp->collision_num : KX_MAX_COLLISIONS;
    for (uint32_t k = 0; k < collisions + 2; k++) {
        const time_section* e = &pdp->sections[k];
        if (k > 0 && (e->start_clus == 0 || e->start_clus > e->end_clus || e->start_time > e->end_time))
            continue;
        if (pdp->current_cluster > e->start_clus)
            widen(&info->start_time2, &info->end_time2, e->start_time, e->end_time);
        else
            widen(&info->start_time1, &info->end_time1, e->start_time, e->end_time);
    }
    find_disk_index(di, disk_num, disk, &info->disk_index);
    return 0;
}
