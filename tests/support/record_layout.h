// Recorder volumes with recordings on them, for the tests of everything that
// reads, searches or writes records.
//
// RecordLayout lays recordings out the way the recorder's writer leaves them.
// The writer takes clusters one at a time from the recording head (cluster
// search mode 1, which steps over bad clusters and stamps them), builds each
// directory item with make_dir_item at the moment the cluster is taken, links
// the previous cluster down to it, writes the cluster index byte, keeps the
// record's first item current (item_num, end_length, end time) and moves the
// write position with set_current_cluster; a clock that goes back is seen by
// update_write_time (a time collision), and a full ring restarts with
// driver_full. RecordLayout replays exactly those library calls, with the PC
// clock (the fake clock) set to the moment of each step, so that items, index
// bytes, same-second numbers, time sections, collisions and the descriptor
// agree as they would on a recorder's disk. After write() the fake clock
// stands at the last moment laid out.
//
// Stream writes a recording through the file layer's writer itself and notes
// the records it became, for the writer's own tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "file/file.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

// One recording. Times are the recorder's packed local times.
struct layout_record {
    uint8_t channel = 0;      // 0-63
    packed_time start = 0;    // 0: the PC clock's current time
    packed_time end = 0;      // 0: start plus one second per cluster
    uint32_t clusters = 1;    // clusters in the record's chain (at least 1)
    uint16_t end_length = 0;  // data sectors of the last cluster; 0: a full cluster
    uint8_t media_type = 2;   // 2 video, 0 picture
    uint8_t record_kind = 0;
    uint8_t img = 2;
    bool resumed = false;       // first item_type 3 and clus_type 1 (a resumed stream)
    bool open = false;          // still being written: last down link all ones
    uint16_t head_sectors = 0;  // header word stored in every item
    uint32_t kxii_bytes = 0;    // nonzero: data begins with "KXII" and this header length
    bool write_data = true;     // write the record's pattern into its sectors

    // Filled in by RecordLayout::write.
    std::vector<uint32_t> chain;  // clusters of the record in chain order
    uint8_t seq = 0;              // same_second_seq of the first item
};

layout_record make_record(uint8_t channel, packed_time start, packed_time end, uint32_t clusters = 1,
                          uint16_t end_length = 0);

class RecordLayout {
   public:
    explicit RecordLayout(kx_driver* pdp) : m_pdp(pdp) {}

    // Lays out records that were recorded at the same time (one per channel,
    // say): their clusters are taken in order of time, interleaved as the
    // writer interleaves concurrent records; a record ends (its items are
    // finished) at its end time. Successive calls continue on the volume;
    // a call whose times lie before the previous call's makes a time
    // collision, as a clock set back does. Saves the descriptor at the end.
    void write(std::vector<layout_record>& batch);
    // One record on its own; returns its first cluster.
    uint32_t write(layout_record& rec);

    // Marks a cluster bad (index clus_type 3, keeping `channel` in the index
    // byte as a failed write does); the writer steps over it from then on.
    void mark_bad(uint32_t clus, uint8_t channel);

    // Sectors of a laid-out record (what its first item's length says).
    uint32_t sectors(const layout_record& rec) const;

   private:
    kx_driver* m_pdp;
};

// Deterministic bytes at offset `off` of the stream numbered `seed`.
void pattern_bytes(uint64_t seed, uint64_t off, uint8_t* buf, size_t len);
// The bytes laid out at byte offset `off` of a record (its pattern, with the
// "KXII" header in front when the record has one).
std::vector<uint8_t> layout_expected(const layout_record& rec, uint64_t off, size_t len);

// Sectors of a partition whose recording ring holds `ring` clusters: below
// 49,152 clusters the areas end at sector 6656, and the reserved clusters
// just cover the 16,384-sector user-data area.
inline uint64_t ring_part_sectors(uint32_t spc, uint32_t ring) {
    return 6656 + (uint64_t)(16384 / spc + ring) * spc;
}

// A temporary folder holding one sparse disk with partitions of the given
// sizes laid end to end from sector 2048, each formatted with `spc` sectors
// per cluster and mounted by the library's start-up, in single-driver mode
// or not, with the fake clock at `start` (tick 1,000,000). The library's
// messages go to `log`. The destructor puts the real clock back.
struct LayoutVolume {
    LogCapture log;
    TempDir dir;
    std::string image;
    int count = 0;

    explicit LayoutVolume(const std::vector<uint64_t>& part_sectors = {65536}, uint32_t spc = 16,
                          bool fs_adapt = true, packed_time start = 0);
    ~LayoutVolume();
    LayoutVolume(const LayoutVolume&) = delete;
    LayoutVolume& operator=(const LayoutVolume&) = delete;

    kx_driver* pdp(int part = 0) const { return get_pdp(0, part); }
    // The library's start-up again over the same disk, as after a restart:
    // the volume is read back from the disk alone, every handle goes stale.
    void remount();
};

// A free entry of the handle table, as the path adapter hands entries out
// (zeroed, current generation), set up for reading on `pdp`.
KXFILE read_handle(kx_driver* pdp);

// How often `what` occurs in `text` (a captured log, say).
size_t count_of(const std::string& text, const std::string& what);

kx_dir_item item_of(kx_driver* pdp, uint32_t clus);
// A channel's records from time t on as (partition, first cluster), in the
// order kx_file_find_next gives them after a forward search from `pdp`.
std::vector<std::pair<uint32_t, uint32_t>> list_channel(kx_driver* pdp, uint8_t ch, packed_time t);

// A record the writer made of a stream: a stream becomes several when it is
// packed, when the volume fills up or after a failed write.
struct Segment {
    kx_driver* pdp;
    uint32_t first;
    uint64_t offset;  // of its first byte in the stream
    uint64_t bytes;
    packed_time start;
    packed_time last;                // time of its last write
    bool resumed;                    // made by a resumed handle: a pack, a failed write, a restart
    std::vector<uint32_t> clusters;  // complete when no write crosses two cluster boundaries
};

// One recording of a channel written through a write handle (a video
// record of kind 0 and image type 2, on the work driver); its bytes are
// pattern_bytes(seed) along the stream.
struct Stream {
    uint8_t ch, media = 2, kind = 0, img = 2;
    uint64_t seed;
    KXFILE h;
    uint64_t offset = 0;
    std::vector<Segment> segs;

    Stream(uint8_t channel, uint32_t id);
    int write(uint32_t sectors);
    void close() { EXPECT_EQ(0, kx_file_close(h)); }
    // Whether segment `seg` is on the disk as the writer must leave it: a
    // chain of directory items of the stream's channel, kind, media and image
    // type, each naming the record's first cluster, its predecessor and its
    // number, with matching index bytes (a new or a resumed record's); the
    // first item with the record's start and
    // length, the last one closed; and the bytes read back unchanged.
    ::testing::AssertionResult on_disk(size_t seg) const;
};
