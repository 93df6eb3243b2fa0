// The sample-disk maker. A preset is a disk size, a partition table (each
// partition formatted with its cluster size) and a schedule of recordings.
// The schedule is played back against a fake PC clock: every recording is a
// record file opened on its partition through the path adapter ("wb"), fed
// with pieces of its pattern as the time passes, and closed. Recordings of
// several channels overlap, so their clusters interleave as on a recorder.
// When a partition is full the adapter refuses the write ("disk over"); the
// maker then does what a recorder in single-driver mode does: it closes the
// record, restarts the partition's recording ring by writing the partition
// summary, and goes on in a new record.
#include "mkdisk.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "DiskIOCtl.h"
#include "adapt/adapt.h"
#include "disk.h"
#include "kxtime.h"
#include "meta/meta.h"
#include "mkvideo.h"
#include "platform/clock.h"
#include "volume/volume.h"

namespace {

constexpr uint32_t KIB = 1024;
constexpr uint32_t MIB = 1024 * KIB;
// Bytes a record's data comes in: the adapter pads a record's last sectors to
// an even count, so whole KiB keep every record exactly its pattern.
constexpr uint32_t DATA_UNIT = KIB;
// The header room the adapter reserves at the start of every new record.
constexpr uint32_t HEADER_BYTES = 0x40000;
// A partition with fewer clusters left than this after a refused write is
// full; otherwise the refusal is a failure.
constexpr uint32_t FULL_MARGIN = 8;

struct part_spec {
    uint64_t start;
    uint64_t sectors;
    uint32_t spc;
};

// One recording of the schedule. Times are seconds since 2000-01-01 00:00:00
// in the recorder's local calendar.
struct recording {
    int part;
    int channel;  // from 1
    char kind;    // record-kind letter of its file name: R, A, M, C or H
    int32_t start;
    uint32_t seconds;
    uint64_t bytes;  // a multiple of DATA_UNIT
    uint32_t piece;  // bytes per write, a multiple of DATA_UNIT
    bool video = false;  // the data is footage (made before playback), not the pattern
    const std::vector<uint8_t>* footage = nullptr;  // then: its bytes, padded to DATA_UNIT
};

struct preset {
    const char* name;
    const char* about;
    uint64_t disk_sectors;
    std::vector<part_spec> parts;
    std::vector<recording> (*schedule)(void);
};

int32_t at(int y, int mo, int d, int h, int mi) { return time_seconds(make_packed_time(y, mo, d, h, mi, 0)); }

// A recording of `minutes` at `rate` bytes per second.
recording timed(int part, int channel, char kind, int32_t start, uint32_t minutes, uint32_t rate, uint32_t piece) {
    uint64_t bytes = (uint64_t)minutes * 60 * rate / DATA_UNIT * DATA_UNIT;
    return {part, channel, kind, start, minutes * 60, bytes > DATA_UNIT ? bytes : DATA_UNIT, piece};
}

const char KINDS[] = "RAMCH";

// Three days of channels 1 and 2 on partition 0, one recording across
// midnight; partition 1 gets channel 5's motion recordings, more than its
// ring holds.
std::vector<recording> sample_schedule(void) {
    struct slot {
        int channel;
        char kind;
        int hour, minute, minutes;
    };
    const slot day[] = {{1, 'R', 7, 30, 45}, {2, 'M', 7, 45, 20}, {1, 'M', 12, 5, 8},
                        {2, 'C', 13, 0, 5},  {1, 'A', 18, 40, 60}, {2, 'H', 21, 10, 35}};
    std::vector<recording> out;
    for (int d = 3; d <= 5; d++)
        for (const slot& s : day)
            out.push_back(timed(0, s.channel, s.kind, at(2024, 6, d, s.hour, s.minute), s.minutes, KIB, 32 * KIB));
    out.push_back(timed(0, 1, 'R', at(2024, 6, 3, 23, 30), 70, KIB, 32 * KIB));
    for (int d = 1; d <= 5; d++)
        for (int k = 0; k < 10; k++)
            out.push_back(timed(1, 5, k % 3 == 0 ? 'A' : 'M', at(2024, 6, d, 6 + k, (k * 7) % 60), 10, KIB, 32 * KIB));
    return out;
}

// Four 20-second recordings of real footage, on channels 1 and 2.
std::vector<recording> video_schedule(void) {
    std::vector<recording> out;
    for (int k = 0; k < 4; k++) {
        recording r = timed(0, 1 + k % 2, 'R', at(2024, 6, 3, 18, 10 * k), 1, KIB, 32 * KIB);
        r.seconds = 20;
        r.video = true;
        out.push_back(r);
    }
    return out;
}

std::vector<recording> bench_copy_schedule(void) {
    return {{0, 1, 'R', at(2024, 6, 10, 10, 0), 2048, 2048ull * MIB, MIB}};
}

// Forty days of eight channels, eight short recordings per channel and day.
std::vector<recording> bench_list_schedule(void) {
    std::vector<recording> out;
    const int32_t first = at(2024, 1, 1, 0, 0);
    for (int d = 0; d < 40; d++)
        for (int k = 0; k < 8; k++)
            for (int ch = 1; ch <= 8; ch++) {
                const int32_t start = first + d * 86400 + k * 3 * 3600 + (ch - 1) * 7 * 60 + ((d * 13 + k * 5 + ch) % 40) * 60;
                const uint32_t seconds = (uint32_t)((d + k + ch) % 9 + 2) * 60;
                out.push_back({0, ch, KINDS[(d + k + ch) % 5], start, seconds, 32 * KIB, 32 * KIB});
            }
    return out;
}

// Small enough for tests: channels 1 and 2 on partition 0 (one recording
// across midnight), channel 5 on partition 1 whose ring restarts.
std::vector<recording> tiny_schedule(void) {
    std::vector<recording> out = {
        timed(0, 1, 'R', at(2024, 2, 28, 23, 50), 20, 256, 8 * KIB),
        timed(0, 2, 'M', at(2024, 2, 29, 8, 0), 5, 256, 8 * KIB),
        timed(0, 1, 'A', at(2024, 2, 29, 9, 0), 3, 256, 8 * KIB),
    };
    for (int k = 0; k < 12; k++) out.push_back(timed(1, 5, KINDS[k % 5], at(2024, 3, 1, 10 + k, 0), 4, 256, 8 * KIB));
    return out;
}

const std::vector<preset>& preset_table(void) {
    static const std::vector<preset> table = {
        {"sample",
         "the demo disk: 1.5 GiB; partition 0 with three days of channels 1 and 2 (one recording across "
         "midnight), partition 1 with channel 5 over five days and a restarted ring",
         3145728, {{2048, 2949120, 4096}, {2951168, 98304, 128}}, sample_schedule},
        {"bench-copy", "one recording of 2 GiB on channel 1 (for a copy benchmark)", 8650752,
         {{2048, 8648704, 4096}}, bench_copy_schedule},
        {"bench-list",
         "full-size geometry (976,773,168 sectors, one partition over the whole disk, 4096 sectors per "
         "cluster) with 2,560 short records of eight channels over forty days",
         976773168, {{0, 976773168, 4096}}, bench_list_schedule},
        {"video",
         "64 MiB; four 20-second recordings of H.264 footage in an MPEG program stream that shows its own date "
         "and time (channels 1 and 2, 2024-06-03 from 18:00; needs a build with media support)",
         2048 + 131072, {{2048, 131072, 64}}, video_schedule},
        {"tiny", "a few MiB, for tests: channels 1 and 2 on partition 0, channel 5 on partition 1 with a restarted ring",
         2048 + 40960 + 29440 + 64, {{2048, 40960, 16}, {2048 + 40960, 29440, 16}}, tiny_schedule},
    };
    return table;
}

// --------------------------------------------------------------- playback

// Bytes of a recording's footage from `offset` on; zeros past its end (a
// record restarted on a full partition goes on from its start again).
void footage_bytes(const std::vector<uint8_t>& footage, uint64_t offset, uint8_t* out, size_t n) {
    const size_t from = (size_t)std::min<uint64_t>(offset, footage.size());
    const size_t k = std::min(n, footage.size() - from);
    memcpy(out, footage.data() + from, k);
    memset(out + k, 0, n - k);
}

struct stream {
    const recording* rec;
    KXFILE h = nullptr;
    packed_time key = 0;  // start of the open record
    uint64_t offset = 0;  // bytes of the open record so far
    uint64_t left = 0;    // bytes of the recording still to write
};

struct maker {
    mkdisk_report* report;
    std::string* error;
    int32_t now = 0;  // seconds, the fake clock's time
    std::unique_ptr<uint8_t[], decltype(&free)> buf{nullptr, &free};
    size_t buf_size = 0;

    bool fail(const std::string& what) {
        *error = what;
        return false;
    }

    void advance_to(int32_t t) {
        if (t > now) pc_clock_advance_ms((uint64_t)(t - now) * 1000);
        now = t > now ? t : now;
    }

    mkdisk_partition_report& part_report(int part) { return report->parts[(size_t)part]; }

    bool open_record(stream& s) {
        const recording& r = *s.rec;
        const packed_time t = seconds_to_time(now);
        char path[128];
        snprintf(path, sizeof path, "/mnt/idea%d/%04u-%02u-%02u/%03d/%02u.%02u.%02u-%02u.%02u.%02u[%c][@0][0].mvr", r.part,
                 pt_year(t) + 2000, pt_month(t), pt_day(t), r.channel, pt_hour(t), pt_minute(t), pt_second(t),
                 pt_hour(t), pt_minute(t), pt_second(t), r.kind);
        s.h = kx_fopen(path, "wb");
        if (s.h == nullptr) return fail(std::string("cannot open ") + path + " for writing");
        s.key = t;
        s.offset = 0;
        return true;
    }

    // The record header a recorder puts at the start of its first cluster:
    // "KXII" and the header length.
    void stamp_header(const stream& s) {
        alignas(512) uint8_t sector[SECTOR_SIZE] = {'K', 'X', 'I', 'I'};
        put_le32(sector + 4, HEADER_BYTES);
        disk_write(s.h->pdp->disk_no, 1, clus_sector(s.h->pdp, s.h->first_cluster), sector);
    }

    bool close_record(stream& s) {
        if (s.h->first_cluster != 0) stamp_header(s);
        const int r = kx_fclose(s.h);
        s.h = nullptr;
        return r == 0 || fail("closing a record failed");
    }

    // Restarts the partition's recording ring as a recorder host does in
    // single-driver mode: it writes back the partition summary with span 1
    // unset and span 2 holding the pass that just ended.
    bool restart_ring(int part) {
        kx_driver* pdp = get_pdp(0, part);
        char path[48];
        snprintf(path, sizeof path, "/mnt/idea%d/DVRWorkDirectory", part);
        KXFILE f = kx_fopen(path, "wb");
        if (f == nullptr || pdp == nullptr) return fail(std::string("cannot open ") + path);
        uint8_t rec[SUMMARY_RECORD_BYTES];
        bool ok = kx_fread(rec, sizeof rec, 1, f) == 1;
        if (ok) {
            memcpy(rec + 172, rec + 108, 64);  // span 2 = span 1
            const uint32_t unset[8] = {2000, 1, 1, 0, 0, 0, 0, 0};  // the calendar of an unset time
            for (size_t off : {44, 76, 108, 140})
                for (int i = 0; i < 8; i++) put_le32(rec + off + 4 * i, unset[i]);
            const uint8_t before = pdp->fill_count;
            ok = kx_fwrite(rec, sizeof rec, 1, f) == 1 && pdp->fill_count != before;
        }
        kx_fclose(f);
        if (!ok) return fail(std::string("restarting the ring of partition ") + std::to_string(part) + " failed");
        part_report(part).restarts++;
        return true;
    }

    bool partition_full(int part) {
        const kx_driver* pdp = get_pdp(0, part);
        return pdp != nullptr && pdp->current_cluster + FULL_MARGIN >= pdp->total_clus;
    }

    uint8_t* pattern_buf(size_t n) {
        if (n > buf_size) {
            buf.reset(static_cast<uint8_t*>(aligned_alloc(SECTOR_SIZE, (n + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE)));
            buf_size = buf ? n : 0;
        }
        return buf.get();
    }

    bool write_piece(stream& s, uint64_t bytes) {
        for (int attempt = 0; attempt < 2; attempt++) {
            uint8_t* p = pattern_buf(bytes);
            if (p == nullptr) return fail("out of memory");
            if (s.rec->footage != nullptr) footage_bytes(*s.rec->footage, s.offset, p, bytes);
            else mkdisk_pattern(s.rec->channel, s.key, s.offset, p, bytes);
            const size_t put = kx_fwrite(p, 1, bytes, s.h);
            s.offset += put;
            if (put == bytes) {
                s.left -= bytes;
                return true;
            }
            if (put != 0 || !partition_full(s.rec->part)) return fail("a record write was refused");
            // The partition is full: this record ends here, the recording
            // goes on in a new one once the ring has restarted.
            if (!close_record(s) || !restart_ring(s.rec->part) || !open_record(s)) return false;
        }
        return fail("a restarted ring refused a write");
    }
};

// Encodes the footage of the schedule's video recordings into `store` (one
// slot per recording) and sizes each recording to its footage.
bool make_footage(std::vector<recording>& schedule, std::vector<std::vector<uint8_t>>& store, std::string* error) {
    store.assign(schedule.size(), {});
    for (size_t i = 0; i < schedule.size(); i++) {
        recording& r = schedule[i];
        if (!r.video) continue;
        if (!mkdisk_video(seconds_to_time(r.start), r.seconds, &store[i], error)) return false;
        store[i].resize((store[i].size() + DATA_UNIT - 1) / DATA_UNIT * DATA_UNIT, 0);
        r.bytes = store[i].size();
        r.footage = &store[i];
    }
    return true;
}

// One event of the playback: a recording opens (piece -1), writes a piece,
// or closes (piece = its number of pieces).
struct event {
    int32_t t;
    size_t stream;
    int64_t piece;
    bool operator<(const event& o) const {
        return t != o.t ? t < o.t : stream != o.stream ? stream < o.stream : piece < o.piece;
    }
};

std::vector<event> playback_events(const std::vector<recording>& schedule) {
    std::vector<event> out;
    for (size_t i = 0; i < schedule.size(); i++) {
        const recording& r = schedule[i];
        const int64_t pieces = (int64_t)((r.bytes + r.piece - 1) / r.piece);
        out.push_back({r.start, i, -1});
        // Pieces are spread evenly over the recording, the first at its start.
        for (int64_t k = 0; k < pieces; k++) out.push_back({r.start + (int32_t)(k * r.seconds / pieces), i, k});
        out.push_back({r.start + (int32_t)r.seconds, i, pieces});
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool play(maker& m, const std::vector<recording>& schedule) {
    std::vector<stream> streams(schedule.size());
    for (size_t i = 0; i < schedule.size(); i++) {
        streams[i].rec = &schedule[i];
        streams[i].left = schedule[i].bytes;
    }
    for (const event& e : playback_events(schedule)) {
        m.advance_to(e.t);
        stream& s = streams[e.stream];
        if (e.piece < 0) {
            if (!m.open_record(s)) return false;
        } else if (s.left == 0) {
            if (!m.close_record(s)) return false;
        } else if (!m.write_piece(s, s.left < s.rec->piece ? s.left : s.rec->piece)) {
            return false;
        }
    }
    return true;
}

// ----------------------------------------------------------- the volumes

bool make_sparse(const std::string& path, uint64_t sectors, std::string* error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        *error = "cannot create " + path;
        return false;
    }
    const bool ok = ftruncate(fd, (off_t)(sectors * SECTOR_SIZE)) == 0;
    close(fd);
    if (!ok) *error = "cannot size " + path;
    return ok;
}

// Partition table and format through the library, then its start-up.
bool make_volumes(const preset& p, std::string* error) {
    int count = 0;
    packed_time shutdown = 0;
    kx_set_fs_adapt(1);
    kx_file_sys_init(&count, &shutdown);  // a blank disk: no volume yet
    kx_partition table[4] = {};
    for (size_t i = 0; i < p.parts.size(); i++) table[i] = {p.parts[i].start, p.parts[i].sectors};
    if (kx_write_partitions(0, table) != 0) {
        *error = "writing the partition table failed";
        return false;
    }
    for (size_t i = 0; i < p.parts.size(); i++) {
        if (kx_format_driver(0, (int)i, p.parts[i].spc) != 0) {
            *error = "formatting partition " + std::to_string(i) + " failed";
            return false;
        }
    }
    if (kx_file_sys_init(&count, &shutdown) != 0 || count != (int)p.parts.size()) {
        *error = "the new volumes do not mount";
        return false;
    }
    return true;
}

// What a partition holds, as the library lists it: its days, and the
// records of the channels that were recorded (a record across midnight is
// listed under both days and counted once).
void survey(mkdisk_partition_report* p, const std::set<int>& channels) {
    char root[32];
    snprintf(root, sizeof root, "/mnt/idea%d", p->part);
    kx_find_record rec;
    intptr_t h = kx_findfirst(root, &rec);
    if (h == -1) return;
    std::vector<std::string> days;
    do days.push_back(rec.name);
    while (kx_findnext(h, &rec) == 0);
    kx_findclose(h);

    std::set<std::string> seen;
    for (const std::string& day : days) {
        for (int ch : channels) {
            char path[80];
            snprintf(path, sizeof path, "%s/%s/%03d/*", root, day.c_str(), ch);
            h = kx_findfirst(path, &rec);
            if (h == -1) continue;
            p->days.insert(day);
            p->channels.insert(ch);
            do {
                if (!seen.insert(std::to_string(ch) + "/" + rec.name).second) continue;
                p->records++;
                p->data_bytes += rec.size;
            } while (kx_findnext(h, &rec) == 0);
            kx_findclose(h);
        }
    }
}

const preset* find_preset(const std::string& name) {
    for (const preset& p : preset_table())
        if (name == p.name) return &p;
    return nullptr;
}

}  // namespace

const std::vector<mkdisk_preset_info>& mkdisk_presets(void) {
    static const std::vector<mkdisk_preset_info> list = [] {
        std::vector<mkdisk_preset_info> out;
        for (const preset& p : preset_table()) out.push_back({p.name, p.about});
        return out;
    }();
    return list;
}

void mkdisk_pattern(int channel, packed_time start, uint64_t offset, uint8_t* out, size_t n) {
    const uint64_t salt = (uint64_t)channel * 29 ^ (uint64_t)time_seconds(start) * 71;
    for (size_t i = 0; i < n; i++) {
        const uint64_t x = offset + i;
        out[i] = (uint8_t)((x * 131) ^ (x >> 9) ^ salt);
    }
}

int mkdisk_make(const std::string& name, const std::string& image, mkdisk_report* report, std::string* error) {
    const preset* p = find_preset(name);
    if (p == nullptr) {
        *error = "unknown preset " + name;
        return 1;
    }
    *report = mkdisk_report{};
    report->preset = name;
    report->image = image;
    report->disk_sectors = p->disk_sectors;
    if (!make_sparse(image, p->disk_sectors, error)) return 1;
    ide_set_read_only(false);
    ide_set_disk_paths({image});
    ide_init();
    if (ide_disk_path(0) != image || ide_disk_is_read_only(0)) {
        *error = "cannot open " + image + " for writing";
        return 1;
    }

    std::vector<recording> schedule = p->schedule();
    std::vector<std::vector<uint8_t>> footage;
    if (!make_footage(schedule, footage, error)) return 1;
    int32_t begin = schedule.front().start;
    for (const recording& r : schedule) begin = r.start < begin ? r.start : begin;
    const packed_time first = seconds_to_time(begin);
    pc_clock_set_fake({(int)pt_year(first) + 2000, (int)pt_month(first), (int)pt_day(first), (int)pt_hour(first),
                       (int)pt_minute(first), (int)pt_second(first)},
                      0);
    bool ok = make_volumes(*p, error);
    maker m{report, error};
    m.now = begin;
    for (size_t i = 0; i < p->parts.size(); i++) {
        mkdisk_partition_report r;
        r.part = (int)i;
        r.start = p->parts[i].start;
        r.sectors = p->parts[i].sectors;
        r.sector_per_clus = p->parts[i].spc;
        report->parts.push_back(r);
    }
    ok = ok && play(m, schedule);
    // Bring every descriptor up to date on the disk, as the recorder does
    // now and then while it records (with section 2's start time, which the
    // writer leaves to the next mount), so that mounting finds nothing to
    // repair.
    for (mkdisk_partition_report& r : report->parts) {
        kx_driver* pdp = get_pdp(0, r.part);
        if (pdp == nullptr) continue;
        refresh_start_time2(pdp);
        save_pdp(pdp);
        r.section2 = pdp->start_cluster2 != 0;
        std::set<int> channels;
        for (const recording& rec : schedule)
            if (rec.part == r.part) channels.insert(rec.channel);
        if (ok) survey(&r, channels);
    }
    pc_clock_use_real();
    return ok ? 0 : 1;
}
