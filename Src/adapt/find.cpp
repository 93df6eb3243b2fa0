// Listings: the days of a partition that hold recordings, the records of one
// channel on one day, and the files of the partition's player area.
//
// A day listing walks every record start of the partition once and keeps the
// days it finds in a bitmap (64 years x 13 months, one bit per day of month),
// then answers each step from the bitmap. A channel listing searches the
// partition's time sections by time for the channel's first record still
// running at the day's start and then steps through its records in ascending
// start time until one starts on a later day.
#include <bit>
#include <cstdio>
#include <cstring>

#include "adapt/adapt.h"
#include "kxtime.h"
#include "log.h"

namespace {

constexpr int DAY_MAP_YEARS = 64;
constexpr int DAY_MAP_MONTHS = 13;  // slot 0 stays empty
constexpr size_t DAY_MAP_WORDS = DAY_MAP_YEARS * DAY_MAP_MONTHS;
constexpr int32_t SECONDS_PER_DAY = 86400;

// The date of a directory item is untrusted: only a real calendar date may
// index the bitmap.
void mark_day(uint32_t* map, packed_time t) {
    const uint32_t month = pt_month(t), day = pt_day(t);
    if (month < 1 || month > 12 || day < 1 || day > 31) return;
    map[pt_year(t) * DAY_MAP_MONTHS + month] |= 1u << day;
}

// Marks the start day of every record that begins in (from, to].
void mark_run(kx_driver* pdp, uint32_t* map, uint32_t from, uint32_t to) {
    uint32_t c = from;
    while (c < to) {
        uint32_t next;
        if (search_clus(pdp, 10, c, to, &next, SEARCH_ANY_CHANNEL) != 0 || next <= c || next > to) return;
        packed_time t;
        if (get_dir_item_time(pdp, next, &t) == 0) mark_day(map, t);
        c = next;
    }
}

// The partition's record starts: the current pass from the lowest data
// cluster up to the recording head, then what is left of the previous pass,
// from above the head to where that pass ended. Clusters beyond the previous
// pass belong to no time section, so no channel listing could show them.
void mark_partition_days(kx_driver* pdp, uint32_t* map) {
    const uint32_t last = pdp->total_clus == 0 ? 0 : pdp->total_clus - 1;
    const uint32_t head = pdp->current_cluster;
    if (head >= pdp->rev_clus && head <= last) mark_run(pdp, map, 0, head);
    if (pdp->start_cluster2 != 0)
        mark_run(pdp, map, head, pdp->end_cluster2 < last ? pdp->end_cluster2 : last);
}

int next_day(KXFILE h, kx_find_record* rec) {
    const packed_time cur = h->search_time;
    size_t w = pt_year(cur) * DAY_MAP_MONTHS + pt_month(cur);
    uint32_t from_bit = pt_day(cur) + 1;
    for (; w < DAY_MAP_WORDS; w++, from_bit = 0) {
        if (from_bit > 31) continue;
        const uint32_t bits = h->day_map[w] & (~0u << from_bit);
        if (bits == 0) continue;
        const int year = 2000 + (int)(w / DAY_MAP_MONTHS), month = (int)(w % DAY_MAP_MONTHS);
        const int day = std::countr_zero(bits);
        h->search_time = make_date_key(year, month, day);
        snprintf(rec->name, sizeof rec->name, "%04d-%02d-%02d", year, month, day);
        return 0;
    }
    return -1;
}

int next_record(KXFILE h, kx_find_record* rec) {
    // Records without data are passed over; a damaged index cannot make the
    // walk longer than the partition has clusters.
    for (uint64_t steps = 0; steps <= (uint64_t)h->pdp->total_clus; steps++) {
        const uint32_t clus = kx_file_find_next(h, h->channel, h->search_time, 0, 0xFF);
        if (clus == 0) return -1;
        if (time_diff(h->found_time, h->search_time) >= SECONDS_PER_DAY) return -1;
        kx_driver* pdp = h->pdp;
        kx_dir_item first;
        if (get_dir_item_info(pdp, clus, &first) != 0) return -1;
        const uint64_t sectors = record_sectors(pdp, &first);
        const uint32_t head = record_header_sectors(pdp, clus, &first, sectors);
        if (sectors <= head) continue;
        format_record_name(rec->name, sizeof rec->name, &first, clus);
        rec->size = (sectors - head) * SECTOR_SIZE;
        rec->start_time64 = packed_to_time64(first.start_time);
        rec->end_time64 = packed_to_time64(first.end_time);
        return 0;
    }
    return -1;
}

// The next listable entry of a player directory from the cursor in pos. The
// directory sector is read again at each step: it is one sector of the cache.
int next_player(KXFILE h, kx_find_record* rec) {
    uint64_t area;
    uint32_t area_sectors;
    if (!player_area(h->pdp, &area, &area_sectors)) return -1;
    buf_head* b = read_buf(h->pdp->disk_no, area);
    if (b == nullptr) return -1;
    int r = -1;
    if (memcmp(b->data, PLAYER_MAGIC, sizeof PLAYER_MAGIC) == 0) {
        char name[PLAYER_NAME_BYTES + 1];
        uint64_t length = 0;
        for (; h->pos < PLAYER_MAX_ENTRIES && r != 0; h->pos++) {
            if (!player_listed(b->data, (uint32_t)h->pos, area_sectors, name, &length)) continue;
            snprintf(rec->name, sizeof rec->name, "%s", name);
            rec->size = length;
            rec->start_time64 = 0;
            rec->end_time64 = 0;
            r = 0;
        }
    }
    release_buf(b);
    return r;
}

int find_next_locked(KXFILE h, kx_find_record* rec) {
    if (h->kind == ADAPT_DAYS) return next_day(h, rec);
    if (h->kind == ADAPT_PLAYER && h->pdp != nullptr) return next_player(h, rec);
    if (h->kind == ADAPT_RECORD && h->pdp != nullptr) return next_record(h, rec);
    return -1;
}

// A day listing's bitmap lives in a block of the small buffer pool, so that
// it is never lost to the system, even when a re-initialisation forgets the
// listing.
bool attach_day_map(KXFILE h) {
    static_assert(DAY_MAP_WORDS * sizeof(uint32_t) <= ADAPT_SMALL_BUF);
    if (!adapt_buffer_attach(h, ADAPT_SMALL_BUF)) return false;
    h->day_map = reinterpret_cast<uint32_t*>(h->buf);
    memset(h->day_map, 0, DAY_MAP_WORDS * sizeof(uint32_t));
    return true;
}

void release_listing(KXFILE h) {
    adapt_buffer_detach(h);
    h->day_map = nullptr;
    kx_file_close(h);
}

intptr_t first_record(const listing_path& lp, kx_find_record* rec) {
    kx_driver* pdp = get_pdp(lp.disk, lp.part);
    if (pdp == nullptr) {
        kx_log("No such driver!\n");
        return -1;
    }
    KXFILE h = adapter_alloc_handle();
    if (h == nullptr) {
        kx_log("kx_findfirst() Get the Handle error!\n");
        return -1;
    }
    h->pdp = pdp;
    h->state = FILE_READING;
    h->kind = ADAPT_RECORD;
    h->search_time = lp.day_key;
    if (kx_file_open_by_time(h, lp.channel, lp.day_key, 2, 0, 0xFF, 0xFF, 0) != 0 ||
        find_next_locked(h, rec) != 0) {
        release_listing(h);
        return -1;
    }
    return (intptr_t)h;
}

intptr_t first_day(const listing_path& lp, kx_find_record* rec) {
    KXFILE h = adapter_alloc_handle();
    if (h == nullptr) {
        kx_log("kx_findfirst() Get the Handle error!\n");
        return -1;
    }
    kx_driver* pdp = get_pdp(lp.disk, lp.part);
    if (pdp == nullptr) {
        kx_log("No such driver!\n");
        return -1;  // the handle was never given a state: it stays free
    }
    h->state = FILE_READING;
    h->pdp = pdp;
    if (!attach_day_map(h)) {
        release_listing(h);
        return -1;
    }
    mark_partition_days(pdp, h->day_map);
    h->kind = ADAPT_DAYS;
    if (find_next_locked(h, rec) != 0) {
        release_listing(h);
        return -1;
    }
    return (intptr_t)h;
}

// The files of a partition's player area ("ROOT/player/*"), in directory
// order; their start time is 0.
intptr_t first_player(const char* path, kx_find_record* rec) {
    int disk, part;
    kx_driver* pdp = parse_root_back(path, 2, &disk, &part) == 0 ? get_pdp(disk, part) : nullptr;
    if (pdp == nullptr) {
        kx_log("No such driver!\n");
        return -1;
    }
    KXFILE h = adapter_alloc_handle();
    if (h == nullptr) {
        kx_log("kx_findfirst() Get the Handle error!\n");
        return -1;
    }
    h->pdp = pdp;
    h->state = FILE_READING;
    h->kind = ADAPT_PLAYER;
    h->pos = 0;
    if (find_next_locked(h, rec) != 0) {
        release_listing(h);
        return -1;
    }
    return (intptr_t)h;
}

}  // namespace

intptr_t kx_findfirst(const char* path, kx_find_record* rec) {
    if (rec == nullptr || path == nullptr) return -1;
    if (strstr(path, "/player/") != nullptr) {
        adapter_lock();
        const intptr_t r = first_player(path, rec);
        adapter_unlock();
        return r;
    }
    listing_path lp;
    if (parse_listing_path(path, &lp) != 0) return -1;
    adapter_lock();
    const intptr_t r = lp.channel_listing ? first_record(lp, rec) : first_day(lp, rec);
    adapter_unlock();
    return r;
}

int kx_findnext(intptr_t handle, kx_find_record* rec) {
    KXFILE h = reinterpret_cast<KXFILE>(handle);
    if (adapter_handle_valid(h, __LINE__) != 0 || rec == nullptr) return -1;
    adapter_lock();
    const int r = h->state == FILE_READING ? find_next_locked(h, rec) : -1;
    adapter_unlock();
    return r;
}

int kx_findclose(intptr_t handle) {
    KXFILE h = reinterpret_cast<KXFILE>(handle);
    adapter_lock();
    if (file_handle_valid(h)) {
        adapt_buffer_detach(h);
        h->day_map = nullptr;
    }
    const int r = kx_file_close(h);
    adapter_unlock();
    return r == 0 ? 0 : -1;
}
