// Stream operations on virtual paths: opening, reading, seeking and closing
// record files, their index parts, player files, the log area and the
// partition summary.
//
// A record file is read through the handle's buffer (32 KiB for video, 4 KiB
// otherwise) or, for large sector-aligned requests, straight from the disk
// into the caller's memory. Its virtual bytes are the record's sectors from
// its first cluster on; reading starts after the header that the record's
// "KXII" head announces, and every byte after the header up to the record's
// exact length in sectors is delivered.
#include <cstring>

#include "adapt/adapt.h"
#include "disk.h"
#include "kxtime.h"
#include "log.h"
#include "platform/clock.h"

namespace {

constexpr uint32_t KXII_LENGTH_OFF = 4;

// ------------------------------------------------------------ opening

// Header sectors from a "KXII" head, 0 when the record has none or its length
// cannot be this record's: the head word is 16 bits wide, and a header longer
// than the record would put the data outside it.
uint32_t kxii_header_sectors(kx_driver* pdp, uint32_t first_clus, uint64_t record_sectors) {
    if (first_clus >= pdp->total_clus) return 0;
    alignas(SECTOR_SIZE) uint8_t sector[SECTOR_SIZE];
    if (disk_read(pdp->disk_no, 1, clus_sector(pdp, first_clus), sector) != 0) return 0;
    if (memcmp(sector, "KXII", 4) != 0) return 0;
    const uint32_t head = get_le32(sector + KXII_LENGTH_OFF) / SECTOR_SIZE;
    if (head > 0xFFFF || head > record_sectors) return 0;
    return head;
}

// A record opened for reading whose header word is still 0 takes it from its
// "KXII" head, and the word is stored in the record's first item at once.
void fill_header_word(KXFILE h) {
    if (h->dir_item.head_sectors != 0 || h->cur_clus != h->first_cluster) return;
    uint32_t sectors;
    if (kx_file_get_sectors(h, &sectors) != 0) return;
    const uint32_t head = kxii_header_sectors(h->pdp, h->first_cluster, sectors);
    if (head == 0) return;
    h->dir_item.head_sectors = (uint16_t)head;
    set_dir_item_info(h->pdp, h->first_cluster, &h->dir_item, 1);
}

// The record found must be the one the name describes: its channel and the
// time of day it started (the date is the listing's day, which for a record
// running past midnight is not its start day), and, when it was looked up by
// time, its sequence number. A ring that has wrapped since the name was
// listed may hold another recording at the named cluster.
bool record_matches_name(const kx_file* h, const record_path& rp, bool by_time) {
    const kx_dir_item& it = h->dir_item;
    if (dir_item_channel(&it) != rp.channel) return false;
    if (pt_hour(it.start_time) != pt_hour(rp.start_time) ||
        pt_minute(it.start_time) != pt_minute(rp.start_time) ||
        pt_second(it.start_time) != pt_second(rp.start_time))
        return false;
    return !by_time || it.same_second_seq == rp.seq;
}

int find_record(KXFILE h, const record_path& rp) {
    const bool by_time = rp.cluster < rp.pdp->rev_clus;
    const int r = by_time ? kx_file_open_by_time(h, rp.channel, rp.start_time, 3, rp.seq, 0xFF, 0xFF, 0)
                          : kx_file_goto_clus(h, rp.disk, rp.part, rp.cluster);
    if (r != 0) return r;
    return record_matches_name(h, rp, by_time) ? 0 : KX_E_NOTFOUND;
}

void close_quietly(KXFILE h) {
    adapt_buffer_detach(h);
    kx_file_close(h);
}

KXFILE open_record(const char* path, bool reading) {
    record_path rp;
    const int parsed = parse_record_path(path, &rp);
    if (rp.pdp == nullptr) {
        kx_log("No such driver!\n");
        return nullptr;
    }
    uint8_t kind = ADAPT_RECORD;
    if (strstr(path, "idx") != nullptr)
        kind = strstr(path, "summary") != nullptr ? ADAPT_SUMMARY_INDEX : ADAPT_INDEX;
    // Index parts are written in place over a record's header only by the
    // recorder; here they open for reading. A record to read must be named
    // completely; a new record needs its day and channel (its name is made
    // from what is written).
    const bool named =
        parsed == PATH_MATCHED || (parsed == PATH_BAD_NAME && (!reading || kind == ADAPT_SUMMARY_INDEX));
    if ((kind != ADAPT_RECORD && !reading) || !named) {
        kx_log("No file %s!\n", path);
        return nullptr;
    }
    KXFILE h = adapter_alloc_handle();
    if (h == nullptr) {
        kx_log("Get the Handle error!\n");
        return nullptr;
    }
    h->kind = kind;
    h->opened = 1;
    h->state = reading ? FILE_READING : FILE_WRITING;
    h->channel = rp.channel;
    h->open_tick = pc_tick_ms();
    h->pdp = rp.pdp;
    h->search_time = rp.start_time;
    h->record_kind = rp.record_kind;
    if (kind == ADAPT_SUMMARY_INDEX || !reading) {
        h->media_type = strstr(path, ".jpg") != nullptr ? 0 : 2;
        h->length = 0;
        h->data_start = ADAPT_WRITE_DATA_START;
    } else {
        if (find_record(h, rp) != 0) {
            kx_log("No file %s!\n", path);
            close_quietly(h);
            return nullptr;
        }
        fill_header_word(h);
        uint32_t sectors = 0;
        kx_file_get_sectors(h, &sectors);
        const uint64_t record_bytes = (uint64_t)sectors * SECTOR_SIZE;
        const uint64_t head_bytes = (uint64_t)h->dir_item.head_sectors * SECTOR_SIZE;
        if (kind == ADAPT_INDEX) {
            h->pos = 0;
            h->length = h->data_start = head_bytes < record_bytes ? head_bytes : record_bytes;
        } else {
            h->length = record_bytes;
            h->data_start = h->pos = head_bytes;
        }
    }
    const bool small = kind != ADAPT_RECORD || h->media_type == 0;
    if (!adapt_buffer_attach(h, small ? ADAPT_SMALL_BUF : ADAPT_LARGE_BUF)) {
        close_quietly(h);
        return nullptr;
    }
    h->buf_pos = reading ? KX_NO_BUF_POS : 0;
    return h;
}

KXFILE open_player(const char* path, bool reading) {
    int disk, part;
    kx_driver* pdp = parse_root_back(path, 2, &disk, &part) == 0 ? get_pdp(disk, part) : nullptr;
    if (pdp == nullptr) {
        kx_log("No such driver!\n");
        return nullptr;
    }
    char name[PLAYER_NAME_BYTES];
    uint64_t area;
    uint32_t area_sectors;
    if (last_component(path, name, sizeof name) != 0 || !player_area(pdp, &area, &area_sectors)) {
        kx_log("No such file!\n");
        return nullptr;
    }
    buf_head* b = read_buf(pdp->disk_no, area);
    if (b == nullptr || (memcmp(b->data, PLAYER_MAGIC, sizeof PLAYER_MAGIC) != 0 && reading)) {
        release_buf(b);
        kx_log("No such directory!\n");
        return nullptr;
    }
    if (memcmp(b->data, PLAYER_MAGIC, sizeof PLAYER_MAGIC) != 0) {
        memset(b->data, 0, SECTOR_SIZE);
        memcpy(b->data, PLAYER_MAGIC, sizeof PLAYER_MAGIC);
        b->dirty = 1;
    }
    KXFILE h = adapter_alloc_handle();
    if (h == nullptr) {
        release_buf(b);
        kx_log("Get the Handle error!\n");
        return nullptr;
    }
    h->kind = ADAPT_PLAYER;
    h->state = reading ? FILE_READING : FILE_WRITING;
    h->pdp = pdp;
    const bool found = reading ? player_lookup(b->data, name, area, area_sectors, &h->raw_lba, &h->length)
                               : player_add(b->data, name, area, area_sectors, &h->raw_lba);
    if (found && !reading) b->dirty = 1;
    release_buf(b);
    if (!found) {
        kx_log("No such file!\n");
        kx_file_close(h);
        return nullptr;
    }
    return h;
}

KXFILE open_log(const char* path) {
    int disk, part;
    kx_driver* pdp = parse_root_back(path, 2, &disk, &part) == 0 ? get_pdp(disk, part) : nullptr;
    if (pdp == nullptr) {
        kx_log("No such driver!\n");
        return nullptr;
    }
    uint64_t area;
    uint32_t area_sectors;
    if (!log_area(pdp, &area, &area_sectors)) {
        kx_log("No such file!\n");
        return nullptr;
    }
    KXFILE h = adapter_alloc_handle();
    if (h == nullptr) {
        kx_log("Get the Handle error!\n");
        return nullptr;
    }
    h->kind = ADAPT_LOG;
    h->state = FILE_READING;
    h->pdp = pdp;
    h->raw_lba = area;
    h->length = (uint64_t)area_sectors * SECTOR_SIZE;
    return h;
}

KXFILE open_summary(const char* path) {
    int disk, part;
    kx_driver* pdp = parse_root_back(path, 1, &disk, &part) == 0 ? get_pdp(disk, part) : nullptr;
    if (pdp == nullptr) {
        kx_log("No such driver!\n");
        return nullptr;
    }
    KXFILE h = adapter_alloc_handle();
    if (h == nullptr) {
        kx_log("Get the Handle error!\n");
        return nullptr;
    }
    h->kind = ADAPT_SUMMARY;
    h->state = FILE_READING;
    h->pdp = pdp;
    h->pos = 0;
    return h;
}

KXFILE open_locked(const char* path, bool reading) {
    if (strstr(path, ".mvr") || strstr(path, ".jpg") || strstr(path, ".idx"))
        return open_record(path, reading);
    if (strstr(path, "player")) return open_player(path, reading);
    if (strstr(path, "log")) return open_log(path);
    if (strstr(path, "DVRWorkDirectory")) return open_summary(path);
    return nullptr;
}

// ------------------------------------------------------------ reading

// A record still being written grows: take its current length.
void refresh_length(KXFILE h) {
    uint32_t sectors;
    if (h->kind == ADAPT_RECORD && h->state == FILE_READING && kx_file_get_sectors(h, &sectors) == 0 &&
        (uint64_t)sectors * SECTOR_SIZE >= h->length)
        h->length = (uint64_t)sectors * SECTOR_SIZE;
}

// Positions the file layer on the sector of pos (when it is not there yet).
bool seek_sector_of(KXFILE h, uint64_t pos) {
    uint32_t here = 0;
    kx_file_tell(h, &here);
    if ((uint64_t)here * SECTOR_SIZE == pos) return true;
    return pos / SECTOR_SIZE <= UINT32_MAX && kx_file_seek(h, (uint32_t)(pos / SECTOR_SIZE)) == 0;
}

// A large sector-aligned request goes straight into the caller's memory.
size_t read_direct(KXFILE h, uint8_t* dst, size_t bytes) {
    if (h->pos >= h->length) return 0;
    const uint64_t n = bytes < h->length - h->pos ? bytes : h->length - h->pos;
    if (!seek_sector_of(h, h->pos)) return 0;
    h->buf_pos = KX_NO_BUF_POS;
    // Whole sectors: n is a multiple of the sector size, as record lengths are.
    uint64_t sectors = (n + SECTOR_SIZE - 1) / SECTOR_SIZE;
    for (uint64_t done = 0; done < sectors;) {
        const uint32_t chunk = sectors - done < 0x10000 ? (uint32_t)(sectors - done) : 0x10000;
        if (kx_file_read(h, dst + done * SECTOR_SIZE, chunk) != 0) return 0;
        done += chunk;
    }
    h->pos += n;
    return (size_t)n;
}

// Loads the buffer with the file's bytes from the sector of pos on.
bool load_window(KXFILE h) {
    h->buf_pos = KX_NO_BUF_POS;
    if (!seek_sector_of(h, h->pos)) return false;
    uint32_t here = 0;
    kx_file_tell(h, &here);
    const uint64_t start = (uint64_t)here * SECTOR_SIZE;
    // The file layer's position is derived from directory items: never trust
    // it to have landed where asked.
    if (start > h->pos || h->pos - start >= h->buf_size) return false;
    if (kx_file_read(h, h->buf, h->buf_size / SECTOR_SIZE) != 0) return false;
    h->buf_pos = start;
    return true;
}

// Copies from the buffer, reloading it with the file's next bytes as the
// copy runs past it, and stops at the file's length.
size_t copy_out(KXFILE h, uint8_t* dst, size_t bytes) {
    size_t done = 0;
    for (;;) {
        if (h->pos >= h->length) return done;
        const uint64_t off = h->pos - h->buf_pos;
        const uint64_t end = h->buf_pos + h->buf_size;
        const uint64_t excess = end > h->length ? end - h->length : 0;
        const uint64_t avail = off + excess >= h->buf_size ? 0 : h->buf_size - off - excess;
        const size_t rest = bytes - done;
        if (rest <= avail) {
            memcpy(dst + done, h->buf + off, rest);
            h->pos += rest;
            return bytes;
        }
        memcpy(dst + done, h->buf + off, avail);
        done += avail;
        h->pos += avail;
        if (excess > 0 || h->pos >= h->length) return done;
        if (kx_file_read(h, h->buf, h->buf_size / SECTOR_SIZE) != 0) {
            h->buf_pos = KX_NO_BUF_POS;
            return done;
        }
        h->buf_pos = end;
    }
}

size_t read_buffered(KXFILE h, uint8_t* dst, size_t bytes) {
    // A record being written is read back only once it is closed.
    if (h->buf == nullptr || h->state != FILE_READING) return 0;
    // A summary index is the header tail its seek loaded into the buffer.
    if (h->kind == ADAPT_SUMMARY_INDEX) return adapt_in_window(h, h->pos) ? copy_out(h, dst, bytes) : 0;
    bool reload = false;
    if (h->kind == ADAPT_RECORD && h->pos + bytes >= h->length) {
        refresh_length(h);
        reload = true;
    }
    if (bytes > h->buf_size / 2 && h->pos % SECTOR_SIZE == 0 && bytes % SECTOR_SIZE == 0)
        return read_direct(h, dst, bytes);
    if (h->pos >= h->length) return 0;
    if ((reload || !adapt_in_window(h, h->pos)) && !load_window(h)) return 0;
    return copy_out(h, dst, bytes);
}

}  // namespace

// Partial sectors go through a scratch sector so that no byte outside
// [pos, pos + bytes) is touched.
bool raw_transfer(uint32_t dev, uint64_t lba, uint64_t pos, uint8_t* data, size_t bytes, bool write) {
    alignas(SECTOR_SIZE) uint8_t scratch[SECTOR_SIZE];
    while (bytes > 0) {
        const uint64_t sector = lba + pos / SECTOR_SIZE;
        const size_t off = pos % SECTOR_SIZE;
        const size_t k = bytes < SECTOR_SIZE - off ? bytes : SECTOR_SIZE - off;
        if (k == SECTOR_SIZE) {
            size_t whole = bytes / SECTOR_SIZE;
            if (whole > 64) whole = 64;
            const int r = write ? disk_write(dev, (uint32_t)whole, sector, data)
                                : disk_read(dev, (uint32_t)whole, sector, data);
            if (r != 0) return false;
            pos += whole * SECTOR_SIZE;
            data += whole * SECTOR_SIZE;
            bytes -= whole * SECTOR_SIZE;
            continue;
        }
        if (disk_read(dev, 1, sector, scratch) != 0) return false;
        if (write) {
            memcpy(scratch + off, data, k);
            if (disk_write(dev, 1, sector, scratch) != 0) return false;
        } else {
            memcpy(data, scratch + off, k);
        }
        pos += k;
        data += k;
        bytes -= k;
    }
    return true;
}

namespace {

size_t read_player(KXFILE h, uint8_t* dst, size_t bytes) {
    if (h->pos >= h->length) return 0;
    const size_t n = bytes < h->length - h->pos ? bytes : (size_t)(h->length - h->pos);
    if (!raw_transfer(h->pdp->disk_no, h->raw_lba, h->pos, dst, n, false)) return 0;
    h->pos += n;
    return n;
}

// Every read gives the record afresh from its start, and never more of it
// than there is: a larger request is not reported as delivered whole.
size_t read_summary(KXFILE h, uint8_t* dst, size_t bytes) {
    uint8_t rec[SUMMARY_RECORD_BYTES];
    summary_fill(h->pdp, rec);
    const size_t n = bytes < sizeof rec ? bytes : sizeof rec;
    memcpy(dst, rec, n);
    return n;
}

}  // namespace

// ------------------------------------------------------------ log area

size_t log_transfer(KXFILE h, uint8_t* data, size_t bytes, bool write) {
    uint64_t area;
    uint32_t sectors;
    if (!log_area(h->pdp, &area, &sectors)) return 0;
    const uint64_t limit =
        (uint64_t)(sectors < LOG_AREA_MAX_SECTORS ? sectors : LOG_AREA_MAX_SECTORS) * SECTOR_SIZE;
    if (h->pos >= limit) return 0;
    if (bytes > limit - h->pos) bytes = (size_t)(limit - h->pos);
    size_t done = 0;
    while (done < bytes) {
        const size_t off = h->pos % SECTOR_SIZE;
        const size_t k = bytes - done < SECTOR_SIZE - off ? bytes - done : SECTOR_SIZE - off;
        buf_head* b = read_buf(h->pdp->disk_no, area + h->pos / SECTOR_SIZE);
        if (b == nullptr) break;
        if (write) {
            memcpy(b->data + off, data + done, k);
            b->dirty = 1;
            const int r = write_buf(b);
            release_buf(b);
            if (r != 0) break;
        } else {
            memcpy(data + done, b->data + off, k);
            release_buf(b);
        }
        done += k;
        h->pos += k;
    }
    return done;
}

// ------------------------------------------------------------ entries

KXFILE kx_fopen(const char* path, const char* mode) {
    if (path == nullptr) return nullptr;
    const bool reading = mode != nullptr && strcmp(mode, "rb") == 0;
    adapter_lock();
    KXFILE h = open_locked(path, reading);
    adapter_unlock();
    return h;
}

namespace {

size_t read_locked(KXFILE f, uint8_t* dst, size_t bytes) {
    switch (f->kind) {
        case ADAPT_SUMMARY: return read_summary(f, dst, bytes);
        case ADAPT_PLAYER: return read_player(f, dst, bytes);
        case ADAPT_LOG: return log_transfer(f, dst, bytes, false);
        case ADAPT_RECORD:
        case ADAPT_INDEX:
        case ADAPT_SUMMARY_INDEX: return read_buffered(f, dst, bytes);
        default: return 0;
    }
}

}  // namespace

size_t kx_fread(void* buf, size_t size, size_t count, KXFILE f) {
    if (adapter_handle_valid(f, __LINE__) != 0) return 0;
    if (buf == nullptr || size == 0 || count > SIZE_MAX / size) return 0;
    adapter_lock();
    const size_t got = read_locked(f, static_cast<uint8_t*>(buf), size * count);
    adapter_unlock();
    return got / size;
}

size_t kx_fread_sectors(void* buf, size_t bytes, KXFILE f) {
    if (adapter_handle_valid(f, __LINE__) != 0) return 0;
    if (buf == nullptr || bytes % SECTOR_SIZE != 0) return 0;
    adapter_lock();
    size_t got = 0;
    if ((f->kind == ADAPT_RECORD || f->kind == ADAPT_INDEX) && f->state == FILE_READING && f->pos % SECTOR_SIZE == 0)
        got = read_direct(f, static_cast<uint8_t*>(buf), bytes);
    adapter_unlock();
    return got;
}

namespace {

// A summary index opened for reading seeks by cluster: it loads the last
// buffer's worth of that record's header, which is then its whole content.
int64_t seek_summary_index(KXFILE h, int64_t clus) {
    h->pos = 0;
    h->length = 0;
    h->buf_pos = KX_NO_BUF_POS;
    if (clus < 0 || clus > UINT32_MAX) return -1;
    if (kx_file_goto_clus(h, (int)h->pdp->disk_no, (int)h->pdp->part, (uint32_t)clus) != 0) return -1;
    const uint32_t head = h->dir_item.head_sectors, n = h->buf_size / SECTOR_SIZE;
    uint32_t sectors = 0;
    kx_file_get_sectors(h, &sectors);
    if (head < n || head > sectors) return 0;
    if (kx_file_seek(h, head - n) != 0 || kx_file_read(h, h->buf, n) != 0) return 0;
    h->data_start = (uint64_t)head * SECTOR_SIZE;
    h->buf_pos = 0;
    h->length = h->buf_size;
    return 0;
}

int64_t seek_locked(KXFILE h, int64_t offset, int origin) {
    if (h->kind == ADAPT_SUMMARY_INDEX && h->state == FILE_READING) return seek_summary_index(h, offset);
    int64_t base;
    switch (origin) {
        case 0:
            base = h->kind == ADAPT_RECORD ? (int64_t)h->data_start : 0;
            break;
        case 1:
            base = (int64_t)h->pos;
            break;
        case 2:
            refresh_length(h);
            base = (int64_t)h->length;
            break;
        default:
            return -1;
    }
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return -1;
    const uint64_t target = (uint64_t)(base + offset);
    if (h->kind != ADAPT_PLAYER && h->kind != ADAPT_LOG && target != h->pos) {
        const uint64_t lower = h->kind == ADAPT_RECORD ? h->data_start : 0;
        if (target < lower || target > h->length) return -1;
        if (!(adapt_in_window(h, target) && target - h->buf_pos < h->buf_size)) {
            adapt_flush_locked(h);
            if ((h->kind == ADAPT_RECORD || h->kind == ADAPT_INDEX) &&
                (target / SECTOR_SIZE > UINT32_MAX || kx_file_seek(h, (uint32_t)(target / SECTOR_SIZE)) != 0))
                return -1;
            h->buf_pos = KX_NO_BUF_POS;
        }
    }
    h->pos = target;
    return 0;
}

}  // namespace

int64_t kx_fseek(KXFILE f, int64_t offset, int origin) {
    if (adapter_handle_valid(f, __LINE__) != 0) return -1;
    adapter_lock();
    const int64_t r = seek_locked(f, offset, origin);
    adapter_unlock();
    return r;
}

namespace {

// Bytes a whole read of the file delivers from offset 0 of kx_fpread.
uint64_t size_locked(KXFILE f) {
    switch (f->kind) {
        case ADAPT_SUMMARY: return SUMMARY_RECORD_BYTES;
        case ADAPT_RECORD:
            refresh_length(f);
            return f->length > f->data_start ? f->length - f->data_start : 0;
        default: return f->length;
    }
}

// The whole log area, addressed in 64 bits and read straight from the disk:
// the stream reads' 8 MiB cut belongs to the recorder's own use of the area.
size_t pread_log(KXFILE f, uint8_t* dst, size_t bytes, uint64_t offset) {
    if (offset >= f->length) return 0;
    if (bytes > f->length - offset) bytes = (size_t)(f->length - offset);
    return raw_transfer(f->pdp->disk_no, f->raw_lba, offset, dst, bytes, false) ? bytes : 0;
}

size_t pread_locked(KXFILE f, uint8_t* dst, size_t bytes, uint64_t offset) {
    if (f->state != FILE_READING) return 0;
    if (f->kind == ADAPT_LOG) return pread_log(f, dst, bytes, offset);
    if (f->kind == ADAPT_SUMMARY) {
        if (offset >= SUMMARY_RECORD_BYTES) return 0;
        uint8_t rec[SUMMARY_RECORD_BYTES];
        summary_fill(f->pdp, rec);
        const size_t n = bytes < SUMMARY_RECORD_BYTES - offset ? bytes : (size_t)(SUMMARY_RECORD_BYTES - offset);
        memcpy(dst, rec + offset, n);
        return n;
    }
    if (offset > (uint64_t)INT64_MAX || seek_locked(f, (int64_t)offset, 0) != 0) return 0;
    return read_locked(f, dst, bytes);
}

}  // namespace

size_t kx_fpread(KXFILE f, void* buf, size_t bytes, uint64_t offset) {
    if (adapter_handle_valid(f, __LINE__) != 0 || buf == nullptr) return 0;
    adapter_lock();
    const size_t got = pread_locked(f, static_cast<uint8_t*>(buf), bytes, offset);
    adapter_unlock();
    return got;
}

int64_t kx_fsize(KXFILE f) {
    if (adapter_handle_valid(f, __LINE__) != 0) return -1;
    adapter_lock();
    const uint64_t n = size_locked(f);
    adapter_unlock();
    return (int64_t)n;
}

int kx_fclose(KXFILE f) {
    if (!file_handle_in_table(f)) {
        kx_log("INVALID HANDLE: %s,%d\n", KX_UNIT_ADAPT, __LINE__);
        return 0;
    }
    adapter_lock();
    if (f->state == FILE_WRITING) adapt_closing_writes(f);
    const int flushed = adapt_flush_locked(f);
    adapt_buffer_detach(f);
    f->day_map = nullptr;
    const int closed = kx_file_close(f);
    adapter_unlock();
    // A record whose last bytes could not be written is not reported closed
    // whole.
    return closed == 0 && flushed == 0 ? 0 : -1;
}

// ------------------------------------------------------------ summary and areas

namespace {

constexpr size_t CALENDAR_BYTES = 32;

void put_calendar(uint8_t* p, packed_time t) {
    calendar_time c = {};
    time_to_calendar(&t, &c);
    const int32_t words[8] = {c.year, c.month, c.day, c.resv1, c.hour, c.minute, c.second, c.resv2};
    for (int i = 0; i < 8; i++) put_le32(p + 4 * i, (uint32_t)words[i]);
}

// A reserved region that lies inside the partition's reserved clusters and
// clear of the user-data area (so that writing it cannot touch metadata or
// recordings).
bool reserved_region(const kx_driver* pdp, uint32_t off, uint32_t sectors, uint64_t* first_lba,
                     uint32_t* out) {
    if (off == 0 || sectors == 0 || pdp->rev_clus > pdp->total_clus) return false;
    const uint64_t lo = pdp->data_off, hi = lo + (uint64_t)pdp->rev_clus * pdp->sector_per_clus;
    const uint64_t end = (uint64_t)off + sectors;
    if (off < lo || end > hi) return false;
    const uint64_t ud_lo = pdp->ud_off;
    const uint64_t ud_hi = ud_lo + (uint64_t)pdp->ud_item_num * pdp->ud_item_size / SECTOR_SIZE;
    if (off < ud_hi && end > ud_lo) return false;
    *first_lba = pdp_sector(pdp, off);
    *out = sectors;
    return true;
}

}  // namespace

// The descriptor's two reserved regions are where the recorder keeps its
// player files (region 1, 4096 sectors) and its log (region 2, 16384 sectors,
// the 8 MiB that log transfers are cut to).
bool player_area(const kx_driver* pdp, uint64_t* first_lba, uint32_t* sectors) {
    return reserved_region(pdp, pdp->resv1_off, pdp->resv1_sectors, first_lba, sectors);
}

bool log_area(const kx_driver* pdp, uint64_t* first_lba, uint32_t* sectors) {
    return reserved_region(pdp, pdp->resv2_off, pdp->resv2_sectors, first_lba, sectors);
}

void summary_fill(const kx_driver* pdp, uint8_t rec[SUMMARY_RECORD_BYTES]) {
    memset(rec, 0, SUMMARY_RECORD_BYTES);
    driver_info info = {};
    kx_get_driver_info((int)pdp->disk_no, (int)pdp->part, &info);
    memcpy(rec, pdp->part_label, sizeof pdp->part_label);
    put_le32(rec + 32, pdp->part_word);
    put_le32(rec + 36, pdp->type);
    put_le32(rec + 40, pdp->err_status);
    put_calendar(rec + 44, info.start_time1);
    put_calendar(rec + 44 + CALENDAR_BYTES, info.end_time1);
    put_calendar(rec + 44 + 2 * CALENDAR_BYTES, info.start_time1);
    put_calendar(rec + 44 + 3 * CALENDAR_BYTES, info.end_time1);
    put_calendar(rec + 44 + 4 * CALENDAR_BYTES, info.start_time2);
    put_calendar(rec + 44 + 5 * CALENDAR_BYTES, info.end_time2);
    put_calendar(rec + 44 + 6 * CALENDAR_BYTES, 0);
    put_calendar(rec + 44 + 7 * CALENDAR_BYTES, 0);
}

uint32_t record_header_sectors(kx_driver* pdp, uint32_t first_clus, const kx_dir_item* first,
                               uint64_t record_sectors) {
    if (first->head_sectors != 0) return first->head_sectors;
    return kxii_header_sectors(pdp, first_clus, record_sectors);
}
