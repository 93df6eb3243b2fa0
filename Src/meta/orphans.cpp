// Orphaned footage: chains of clusters in use that no listed recording
// reaches.
//
// The recording ring is overwritten from its start. When the writer takes the
// first cluster of a long recording for something new, the listing loses the
// recording (every listing starts from first clusters), while its later
// clusters still hold footage and intact directory items that link them
// (item_type 2, the old first_cluster_no, up_cluster_no and down_clus). The
// same happens behind a link that is broken.
//
// The scan reads the whole cluster index and directory area once, in large
// sequential reads past the buffer pool (with the pool's newer copies laid
// over them), then works in memory:
// 1. every recording the listings can show (a first cluster inside the
//    listed part of the ring, with a start index item and an item that names
//    itself) is followed as the reader follows it, and its clusters are
//    claimed;
// 2. every other cluster in use that is not bad is a candidate; the chains
//    are followed from the candidates that no candidate continues, then from
//    what is left (loops), each cluster claimed once.
// Links come from the disk: a link is taken only when the cluster it names
// lies in the ring and its own item proves the continuation (the same first
// cluster, the previous cluster as its up link, the next item number), and a
// walk ends at any cluster already claimed, so every walk ends and no chain
// visits a cluster twice or enters another recording.
#include <algorithm>
#include <new>
#include <vector>

#include "disk.h"
#include "kxtime.h"
#include "meta/meta.h"

namespace {

constexpr uint32_t kDirItemBytes = 32;
constexpr uint32_t kDirItemsPerSector = SECTOR_SIZE / kDirItemBytes;
constexpr uint32_t kIndexItemsPerSector = SECTOR_SIZE;
constexpr uint32_t kReadSectors = 2048;  // 1 MiB per request
constexpr uint32_t kNone = UINT32_MAX;

enum : uint8_t { FREE = 0, LISTED = 1, ORPHAN = 2 };

struct scan_area {
    kx_driver* pdp;
    uint32_t n;                  // total_clus
    std::vector<uint8_t> index;  // index items, whole sectors
    std::vector<uint8_t> dir;    // directory items, whole sectors
    std::vector<uint32_t> next;  // next cluster of the same index channel that is not bad, or kNone
    std::vector<uint8_t> claim;  // FREE, LISTED or ORPHAN
};

uint32_t clus_type_of(uint8_t b) {
    return b >> 6;
}
bool is_bad(uint8_t b) {
    return clus_type_of(b) == CLUS_TYPE_BAD;
}

kx_dir_item item_at(const scan_area& a, uint32_t c) {
    kx_dir_item it;
    dir_item_decode(&a.dir[(size_t)c * kDirItemBytes], &it);
    return it;
}

void unlock_hooks() {
    if (g_hooks.unlock) g_hooks.unlock();
}
void lock_hooks() {
    if (g_hooks.lock) g_hooks.lock();
}

// Reads `sectors` sectors from `lba` into dst in large requests. A request
// that fails is read again sector by sector; an unreadable sector is left as
// `fill` says. The pool's cached copies are newer than the disk: laid over.
void read_area(uint32_t dev, uint64_t lba, uint64_t sectors, uint8_t* dst, uint8_t fill) {
    for (uint64_t done = 0; done < sectors;) {
        const uint32_t n = (uint32_t)std::min<uint64_t>(kReadSectors, sectors - done);
        uint8_t* p = dst + done * SECTOR_SIZE;
        if (disk_read(dev, n, lba + done, p) != 0) {
            for (uint32_t i = 0; i < n; i++) {
                if (disk_read(dev, 1, lba + done + i, p + (size_t)i * SECTOR_SIZE) != 0)
                    std::fill_n(p + (size_t)i * SECTOR_SIZE, SECTOR_SIZE, fill);
            }
        }
        done += n;
    }
    copy_cached_sectors(dev, lba, sectors, dst);
}

// The mounted descriptor was checked to fit its partition: both areas lie
// inside it for total_clus + 1 items.
bool load_area(scan_area* a) {
    const kx_driver* pdp = a->pdp;
    const uint64_t index_sectors = ((uint64_t)a->n + kIndexItemsPerSector - 1) / kIndexItemsPerSector;
    const uint64_t dir_sectors = ((uint64_t)a->n + kDirItemsPerSector - 1) / kDirItemsPerSector;
    try {
        a->index.resize(index_sectors * SECTOR_SIZE);
        a->dir.resize(dir_sectors * SECTOR_SIZE);
        a->next.assign(a->n, kNone);
        a->claim.assign(a->n, FREE);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // An unreadable index sector reads as bad clusters, an unreadable
    // directory sector as clusters never used: neither joins a chain.
    read_area(pdp->disk_no, pdp_sector(pdp, pdp->index_off), index_sectors, a->index.data(), 0xFF);
    read_area(pdp->disk_no, pdp_sector(pdp, pdp->dir_off), dir_sectors, a->dir.data(), 0);
    uint32_t last[64];
    std::fill_n(last, 64, kNone);
    for (uint32_t c = a->n; c-- > 0;) {
        const uint8_t b = a->index[c];
        a->next[c] = last[b & 63u];
        if (!is_bad(b)) last[b & 63u] = c;
    }
    return true;
}

bool in_ring(const scan_area& a, uint32_t c) {
    return c >= a.pdp->rev_clus && c != 0 && c < a.n;
}

// The part of the ring the listings search: the current pass up to the
// recording head, then what is left of the previous pass.
bool listed_part(const scan_area& a, uint32_t c) {
    const kx_driver* p = a.pdp;
    if (c <= p->current_cluster) return true;
    return p->start_cluster2 != 0 && c <= p->end_cluster2;
}

// Where a walk stands: a cluster, its item and its number in the recording.
struct walk_pos {
    uint32_t clus;
    kx_dir_item item;
    uint16_t num;
};

walk_pos start_at(const scan_area& a, uint32_t c) {
    walk_pos w{c, item_at(a, c), 0};
    w.num = w.item.first_cluster_no == c ? 0 : w.item.item_num;
    return w;
}

bool continues(const scan_area& a, const walk_pos& w, uint32_t y) {
    if (!in_ring(a, y) || y == w.clus) return false;
    const kx_dir_item it = item_at(a, y);
    return it.item_type == ITEM_FOLLOW && it.first_cluster_no == w.item.first_cluster_no &&
           it.up_cluster_no == w.clus && it.item_num == (uint16_t)(w.num + 1);
}

// The next cluster as the reader finds it: the down link when it proves the
// continuation, else the channel's next following cluster in the cluster's
// time section (the index search the reader falls back on). kNone at the end.
uint32_t successor(const scan_area& a, const walk_pos& w) {
    if (!dir_item_has_down(&w.item)) return kNone;
    if (continues(a, w, w.item.down_clus)) return w.item.down_clus;
    const kx_driver* p = a.pdp;
    const uint32_t high = w.clus <= p->current_cluster ? p->current_cluster : p->end_cluster2;
    const uint32_t y = a.next[w.clus];
    if (y == kNone || y > high || clus_type_of(a.index[y]) != CLUS_TYPE_FOLLOW) return kNone;
    return continues(a, w, y) ? y : kNone;
}

// A step of a walk: the item number was proved to be the next one.
walk_pos step_to(const scan_area& a, uint32_t y) {
    const kx_dir_item it = item_at(a, y);
    return walk_pos{y, it, it.item_num};
}

// Claims the clusters of a recording the listings show, as far as the
// reader's walk goes.
void claim_listed(scan_area* a) {
    for (uint32_t f = a->pdp->rev_clus; f < a->n; f++) {
        const uint32_t t = clus_type_of(a->index[f]);
        if (!listed_part(*a, f) || (t != CLUS_TYPE_START && t != CLUS_TYPE_RESUME)) continue;
        if (item_at(*a, f).first_cluster_no != f || a->claim[f] != FREE) continue;
        a->claim[f] = LISTED;
        for (walk_pos w = start_at(*a, f);;) {
            const uint32_t y = successor(*a, w);
            if (y == kNone || a->claim[y] != FREE) break;
            a->claim[y] = LISTED;
            w = step_to(*a, y);
        }
    }
}

bool candidate(const scan_area& a, uint32_t c) {
    if (a.claim[c] != FREE || is_bad(a.index[c])) return false;
    const kx_dir_item it = item_at(a, c);
    return dir_item_in_use(&it);
}

// One chain found: its facts and where its clusters lie in the shared list.
struct found_chain {
    kx_orphan facts;
    size_t at;
};

// The cluster's sectors of data as the reader counts them: a last cluster
// (no link onwards) holds end_length sectors when that is set and smaller
// than a cluster.
uint32_t data_sectors(const kx_driver* pdp, const kx_dir_item& it) {
    const uint32_t spc = pdp->sector_per_clus;
    return !dir_item_has_down(&it) && it.end_length != 0 && it.end_length < spc ? it.end_length : spc;
}

// Follows and claims one orphaned chain from `head`.
void take_chain(scan_area* a, uint32_t head, std::vector<uint32_t>* list, std::vector<found_chain>* chains) {
    found_chain ch{};
    ch.at = list->size();
    walk_pos w = start_at(*a, head);
    a->claim[head] = ORPHAN;
    list->push_back(head);
    for (;;) {
        const uint32_t y = successor(*a, w);
        if (y == kNone || a->claim[y] != FREE || !candidate(*a, y)) break;
        a->claim[y] = ORPHAN;
        list->push_back(y);
        w = step_to(*a, y);
    }
    const kx_dir_item first = item_at(*a, head);
    kx_orphan& o = ch.facts;
    o.channel = dir_item_channel(&first);
    o.first_cluster = head;
    o.old_first_cluster = first.first_cluster_no;
    o.clusters = (uint32_t)(list->size() - ch.at);
    o.last_sectors = data_sectors(a->pdp, w.item);
    o.sectors = (uint64_t)(o.clusters - 1) * a->pdp->sector_per_clus + o.last_sectors;
    o.start_time = first.start_time;
    // The last cluster's own end: a link onwards leads into what overwrote
    // the rest of the recording, whose start says nothing about this one.
    o.end_time = w.item.end_time == w.item.start_time ? time_add(w.item.end_time, 1) : w.item.end_time;
    o.media_type = (uint8_t)dir_item_media_type(&first);
    o.record_kind = (uint8_t)dir_item_record_kind(&first);
    chains->push_back(ch);
}

// Candidates that another candidate continues are not chain heads.
void find_chains(scan_area* a, std::vector<uint32_t>* list, std::vector<found_chain>* chains) {
    std::vector<uint8_t> continued(a->n, 0);
    for (uint32_t c = a->pdp->rev_clus; c < a->n; c++) {
        if (!candidate(*a, c)) continue;
        const uint32_t y = successor(*a, start_at(*a, c));
        if (y != kNone) continued[y] = 1;
    }
    for (uint32_t c = a->pdp->rev_clus; c < a->n; c++) {
        if (!continued[c] && candidate(*a, c)) take_chain(a, c, list, chains);
    }
    // What is left is continued all round: loops, entered at their lowest
    // cluster.
    for (uint32_t c = a->pdp->rev_clus; c < a->n; c++) {
        if (candidate(*a, c)) take_chain(a, c, list, chains);
    }
    std::sort(chains->begin(), chains->end(), [](const found_chain& x, const found_chain& y) {
        return x.facts.first_cluster < y.facts.first_cluster;
    });
}

int scan_locked(kx_driver* pdp, std::vector<uint32_t>* list, std::vector<found_chain>* chains) {
    scan_area a{};
    a.pdp = pdp;
    a.n = pdp->total_clus;
    if (!load_area(&a)) return 1;
    claim_listed(&a);
    try {
        find_chains(&a, list, chains);
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return 0;
}

}  // namespace

int kx_orphan_scan(int disk, int part, kx_orphan_fn fn, void* ctx) {
    std::vector<uint32_t> list;
    std::vector<found_chain> chains;
    lock_hooks();
    kx_driver* pdp = get_pdp(disk, part);
    int r = pdp == nullptr ? 7 : pdp->index_off == 0 ? 13 : scan_locked(pdp, &list, &chains);
    unlock_hooks();
    for (size_t i = 0; r == 0 && i < chains.size(); i++) r = fn(ctx, &chains[i].facts, &list[chains[i].at]);
    return r;
}

int kx_orphan_read(int disk, int part, const uint32_t* clusters, uint32_t count, uint32_t last_sectors,
                   uint64_t sector, void* buf, uint32_t sec_num) {
    lock_hooks();
    int r = 0;
    kx_driver* pdp = get_pdp(disk, part);
    if (pdp == nullptr) {
        r = 7;
    } else if (clusters == nullptr || count == 0 || buf == nullptr || last_sectors == 0 ||
               last_sectors > pdp->sector_per_clus) {
        r = 1;
    } else {
        const uint32_t spc = pdp->sector_per_clus;
        const uint64_t total = (uint64_t)(count - 1) * spc + last_sectors;
        if (sector > total || sec_num > total - sector) r = 2;
        uint8_t* dst = (uint8_t*)buf;
        for (uint64_t s = sector, end = sector + sec_num; r == 0 && s < end;) {
            const uint32_t c = clusters[s / spc];
            if (c < pdp->rev_clus || c >= pdp->total_clus) {
                r = 1;
                break;
            }
            const uint32_t off = (uint32_t)(s % spc);
            const uint32_t n = (uint32_t)std::min<uint64_t>(spc - off, end - s);
            if (disk_read(pdp->disk_no, n, clus_sector(pdp, c) + off, dst) != 0) r = 3;
            dst += (size_t)n * SECTOR_SIZE;
            s += n;
        }
    }
    unlock_hooks();
    return r;
}
