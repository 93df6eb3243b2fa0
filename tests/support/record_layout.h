// Recorder volumes with recordings on them, for the tests of everything that
// reads, searches or writes records.
//
// RecordLayout replays the library calls of the recorder's writer (cluster
// search mode 1 over bad clusters, driver_full on a full ring, make_dir_item,
// links, index bytes, the first item kept current, update_write_time), with
// the fake PC clock set to the moment of each step, so that items, index
// bytes, same-second numbers, time sections, collisions and the descriptor
// agree as on a recorder's disk. After write() the clock stands at the last
// moment laid out.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "file/file.h"
#include "support/test_volume.h"

// One recording. Times are the recorder's packed local times.
struct layout_record {
    uint8_t channel = 0;      // 0-63
    packed_time start = 0;    // 0: the PC clock's current time
    packed_time end = 0;      // 0: start plus one second per cluster
    uint32_t clusters = 1;    // clusters in the record's chain (at least 1)
    uint16_t end_length = 0;  // data sectors of the last cluster; 0: a full cluster
    uint8_t media_type = 2;   // 2 video, 0 picture
    uint8_t record_kind = 0;
    uint16_t head_sectors = 0;  // header word stored in every item
    uint32_t kxii_bytes = 0;    // nonzero: data begins with "KXII" and this header length
    bool write_data = true;     // write the record's pattern into its sectors
    bool open = false;          // still being written: last down link all ones

    std::vector<uint32_t> chain{};  // filled in by RecordLayout::write, in chain order
};

layout_record make_record(uint8_t channel, packed_time start, packed_time end, uint32_t clusters = 1,
                          uint16_t end_length = 0);

class RecordLayout {
   public:
    explicit RecordLayout(kx_driver* pdp) : m_pdp(pdp) {}

    // Lays out records recorded at the same time: their clusters are taken
    // in order of time, interleaved as the writer interleaves them, and each
    // record is finished at its end time. Successive calls continue on the
    // volume; times before the previous call's make a time collision, as a
    // clock set back does. Saves the descriptor at the end.
    void write(std::vector<layout_record>& batch);
    // One record on its own; returns its first cluster.
    uint32_t write(layout_record& rec);

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

// One disk with one partition of `sectors` at sector 2048, formatted with
// `spc` sectors per cluster and mounted, in single-driver mode or not, with
// the fake clock at `start` (2009-06-01 00:00 when 0; tick 1,000,000).
struct LayoutVolume : TestDisks {
    explicit LayoutVolume(uint64_t sectors = 65536, uint32_t spc = 16, bool fs_adapt = true,
                          packed_time start = 0);
    kx_driver* pdp() const { return get_pdp(0, 0); }
    // The library's start-up again, log kept: every handle goes stale.
    void remount();
};

// A free entry of the handle table, as the path adapter hands entries out
// (zeroed, current generation), set up for reading on `pdp`.
KXFILE read_handle(kx_driver* pdp);

// How often `what` occurs in `text` (a captured log, say).
size_t count_of(const std::string& text, const std::string& what);

kx_dir_item item_of(kx_driver* pdp, uint32_t clus);
// A channel's records from time t on by first cluster, in the order
// kx_file_find_next gives them after a forward search from `pdp`.
std::vector<uint32_t> list_channel(kx_driver* pdp, uint8_t ch, packed_time t);

// Through the path adapter: a folder's listing (empty when it fails), and a
// file read to its end with requests whose sizes cycle through `sizes`.
std::vector<kx_find_record> listing(const std::string& path);
std::vector<std::string> names(const std::string& path);
std::vector<uint8_t> read_all(KXFILE f, const std::vector<size_t>& sizes);
std::vector<uint8_t> read_path(const std::string& path, const std::vector<size_t>& sizes = {1 << 16});
