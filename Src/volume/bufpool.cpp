// The sector buffer pool: a fixed cache of 256 single-sector buffers through
// which all metadata of the file system is read and changed, and the one
// 16-sector bulk buffer for multi-sector copies.
//
// A buffer is found through a hash of 256 buckets on the low 8 bits of its
// sector number. All buffers also sit in one ring; a buffer (re)assigned to a
// sector goes to the tail, and the search for a buffer to reuse starts at the
// head, so the buffer assigned longest ago among those nobody holds is reused
// first. A changed (dirty) buffer reaches the disk when it is written back
// explicitly, when its disk is synchronised, or when it is reused.
#include <cstring>

#include "log.h"
#include "volume/volume.h"

namespace {

buf_head g_heads[BUF_POOL_SIZE];
// The disk-access library transfers straight into these areas.
alignas(SECTOR_SIZE) uint8_t g_areas[BUF_POOL_SIZE][SECTOR_SIZE];
alignas(SECTOR_SIZE) uint8_t g_io_area[IO_BUF_SECTORS * SECTOR_SIZE];

buf_head* g_hash[BUF_POOL_SIZE];
buf_head* g_ring_head;

// A held buffer's count never wraps back to "free".
const uint8_t k_max_hold = 255;

// One more hold on a cached buffer. A buffer already held 255 times (a
// caller leaking holds) is refused rather than let the count wrap to "free".
buf_head* take_hold(buf_head* b) {
    if (!b || b->hold == k_max_hold) return nullptr;
    b->hold++;
    return b;
}

buf_head** bucket_of(uint64_t sector) { return &g_hash[sector & 0xFF]; }

buf_head* lookup(uint32_t dev, uint64_t sector) {
    for (buf_head* b = *bucket_of(sector); b; b = b->hash_next)
        if (b->dev == dev && b->sector == sector) return b;
    return nullptr;
}

void hash_insert(buf_head* b) {
    buf_head** bucket = bucket_of(b->sector);
    b->hash_prev = nullptr;
    b->hash_next = *bucket;
    if (*bucket) (*bucket)->hash_prev = b;
    *bucket = b;
}

void hash_remove(buf_head* b) {
    if (b->hash_prev)
        b->hash_prev->hash_next = b->hash_next;
    else if (*bucket_of(b->sector) == b)
        *bucket_of(b->sector) = b->hash_next;
    if (b->hash_next) b->hash_next->hash_prev = b->hash_prev;
    b->hash_prev = b->hash_next = nullptr;
}

// Links all 256 headers into the ring in header order, head at buffer 0.
void build_ring(void) {
    for (int i = 0; i < BUF_POOL_SIZE; i++) {
        g_heads[i].ring_next = &g_heads[(i + 1) % BUF_POOL_SIZE];
        g_heads[i].ring_prev = &g_heads[(i + BUF_POOL_SIZE - 1) % BUF_POOL_SIZE];
    }
    g_ring_head = &g_heads[0];
}

// A header without both ring links means the ring was overwritten. Every
// buffer is always in the ring (a buffer being reassigned leaves it only for
// the moment of relinking), so the ring is rebuilt from the 256 headers and
// the pool carries on; the hash chains and the cached sectors stay valid.
bool ring_intact(const buf_head* b) {
    if (b && b->ring_prev && b->ring_next) return true;
    kx_log("Free block list corrupted\n");
    build_ring();
    return false;
}

// The first buffer nobody holds, walking from the head; null if all are held.
// A walk that meets a broken link starts over on the rebuilt ring.
buf_head* find_reusable(void) {
    for (int walk = 0; walk < 2; walk++) {
        buf_head* b = g_ring_head;
        int steps = 0;
        while (steps < BUF_POOL_SIZE && ring_intact(b)) {
            if (b->hold == 0) return b;
            b = b->ring_next;
            steps++;
        }
        if (steps == BUF_POOL_SIZE) break;
    }
    return nullptr;
}

// Moves b to the tail of the ring, just before the head.
void ring_move_to_tail(buf_head* b) {
    if (!ring_intact(b)) return;  // rebuilt: b sits in the ring again
    if (g_ring_head == b) g_ring_head = b->ring_next;
    b->ring_prev->ring_next = b->ring_next;
    b->ring_next->ring_prev = b->ring_prev;
    b->ring_next = g_ring_head;
    b->ring_prev = g_ring_head->ring_prev;
    g_ring_head->ring_prev->ring_next = b;
    g_ring_head->ring_prev = b;
}

}  // namespace

uint8_t* io_buf = g_io_area;

void init_buf_pool(void) {
    for (int i = 0; i < BUF_POOL_SIZE; i++) {
        g_heads[i] = buf_head{};
        g_heads[i].data = g_areas[i];
    }
    for (buf_head*& bucket : g_hash) bucket = nullptr;
    build_ring();
}

buf_head* find_buf(uint32_t dev, uint64_t sector) { return take_hold(lookup(dev, sector)); }

buf_head* get_buf(uint32_t dev, uint64_t sector) {
    // Used before start-up set the pool up: set it up now.
    if (!g_ring_head) init_buf_pool();
    for (;;) {
        if (buf_head* b = lookup(dev, sector)) return take_hold(b);
        buf_head* b = find_reusable();
        if (!b) return nullptr;
        if (!b->dirty) {
            b->hold = 1;
            hash_remove(b);
            b->dev = dev;
            b->sector = sector;
            b->valid = 0;
            ring_move_to_tail(b);
            hash_insert(b);
            return b;
        }
        // The old contents go to the disk first, held so that nothing else
        // takes the buffer meanwhile (a failure of the write is reported, and
        // the buffer is reused all the same). Reporting a failure reads the
        // partition table through this pool and may even cache the sector
        // asked for, so the search starts over: the buffer is clean now.
        b->hold++;
        write_buf(b);
        b->hold--;
    }
}

buf_head* read_buf(uint32_t dev, uint64_t sector) {
    buf_head* b = get_buf(dev, sector);
    if (!b || b->valid) return b;
    if (disk_read(dev, 1, sector, b->data) != 0) {
        release_buf(b);
        return nullptr;
    }
    b->valid = 1;
    return b;
}

void release_buf(buf_head* b) {
    if (!b) return;
    if (b->hold == 0) {
        kx_log("Trying to free free buffer\n");
        return;
    }
    b->hold--;
}

int write_buf(buf_head* b) {
    if (!b || !b->dirty) return 0;
    int result = 0;
    if (disk_write(b->dev, 1, b->sector, b->data) != 0) {
        result = 1;
        // A failed write still counts as an access of the disk.
        disk_touch(b->dev & 0xFFFFu);
    }
    // A failed write loses the change: the buffer counts as clean.
    b->dirty = 0;
    return result;
}

int sync_disk(uint32_t dev) {
    int result = 0;
    for (buf_head& b : g_heads)
        if (b.dirty && b.dev == dev && write_buf(&b) != 0) result = 1;
    return result;
}

void copy_cached_sectors(uint32_t dev, uint64_t first, uint64_t count, uint8_t* dst) {
    for (const buf_head& b : g_heads) {
        if ((b.valid || b.dirty) && b.dev == dev && b.sector >= first && b.sector - first < count)
            memcpy(dst + (b.sector - first) * SECTOR_SIZE, b.data, SECTOR_SIZE);
    }
}
