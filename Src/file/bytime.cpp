// Finding records by channel and time: positioning a handle on the record of
// a channel found by time, and walking a channel's records of all time
// sections in ascending start time.
//
// Inside one time section the clusters were taken in rising time, so their
// directory items are ordered by (start time, same-second number): a
// bisection over the items finds where a time lies. Concurrent records of
// several channels interleave their clusters, so a short window of items
// around that place is looked at for the channel's own clusters, and the
// cluster index (search_clus) steps from there.
//
// A record's key is its first item's (start time, same-second number). The
// results, for the channel, within the searched clusters:
// - forward searches (types 2 and 3): the first record whose key is at or
//   after (t, q), or that started before t and is still running at t;
//   type 2 gives any cluster of it (the one that holds t when it is
//   running), type 3 its first cluster;
// - backward searches (types 7, 8 and 12): the latest cluster (types 7, 12)
//   or record start (type 8) whose key is at or before (t, q).
//
// Section bounds and items come from the disk: every range is clamped to the
// volume and every walk moves in one direction inside it, so each ends.
#include "file/file.h"
#include "kxtime.h"
#include "log.h"

namespace {

constexpr uint32_t WINDOW = 32;  // items looked at around the bisection's result
// A clock set back by this many seconds or less starts no new time section.
constexpr int32_t SAME_SECTION_STEP_BACK = 10;
constexpr int8_t NODE_OUT = -1;  // section takes no further part
constexpr int8_t NODE_POSITIONED = 1;
constexpr int8_t NODE_READY = 2;
// A list links table entries of all drivers; it cannot be longer.
constexpr uint32_t MAX_NODES = KX_MAX_DRIVERS * KX_SECTION_NUM;

struct rec_key {
    packed_time t;
    uint8_t seq;
};

int key_cmp(rec_key a, rec_key b) {
    if (a.t != b.t) return a.t < b.t ? -1 : 1;
    if (a.seq != b.seq) return a.seq < b.seq ? -1 : 1;
    return 0;
}

rec_key key_of(const kx_dir_item& it) { return {it.start_time, it.same_second_seq}; }

bool is_forward(int type) { return type == 2 || type == 3; }
// Types whose answer is a record's first cluster.
bool wants_record_start(int type) { return type == 3 || type == 8; }

// One directory search: a cluster range of a section and a target.
struct dir_query {
    kx_driver* pdp;
    uint8_t channel;
    uint32_t lo, hi;
    rec_key target;
    int type;
};

bool read_item(const dir_query& q, uint32_t clus, kx_dir_item* it) {
    return get_dir_item_info(q.pdp, clus, it) == 0;
}

bool channel_item(const dir_query& q, const kx_dir_item& it) {
    return dir_item_in_use(&it) && dir_item_channel(&it) == q.channel;
}

// True when the cluster index would stop a search of this type at clus: a
// usable cluster of the channel, and for record-start types the first
// cluster of a record.
bool index_accepts(const dir_query& q, uint32_t clus) {
    uint8_t b = 0;
    if (get_index_item_info(q.pdp, clus, &b)) return false;
    const uint32_t clus_type = b >> 6;
    if (clus_type == CLUS_TYPE_BAD || (b & 0x3Fu) != q.channel) return false;
    return !wants_record_start(q.type) || clus_type == CLUS_TYPE_RESUME || clus_type == CLUS_TYPE_START;
}

// Keeps the range inside the recording ring of the volume.
bool clamp_range(const kx_driver* pdp, uint32_t* lo, uint32_t* hi) {
    if (pdp->total_clus == 0) return false;
    const uint32_t low = pdp->rev_clus > 1 ? pdp->rev_clus : 1;
    if (*lo < low) *lo = low;
    if (*hi >= pdp->total_clus) *hi = pdp->total_clus - 1;
    return *lo <= *hi;
}

// One step of the cluster index in the type's direction, inside the range.
int step(const dir_query& q, uint32_t from, uint32_t* out) {
    const uint32_t bound = is_forward(q.type) ? q.hi : q.lo;
    const int r = search_clus(q.pdp, q.type, from, bound, out, q.channel);
    if (r == KX_E_META) return r;
    // Leaving the range, a barrier, or an index that is not there: nothing
    // found in this section.
    if (r || *out < q.lo || *out > q.hi) return KX_E_NOTFOUND;
    return KX_OK;
}

// Last item whose key is at or before the target (or lo when none is). An
// item not in use has no time; it counts as after the target, so that a
// range that runs on past the clusters written (a damaged section bound)
// still finds the written ones.
int bisect(const dir_query& q, uint32_t* origin) {
    uint32_t b = q.lo;
    uint64_t e = (uint64_t)q.hi + 1;
    uint32_t m = (uint32_t)(b + (e - b) / 2);
    while (m != b) {
        kx_dir_item it;
        if (!read_item(q, m, &it)) return KX_E_META;
        if (dir_item_in_use(&it) && key_cmp(key_of(it), q.target) <= 0)
            b = m;
        else
            e = m;
        m = (uint32_t)(b + (e - b) / 2);
    }
    *origin = b;
    return KX_OK;
}

// The record of a forward search: its key at or after the target, or started
// before the target's time and still running then.
bool record_qualifies(const dir_query& q, const kx_dir_item& first) {
    return key_cmp(key_of(first), q.target) >= 0 || (first.start_time < q.target.t && first.end_time > q.target.t);
}

// A cluster of the channel at or before the bisection's result that belongs
// to a qualifying record: its key reaches the target, or it holds the
// target's time (started before it, ends after it).
bool cluster_qualifies(const dir_query& q, uint32_t clus, const kx_dir_item& it) {
    if (key_cmp(key_of(it), q.target) >= 0) return true;
    packed_time end = 0;
    return it.start_time < q.target.t && get_dir_item_time1(q.pdp, clus, &end) == 0 && end > q.target.t;
}

// First cluster of the record of `clus` when it lies in [lo, clus], else clus.
uint32_t record_first(const dir_query& q, uint32_t clus, const kx_dir_item& it) {
    return it.first_cluster_no >= q.lo && it.first_cluster_no <= clus ? it.first_cluster_no : clus;
}

// Looks back over the window for the channel's cluster of the earliest
// qualifying record. 0 when there is none. The clock may have been set back
// by a few seconds inside the section, so the seconds around the target may
// occur twice and the bisection land on the later run: the look goes on
// beyond the window as long as start times stay that close to the target.
uint32_t forward_window(const dir_query& q, uint32_t origin) {
    uint32_t best = 0, best_first = UINT32_MAX;
    const packed_time near = time_add(q.target.t, -SAME_SECTION_STEP_BACK);
    uint32_t x = origin;
    for (uint32_t seen = 1;; x--, seen++) {
        kx_dir_item it;
        const bool readable = read_item(q, x, &it);
        if (readable && channel_item(q, it) && cluster_qualifies(q, x, it)) {
            const uint32_t first = record_first(q, x, it);
            if (first <= best_first) {
                best = x;
                best_first = first;
            }
        }
        if (x == q.lo) break;
        if (seen >= WINDOW && !(readable && dir_item_in_use(&it) && it.start_time >= near)) break;
    }
    const uint32_t stop = x;
    if (best != 0 || stop == q.lo) return best;
    // Nothing of the channel in the window: its record still running at the
    // target may have taken its last cluster long before (a recording that
    // runs for hours while other channels fill the ring). A channel records
    // one stream at a time, so the channel's nearest cluster before the
    // window is the only one left to ask.
    uint32_t before = 0;
    kx_dir_item it;
    if (search_clus(q.pdp, 7, stop, q.lo, &before, q.channel) == KX_OK && before >= q.lo &&
        read_item(q, before, &it) && channel_item(q, it) && cluster_qualifies(q, before, it))
        best = before;
    return best;
}

// Looks onward over the window for the channel's last cluster (record start
// for type 8) whose key is at or before the target. 0 when there is none.
uint32_t backward_window(const dir_query& q, uint32_t origin) {
    uint32_t best = 0;
    const uint32_t stop = q.hi - origin >= WINDOW ? origin + (WINDOW - 1) : q.hi;
    for (uint32_t x = origin;; x++) {
        kx_dir_item it;
        if (read_item(q, x, &it) && channel_item(q, it) && key_cmp(key_of(it), q.target) <= 0 &&
            (!wants_record_start(q.type) || it.first_cluster_no == x))
            best = x;
        if (x == stop) break;
    }
    return best;
}

int forward_search(const dir_query& q, uint32_t origin, uint32_t* out) {
    const uint32_t match = forward_window(q, origin);
    uint32_t from = origin;
    if (match != 0) {
        kx_dir_item it;
        const uint32_t first = q.type == 3 && read_item(q, match, &it) ? record_first(q, match, it) : match;
        if (index_accepts(q, first) && (q.type != 3 || (read_item(q, first, &it) && it.first_cluster_no == first &&
                                                        record_qualifies(q, it)))) {
            *out = first;
            return KX_OK;
        }
        from = match;
    }
    // Type 3 walks on over record starts that lie before the target (a
    // section whose times are not in order); other types take the first.
    for (;;) {
        const int r = step(q, from, out);
        if (r || q.type != 3) return r;
        kx_dir_item it;
        if (!read_item(q, *out, &it)) return KX_E_META;
        if (record_qualifies(q, it)) return KX_OK;
        from = *out;
    }
}

int backward_search(const dir_query& q, uint32_t origin, uint32_t* out) {
    const uint32_t match = backward_window(q, origin);
    if (match != 0 && index_accepts(q, match)) {
        *out = match;
        return KX_OK;
    }
    uint32_t from = match != 0 ? match : origin;
    for (;;) {
        const int r = step(q, from, out);
        if (r) return r;
        kx_dir_item it;
        if (!read_item(q, *out, &it)) return KX_E_META;
        if (key_cmp(key_of(it), q.target) <= 0) return KX_OK;
        from = *out;
    }
}

// The directory search inside one section's cluster range.
int dir_search(dir_query q, uint32_t* out) {
    if (!clamp_range(q.pdp, &q.lo, &q.hi)) return KX_E_NOTFOUND;
    uint32_t origin = 0;
    const int r = bisect(q, &origin);
    if (r) return r;
    return is_forward(q.type) ? forward_search(q, origin, out) : backward_search(q, origin, out);
}

// Key by which results of different sections are compared: the record's
// start when its first cluster lies in the searched range, else the start of
// the cluster found.
bool result_key(const dir_query& q, uint32_t clus, rec_key* key) {
    kx_dir_item it;
    if (!read_item(q, clus, &it)) return false;
    const uint32_t first = record_first(q, clus, it);
    if (first != clus && !read_item(q, first, &it)) return false;
    *key = key_of(it);
    return true;
}

bool in_driver_mask(const time_section* node, uint32_t mask) {
    const kx_driver* d = node->owner;
    return d != nullptr && d->type < 32 && ((mask >> d->type) & 1u) != 0;
}

bool in_kind_mask(uint32_t record_kind, uint32_t mask) { return record_kind < 32 && ((mask >> record_kind) & 1u) != 0; }

// Drivers whose sections a search looks at: every mounted one in the mask, or
// only the handle's own partition in single-driver mode.
void refresh_sections(const kx_file* h, uint32_t driver_mask, int all_drivers) {
    for (kx_driver& d : g_drivers) {
        if (d.type >= KX_MAX_TYPES || ((driver_mask >> d.type) & 1u) == 0) continue;
        if (g_fs_adapt && !all_drivers && &d != h->pdp) continue;
        refresh_current_section(&d);
    }
}

struct candidate {
    time_section* node = nullptr;
    uint32_t clus = 0;
    rec_key key{};
};

// Searches every section of the list for the record; the earliest
// (forwards) or latest (backwards) result of all sections wins.
candidate search_sections(KXFILE h, uint8_t channel, rec_key target, int type, uint32_t driver_mask,
                          int all_drivers) {
    const bool forward = is_forward(type);
    h->sections = link_time_sections(forward ? 1 : 0, h->pdp, all_drivers);
    candidate best;
    uint32_t count = 0;
    for (time_section* node = h->sections; node != nullptr && count < MAX_NODES; node = node->next, count++) {
        if (!in_driver_mask(node, driver_mask)) continue;
        // A section that starts after the target holds nothing started before
        // it. Its end rules nothing out: that is the end of its newest
        // cluster, and a recording whose last cluster was taken earlier (while
        // other channels took the newer ones) may have run on long after it.
        if (!forward && node->start_time > target.t) {
            node->state = NODE_OUT;
            continue;
        }
        if (best.node != nullptr && (forward ? node->start_time > best.key.t : node->end_time < best.key.t)) continue;
        dir_query q{node->owner, channel, forward ? node->cursor : node->start_clus,
                    forward ? node->end_clus : node->cursor, target, type};
        uint32_t clus = 0;
        rec_key key{};
        if (dir_search(q, &clus) || !result_key(q, clus, &key)) {
            node->state = NODE_OUT;
            continue;
        }
        node->cursor = clus;
        node->cursor_time = key.t;
        const int c = key_cmp(key, best.key);
        if (best.node == nullptr || (forward ? c < 0 : c > 0)) best = {node, clus, key};
    }
    return best;
}

// The target of the retry after a record whose kind the caller excluded;
// false when the search type does not retry or could not move on.
bool retry_target(int type, const kx_dir_item& found, rec_key* target) {
    rec_key next;
    if (type == 3) {
        // The records after it: the same second with a higher number, then
        // the following seconds.
        next = found.same_second_seq == 0xFF ? rec_key{time_add(found.start_time, 1), 0}
                                             : rec_key{found.start_time, (uint8_t)(found.same_second_seq + 1)};
        if (key_cmp(next, *target) <= 0) return false;
    } else if (type == 8) {
        // Records started before it in the same second are numbered from 0;
        // when it is number 0 itself the search goes on before its second.
        next = found.same_second_seq == 0 ? rec_key{time_add(found.start_time, -1), 0xFF}
                                          : rec_key{found.start_time, 0};
        if (key_cmp(next, *target) >= 0) return false;
    } else {
        return false;
    }
    *target = next;
    return true;
}

// Search step of kx_file_find_next for a section not positioned yet: the
// channel's record running at t or the first after it.
void position_node(time_section* node, uint8_t channel, packed_time t) {
    dir_query q{node->owner, channel, node->cursor, node->end_clus, {t, 0}, 2};
    uint32_t clus = 0;
    if (dir_search(q, &clus)) {
        node->state = NODE_OUT;
        return;
    }
    node->cursor = clus;
    node->state = NODE_POSITIONED;
}

// Notes the start of the record at the node's cursor; out when unreadable.
void note_cursor_time(time_section* node) {
    packed_time t = 0;
    if (get_dir_item_time(node->owner, node->cursor, &t)) {
        node->state = NODE_OUT;
        return;
    }
    node->cursor_time = t;
}

// Steps the node's cursor to the channel's next record start in its section.
void next_record_start(time_section* node, uint8_t channel) {
    dir_query q{node->owner, channel, node->start_clus, node->end_clus, {}, 3};
    uint32_t clus = 0;
    if (!clamp_range(q.pdp, &q.lo, &q.hi) || step(q, node->cursor, &clus)) {
        node->state = NODE_OUT;
        return;
    }
    node->cursor = clus;
    note_cursor_time(node);
}

// Moves a positioned node from the cluster found to the start of its record.
// A record whose first cluster lies outside this section belongs to the
// section that holds its start (or was overwritten there): this section goes
// on with the next record that starts in it.
void prepare_node(time_section* node, uint8_t channel, int seq_flag) {
    dir_query q{node->owner, channel, node->start_clus, node->end_clus, {}, 3};
    kx_dir_item it;
    if (!read_item(q, node->cursor, &it)) {
        node->state = NODE_OUT;
        return;
    }
    const uint32_t first = it.first_cluster_no;
    node->state = NODE_READY;
    if (seq_flag == 0 && first >= q.lo && first <= q.hi && index_accepts(q, first) && read_item(q, first, &it) &&
        it.first_cluster_no == first) {
        node->cursor = first;
        note_cursor_time(node);
    } else {
        next_record_start(node, channel);
    }
}

}  // namespace

int kx_file_open_by_time(KXFILE h, uint8_t channel, packed_time t, int search_type, uint32_t seq, uint32_t kind_mask,
                         uint32_t driver_mask, int all_drivers) {
    int r = file_check_handle(h, __LINE__);
    if (r) return r;
    h->channel = channel;
    refresh_sections(h, driver_mask, all_drivers);
    rec_key target{t, (uint8_t)seq};
    // Every retry moves the target strictly on, so the loop ends.
    for (;;) {
        const candidate c = search_sections(h, channel, target, search_type, driver_mask, all_drivers);
        if (c.node == nullptr) return KX_E_NOTFOUND;
        h->pdp = c.node->owner;
        r = file_load_clus(h, c.clus);
        if (r || in_kind_mask(h->record_kind, kind_mask)) return r;
        if (!retry_target(search_type, h->dir_item, &target)) return search_type == 3 || search_type == 8 ? KX_E_NOTFOUND : KX_OK;
    }
}

uint32_t kx_file_find_next(KXFILE h, uint8_t channel, packed_time t, int seq_flag, uint32_t driver_mask) {
    if (file_check_handle(h, __LINE__)) return 0;
    time_section* best = nullptr;
    auto consider = [&](time_section* node) {
        if (node->state == NODE_POSITIONED) prepare_node(node, channel, seq_flag);
        if (node->state == NODE_READY && (best == nullptr || node->cursor_time < best->cursor_time)) best = node;
    };
    uint32_t count = 0;
    for (time_section* node = h->sections; node != nullptr && count < MAX_NODES; node = node->next, count++) {
        if (node->state != NODE_OUT && in_driver_mask(node, driver_mask)) consider(node);
    }
    // Sections not positioned yet are searched only when they could hold a
    // record before the best one so far: the list runs in ascending section
    // start, and no record of a section starts before the section does.
    count = 0;
    for (time_section* node = h->sections; node != nullptr && count < MAX_NODES; node = node->next, count++) {
        if (node->state != 0 || !in_driver_mask(node, driver_mask)) continue;
        if (best != nullptr && node->start_time > best->cursor_time) continue;
        position_node(node, channel, t);
        consider(node);
    }
    if (best == nullptr) return 0;
    const uint32_t found = best->cursor;
    h->found_time = best->cursor_time;
    h->pdp = best->owner;
    next_record_start(best, channel);
    return found;
}
