// The writing side of the stream operations: record files through the file
// layer's writer, player files and the log area straight to their regions,
// and the partition summary into the volume descriptor.
//
// A record file written here starts with 256 KiB of header room; its data
// gathers in the handle's buffer and goes to the writer a whole buffer at a
// time. The file layer keeps its write position at the buffer's first sector
// (buf_pos): everything before buf_pos is written, the buffer holds what
// follows. Writing is sequential.
#include <cstring>

#include "adapt/adapt.h"
#include "disk.h"
#include "log.h"

namespace {

// The adapter refuses record data once fewer clusters than this remain above
// the recording head.
constexpr uint32_t MIN_FREE_CLUSTERS = 3;

uint32_t free_clusters(const kx_driver* pdp) {
    const uint32_t next = pdp->current_cluster + 1 > pdp->rev_clus ? pdp->current_cluster + 1 : pdp->rev_clus;
    return pdp->total_clus > next ? pdp->total_clus - next : 0;
}

bool aligned(uint64_t v) {
    return v % SECTOR_SIZE == 0;
}

// After a failed transfer the writer's position is unknown: it goes back to
// the buffer's first sector, or the window is given up (and buffered data
// still waiting is then reported lost by the flush).
void resync(KXFILE h) {
    if (h->buf_pos == KX_NO_BUF_POS || h->buf_pos / SECTOR_SIZE > UINT32_MAX ||
        kx_file_seek(h, (uint32_t)(h->buf_pos / SECTOR_SIZE)) != 0)
        h->buf_pos = KX_NO_BUF_POS;
}

// Writes the full buffer and moves the window on.
bool write_window(KXFILE h) {
    if (kx_file_write(h, h->buf, h->buf_size / SECTOR_SIZE) != 0) {
        resync(h);
        return false;
    }
    h->dirty = 0;
    h->buf_pos += h->buf_size;
    return true;
}

// A new record first reserves its header room, in whole buffers.
bool reserve_header(KXFILE h) {
    memset(h->buf, 0, h->buf_size);
    for (uint64_t done = 0; done < h->data_start; done += h->buf_size)
        if (kx_file_write(h, h->buf, h->buf_size / SECTOR_SIZE) != 0) return false;
    h->length = h->pos = h->buf_pos = h->data_start;
    h->dirty = 0;
    return true;
}

// After a seek away from the buffer, writing goes on only at the file's end
// on a sector boundary: the writer cannot read back the bytes a partly
// rewritten sector would need.
bool reopen_window(KXFILE h) {
    if (h->dirty || h->pos != h->length || !aligned(h->pos) || h->pos / SECTOR_SIZE > UINT32_MAX)
        return false;
    if (kx_file_seek(h, (uint32_t)(h->pos / SECTOR_SIZE)) != 0) return false;
    h->buf_pos = h->pos;
    return true;
}

size_t write_record(KXFILE h, const uint8_t* src, size_t bytes) {
    if (h->state != FILE_WRITING || h->buf == nullptr) return 0;
    if (free_clusters(h->pdp) < MIN_FREE_CLUSTERS) {
        kx_log("kx_fwrite:%d, %d disk over!\n", (int)h->pdp->disk_no, (int)h->pdp->part);
        return 0;
    }
    if (h->length == 0 && !reserve_header(h)) return 0;
    if (h->buf_pos == KX_NO_BUF_POS && !reopen_window(h)) return 0;
    size_t done = 0;
    while (done < bytes && h->buf_pos != KX_NO_BUF_POS) {
        if (h->pos - h->buf_pos == h->buf_size && !write_window(h)) break;
        const size_t rest = bytes - done;
        const bool empty = h->length == h->data_start;
        if (!h->dirty && h->pos == h->buf_pos && aligned(h->pos) && aligned(rest) &&
            aligned(reinterpret_cast<uintptr_t>(src + done)) && (rest > h->buf_size / 2 || empty)) {
            if (kx_file_write(h, src + done, (uint32_t)(rest / SECTOR_SIZE)) != 0) {
                resync(h);
                break;
            }
            h->pos += rest;
            h->buf_pos = h->pos;
            done += rest;
        } else {
            const uint64_t off = h->pos - h->buf_pos;
            const size_t k = rest < h->buf_size - off ? rest : (size_t)(h->buf_size - off);
            memcpy(h->buf + off, src + done, k);
            h->dirty = 1;
            h->pos += k;
            done += k;
        }
        if (h->pos > h->length) h->length = h->pos;
    }
    if (h->buf_pos != KX_NO_BUF_POS && h->pos - h->buf_pos == h->buf_size) write_window(h);
    return done;
}

size_t write_player(KXFILE h, const uint8_t* src, size_t bytes) {
    uint64_t area;
    uint32_t sectors;
    if (h->state != FILE_WRITING || !player_area(h->pdp, &area, &sectors) || h->raw_lba < area) return 0;
    const uint64_t room = (area + sectors - h->raw_lba) * SECTOR_SIZE;
    if (h->raw_lba >= area + sectors || h->pos >= room) return 0;
    const size_t n = bytes < room - h->pos ? bytes : (size_t)(room - h->pos);
    if (!raw_transfer(h->pdp->disk_no, h->raw_lba, h->pos, const_cast<uint8_t*>(src), n, true)) return 0;
    h->pos += n;
    if (h->pos > h->length) h->length = h->pos;
    return n;
}

// The summary record's calendar of an unset time.
bool is_default_calendar(const uint8_t* p) {
    static const int32_t def[8] = {2000, 1, 1, 0, 0, 0, 0, 0};
    for (int i : {0, 1, 2, 4, 5, 6})
        if ((int32_t)get_le32(p + 4 * i) != def[i]) return false;
    return true;
}

// A summary written back changes the descriptor's label and words when they
// differ, and a record whose span 1 is unset while span 2 is not asks the
// writer to move on as when the volume is full.
size_t write_summary(KXFILE h, const uint8_t* rec, size_t bytes) {
    if (bytes < SUMMARY_RECORD_BYTES) return 0;
    kx_driver* pdp = h->pdp;
    const uint32_t word = get_le32(rec + 32), type = get_le32(rec + 36), err = get_le32(rec + 40);
    if (memcmp(rec, pdp->part_label, sizeof pdp->part_label) != 0 || word != pdp->part_word ||
        type != pdp->type || err != pdp->err_status) {
        memcpy(pdp->part_label, rec, sizeof pdp->part_label);
        pdp->part_word = word;
        // Driver types are 0-4; any other value would free the slot.
        if (type < KX_MAX_TYPES) pdp->type = type;
        pdp->err_status = err;
        save_pdp(pdp);
    }
    if (is_default_calendar(rec + 44) && is_default_calendar(rec + 76) &&
        memcmp(rec + 172, rec + 204, 32) != 0)
        switch_work_driver(pdp);
    return bytes;
}

}  // namespace

int adapt_flush_locked(KXFILE h) {
    if (h->buf == nullptr || h->state != FILE_WRITING || !h->dirty) return 0;
    // Buffered data whose place in the record was lost cannot be written.
    if (!adapt_in_window(h, h->pos)) return -1;
    uint32_t n = h->buf_size / SECTOR_SIZE;
    const bool partial = h->buf_pos + h->buf_size > h->length;
    if (partial) {
        // The last buffer: the sectors that hold data, rounded up to an even
        // count, the bytes after the end set to 0xFF.
        const uint64_t data = h->length - h->buf_pos;
        n = (uint32_t)((data + SECTOR_SIZE - 1) / SECTOR_SIZE);
        n += n & 1;
        memset(h->buf + data, 0xFF, (size_t)n * SECTOR_SIZE - data);
    }
    if (kx_file_write(h, h->buf, n) != 0) {
        resync(h);
        return -1;
    }
    h->dirty = 0;
    if (!partial) {
        h->buf_pos += h->buf_size;
        return 0;
    }
    // More may follow: the writer goes back to the buffer's first sector, so
    // that the next full buffer replaces the padded sectors just written.
    resync(h);
    return 0;
}

void adapt_closing_writes(KXFILE h) {
    if (h->kind != ADAPT_PLAYER) return;
    uint64_t area;
    uint32_t sectors;
    if (!player_area(h->pdp, &area, &sectors)) return;
    buf_head* b = read_buf(h->pdp->disk_no, area);
    if (b == nullptr) return;
    const uint32_t count = get_le32(b->data + PLAYER_COUNT_OFF);
    for (uint32_t i = 0; i < count && i < PLAYER_MAX_ENTRIES; i++) {
        uint8_t* e = b->data + PLAYER_ENTRY_OFF + i * PLAYER_ENTRY_BYTES;
        if (area + get_le32(e + PLAYER_NAME_BYTES + 4) / SECTOR_SIZE != h->raw_lba) continue;
        put_le32(e + PLAYER_NAME_BYTES, (uint32_t)h->length);
        b->dirty = 1;
        write_buf(b);
        break;
    }
    release_buf(b);
}

size_t kx_fwrite(const void* buf, size_t size, size_t count, KXFILE f) {
    if (adapter_handle_valid(f, __LINE__) != 0) return 0;
    if (buf == nullptr || size == 0 || count > SIZE_MAX / size) return 0;
    const size_t bytes = size * count;
    const uint8_t* src = static_cast<const uint8_t*>(buf);
    adapter_lock();
    size_t put = 0;
    switch (f->kind) {
        case ADAPT_SUMMARY:
            put = write_summary(f, src, bytes);
            break;
        case ADAPT_LOG:
            put = log_transfer(f, const_cast<uint8_t*>(src), bytes, true);
            break;
        case ADAPT_PLAYER:
            put = write_player(f, src, bytes);
            break;
        case ADAPT_RECORD:
            put = write_record(f, src, bytes);
            break;
        default:
            break;
    }
    adapter_unlock();
    return put / size;
}

int kx_fflush(KXFILE f) {
    if (adapter_handle_valid(f, __LINE__) != 0) return -1;
    adapter_lock();
    const int r = adapt_flush_locked(f);
    adapter_unlock();
    return r;
}
