// Lays out recordings on a mounted volume the way the recorder's writer
// leaves them, for tests of everything that reads them back.
//
// The writer takes clusters one at a time from the recording head (cluster
// search mode 1, which steps over bad clusters and stamps them), builds each
// directory item with make_dir_item at the moment the cluster is taken, links
// the previous cluster down to it, writes the cluster index byte, keeps the
// record's first item current (item_num, end_length, end time) and moves the
// write position with set_current_cluster; a clock that goes back is seen by
// update_write_time (a time collision), and a full ring restarts with
// driver_full. RecordLayout replays exactly those library calls for the
// records it is given, with the PC clock (the fake clock) set to the moment
// of each step, so items, index bytes, same-second numbers, time sections,
// collisions and the descriptor agree as they would on a recorder's disk.
//
// Side effect: the fake clock is switched on and, after write(), stands at
// the last moment laid out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "file/file.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

// One recording. Times are the recorder's packed local times.
struct layout_record {
    uint8_t channel = 0;        // 0-63
    packed_time start = 0;      // 0: the PC clock's current time
    packed_time end = 0;        // 0: start plus one second per cluster
    uint32_t clusters = 1;      // clusters in the record's chain (at least 1)
    uint16_t end_length = 0;    // data sectors of the last cluster; 0: a full cluster
    uint8_t media_type = 2;     // 2 video, 0 picture
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

// The bytes laid out at byte offset `off` of a record (its data pattern, with
// the "KXII" header in front when the record has one).
void layout_expected(const layout_record& rec, uint64_t off, uint8_t* buf, size_t len);
std::vector<uint8_t> layout_expected(const layout_record& rec, uint64_t off, size_t len);

// A test volume: a temporary folder holding one sparse disk with one
// partition of `part_sectors` sectors (from sector 2048), formatted with
// `spc` sectors per cluster and mounted by the library's start-up (disk 0,
// partition 0). The library's messages go to `log`. The destructor puts the
// real clock back.
struct LayoutVolume {
    LogCapture log;
    TempDir dir;
    std::string image;
    kx_driver* pdp = nullptr;  // null after a test failure

    explicit LayoutVolume(uint64_t part_sectors = 65536, uint32_t spc = 16);
    ~LayoutVolume();
    LayoutVolume(const LayoutVolume&) = delete;
    LayoutVolume& operator=(const LayoutVolume&) = delete;
};

// A free entry of the handle table made a reading handle on `pdp`, as the
// path adapter hands entries out (zeroed, current generation, state 2).
KXFILE layout_read_handle(kx_driver* pdp);
