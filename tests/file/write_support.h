// Volumes, write handles and record read-back for the writer's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "DiskIOCtl.h"
#include "file/file.h"
#include "kxtime.h"
#include "meta/meta.h"
#include "platform/clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "volume/volume.h"

namespace write_test {

constexpr uint64_t PART_START = 2048;

// Size of a small partition whose recording ring holds `ring` clusters: below
// 49,152 clusters the areas end at sector 6656, and the reserved clusters
// just cover the 16,384-sector user-data area.
inline uint64_t part_sectors(uint32_t spc, uint32_t ring) { return 6656 + (uint64_t)(16384 / spc + ring) * spc; }

// One sparse disk with partitions of the given sizes laid end to end, each
// formatted with `spc` sectors per cluster and mounted by the library's
// start-up. The fake clock starts at `start` (tick 1,000,000).
struct Volume {
    LogCapture log;
    TempDir dir;
    std::string image;
    int count = 0;

    Volume(const std::vector<uint64_t>& part_sectors, uint32_t spc, bool fs_adapt, const pc_local_time& start) {
        uint64_t end = PART_START;
        kx_partition parts[4] = {};
        for (size_t i = 0; i < part_sectors.size() && i < 4; i++) {
            parts[i] = {end, part_sectors[i]};
            end += part_sectors[i];
        }
        image = make_sparse_image(dir.file("disk0.img"), end + 64);
        use_disks({image});
        pc_clock_set_fake(start, 1000000);
        init_buf_pool();
        EXPECT_EQ(0, kx_write_partitions(0, parts));
        for (size_t i = 0; i < part_sectors.size(); i++) EXPECT_EQ(0, kx_format_driver(0, (int)i, spc));
        kx_set_fs_adapt(fs_adapt ? 1 : 0);
        packed_time shutdown = 0;
        EXPECT_EQ(0, kx_file_sys_init(&count, &shutdown));
        EXPECT_EQ((int)part_sectors.size(), count);
    }
    ~Volume() { pc_clock_use_real(); }

    // The library's start-up again over the same disk, as a host would after
    // a restart: the volume is read back from the disk alone.
    void remount() {
        packed_time shutdown = 0;
        EXPECT_EQ(0, kx_file_sys_init(&count, &shutdown));
    }

    kx_driver* pdp(int part = 0) const { return get_pdp(0, part); }
};

// A free entry of the handle table, zeroed and stamped with the current
// generation, as the path adapter hands them out.
inline KXFILE take_handle() {
    for (kx_file& f : file_table) {
        if (f.state != FILE_FREE) continue;
        f = kx_file{};
        f.generation = file_generation;
        return &f;
    }
    ADD_FAILURE() << "handle table full";
    return nullptr;
}

inline KXFILE open_writer(uint8_t channel, uint8_t media_type = 2, uint8_t record_kind = 0, uint8_t img = 2,
                          int type = 0, KXFILE mirror = nullptr) {
    KXFILE h = take_handle();
    packed_time now;
    get_local_time(&now);
    file_write_setup(h, channel, media_type, record_kind, img, now, type, mirror);
    return h;
}

// Deterministic bytes of record `rec` of channel `ch` from byte `offset` on.
inline std::vector<uint8_t> pattern(uint32_t ch, uint32_t rec, uint64_t offset, size_t bytes) {
    std::vector<uint8_t> out(bytes);
    for (size_t i = 0; i < bytes; i++) {
        uint64_t x = offset + i;
        out[i] = (uint8_t)((x * 131) ^ (x >> 9) ^ (ch * 29) ^ (rec * 71));
    }
    return out;
}

// A record as the writer left it: a stream is split into several when it is
// packed, when the volume fills up or after a failed write.
struct Segment {
    kx_driver* pdp;
    uint32_t first;
    uint64_t offset;  // of its first byte in the stream
    uint64_t bytes = 0;
    packed_time start;
    packed_time last;  // time of its last write
    std::vector<uint32_t> clusters;  // complete when no write crosses two cluster boundaries
};

inline packed_time now_packed();

// One recording of a channel written through a write handle; its bytes are
// pattern(ch, id, offset) along the stream.
struct Stream {
    uint32_t ch;
    uint32_t id;
    KXFILE h;
    uint64_t offset = 0;
    std::vector<Segment> segs;

    Stream(uint32_t channel, uint32_t stream_id, KXFILE handle) : ch(channel), id(stream_id), h(handle) {}

    int write(uint32_t sectors) {
        std::vector<uint8_t> data = pattern(ch, id, offset, (size_t)sectors * 512);
        int r = kx_file_write(h, data.data(), sectors);
        if (r) return r;
        packed_time now = now_packed();
        // No first cluster after a write: a pack finished the record that the
        // write went into.
        const bool packed = h->first_cluster == 0;
        if (!packed && (segs.empty() || h->first_cluster != segs.back().first || h->pdp != segs.back().pdp))
            segs.push_back(Segment{h->pdp, h->first_cluster, offset, 0, now, now, {}});
        Segment& s = segs.back();
        s.bytes += (uint64_t)sectors * 512;
        s.last = now;
        if (!packed && (s.clusters.empty() || s.clusters.back() != h->cur_clus)) s.clusters.push_back(h->cur_clus);
        offset += (uint64_t)sectors * 512;
        return 0;
    }
    void close() { EXPECT_EQ(0, kx_file_close(h)); }
};

inline packed_time now_packed() {
    packed_time t;
    get_local_time(&t);
    return t;
}

inline packed_time at(int y, int mo, int d, int h, int mi, int s) { return make_packed_time(y, mo, d, h, mi, s); }

inline kx_dir_item item_of(kx_driver* pdp, uint32_t clus) {
    kx_dir_item it{};
    EXPECT_EQ(0, get_dir_item_info(pdp, clus, &it));
    return it;
}

inline uint8_t index_of(kx_driver* pdp, uint32_t clus) {
    uint8_t b = 0;
    EXPECT_EQ(0, get_index_item_info(pdp, clus, &b));
    return b;
}

// The record that starts at `first`, read whole through the file layer's
// reader.
inline std::vector<uint8_t> read_record(int part, uint32_t first) {
    KXFILE h = take_handle();
    h->state = FILE_READING;
    std::vector<uint8_t> out;
    if (kx_file_goto_clus(h, 0, part, first) == 0) {
        uint32_t sectors = 0;
        EXPECT_EQ(0, kx_file_get_sectors(h, &sectors));
        out.resize((size_t)sectors * 512);
        if (sectors) {
            EXPECT_EQ(0, kx_file_read(h, out.data(), sectors));
        }
    } else {
        ADD_FAILURE() << "no record at cluster " << first;
    }
    kx_file_close(h);
    return out;
}

// Whether a segment reads back whole and unchanged through the reader.
inline ::testing::AssertionResult reads_back(const Stream& s, const Segment& g) {
    std::vector<uint8_t> want = pattern(s.ch, s.id, g.offset, (size_t)g.bytes);
    std::vector<uint8_t> got = read_record((int)g.pdp->part, g.first);
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << "record at " << g.first << ": " << got.size() << " bytes, want "
                                             << want.size();
    for (size_t i = 0; i < want.size(); i++)
        if (got[i] != want[i])
            return ::testing::AssertionFailure() << "record at " << g.first << " differs at byte " << i;
    return ::testing::AssertionSuccess();
}

// A channel's records from time t on, as (partition, first cluster), in the
// order the search by time gives them (as a channel listing walks them).
inline std::vector<std::pair<uint32_t, uint32_t>> list_channel(kx_driver* pdp, uint8_t ch, packed_time t) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    KXFILE h = take_handle();
    h->state = FILE_READING;
    h->pdp = pdp;
    if (kx_file_open_by_time(h, ch, t, 2, 0, 255, 255, 0) == 0) {
        for (size_t guard = 0; guard < 100000; guard++) {
            uint32_t c = kx_file_find_next(h, ch, t, 0, 255);
            if (c == 0) break;
            out.emplace_back(h->pdp->part, c);
        }
    }
    kx_file_close(h);
    return out;
}

}  // namespace write_test
