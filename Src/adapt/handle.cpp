// Path adapter handles: entries of the file layer's table handed out by the
// adapter itself, the host's lock hooks around every operation, and the two
// pools of transfer buffers.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "adapt/adapt.h"
#include "disk.h"
#include "log.h"

namespace {

// How deep the calling thread is inside adapter operations. The host's lock
// is taken on the way in from depth 0 and given back on the way out to 0, so
// an operation that calls another (close calls flush, open takes a pool
// block) never asks a non-recursive host lock twice.
thread_local int t_lock_depth = 0;

// A pool of equal blocks, grown a chunk at a time and never returned to the
// system. A free block's first word points at the next free block; each chunk
// starts with a word linking it into the pool's chunk list.
struct block_pool {
    size_t block_bytes;
    uint8_t* free_list;
    uint8_t* chunks;
};

constexpr int BLOCKS_PER_GROWTH = 4;
constexpr size_t CHUNK_LINK_BYTES = 8;

block_pool g_small_pool = {ADAPT_SMALL_BUF + SECTOR_SIZE, nullptr, nullptr};
block_pool g_large_pool = {ADAPT_LARGE_BUF + SECTOR_SIZE, nullptr, nullptr};

uint8_t* load_link(const uint8_t* p) {
    uint8_t* next;
    memcpy(&next, p, sizeof next);
    return next;
}

void store_link(uint8_t* p, uint8_t* next) {
    memcpy(p, &next, sizeof next);
}

bool grow(block_pool* pool) {
    const size_t bytes = BLOCKS_PER_GROWTH * pool->block_bytes + CHUNK_LINK_BYTES;
    uint8_t* chunk = static_cast<uint8_t*>(malloc(bytes));
    if (chunk == nullptr) return false;
    kx_log("buffer grow %ld bytes\n", (long)bytes);
    store_link(chunk, pool->chunks);
    pool->chunks = chunk;
    for (int i = BLOCKS_PER_GROWTH - 1; i >= 0; i--) {
        uint8_t* block = chunk + CHUNK_LINK_BYTES + (size_t)i * pool->block_bytes;
        store_link(block, pool->free_list);
        pool->free_list = block;
    }
    return true;
}

block_pool* pool_for(uint32_t buf_size) {
    return buf_size == ADAPT_LARGE_BUF ? &g_large_pool : &g_small_pool;
}

}  // namespace

void adapter_lock(void) {
    if (t_lock_depth++ == 0 && g_hooks.lock) g_hooks.lock();
}

void adapter_unlock(void) {
    if (t_lock_depth == 0) return;
    if (--t_lock_depth == 0 && g_hooks.unlock) g_hooks.unlock();
}

int adapter_handle_valid(KXFILE h, int line) {
    if (file_handle_valid(h)) return 0;
    kx_log("INVALID HANDLE: %s,%d\n", KX_UNIT_ADAPT, line);
    return KX_E_HANDLE;
}

KXFILE adapter_alloc_handle(void) {
    for (kx_file& f : file_table) {
        if (f.state != FILE_FREE) continue;
        f = kx_file{};
        f.generation = file_generation;
        return &f;
    }
    kx_log("none available handle\n");
    return nullptr;
}

bool adapt_buffer_attach(KXFILE h, uint32_t buf_size) {
    block_pool* pool = pool_for(buf_size);
    adapter_lock();
    if (pool->free_list == nullptr && !grow(pool)) {
        adapter_unlock();
        return false;
    }
    uint8_t* block = pool->free_list;
    pool->free_list = load_link(block);
    adapter_unlock();
    h->buf_block = block;
    h->buf = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(block) + SECTOR_SIZE) &
                                        ~(uintptr_t)(SECTOR_SIZE - 1));
    h->buf_size = buf_size;
    return true;
}

void adapt_buffer_detach(KXFILE h) {
    if (h->buf_block == nullptr) return;
    block_pool* pool = pool_for(h->buf_size);
    adapter_lock();
    store_link(h->buf_block, pool->free_list);
    pool->free_list = h->buf_block;
    adapter_unlock();
    h->buf_block = nullptr;
    h->buf = nullptr;
}
