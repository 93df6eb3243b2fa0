// The writer on volumes that fill up: single-driver mode stops with
// "DISK OVER"; otherwise the recording ring restarts (or the next driver of
// the ring takes over) and recording goes on, with every record still on the
// volume readable and found by time, bad clusters stepped over and expired
// user data deleted. Also the split of a record whose cluster count would
// overflow its 16-bit item number.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <tuple>

#include "file/write_support.h"

using namespace write_test;

namespace {

constexpr uint32_t SPC = 8;

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// The streams of a test and which segment owns each cluster of each partition
// now: a segment is still whole on the volume while it owns all its clusters.
struct Recorder {
    std::vector<std::unique_ptr<Stream>> streams;
    std::map<std::pair<uint32_t, uint32_t>, std::pair<size_t, size_t>> owner;  // (part, cluster) -> (stream, segment)

    Stream& open(uint8_t ch) {
        uint32_t id = (uint32_t)streams.size();
        streams.push_back(std::make_unique<Stream>(ch, id, open_writer(ch)));
        return *streams.back();
    }
    // Writes and notes the cluster written; the writes are sized so that
    // cluster boundaries fall between them.
    int write(Stream& s, uint32_t sectors) {
        int r = s.write(sectors);
        if (r == 0) {
            const Segment& g = s.segs.back();
            owner[{g.pdp->part, g.clusters.back()}] = {(size_t)s.id, s.segs.size() - 1};
        }
        return r;
    }
    bool whole(const Stream& s, size_t seg) const {
        const Segment& g = s.segs[seg];
        for (uint32_t c : g.clusters) {
            auto it = owner.find({g.pdp->part, c});
            if (it == owner.end() || it->second != std::make_pair((size_t)s.id, seg)) return false;
        }
        return true;
    }
};

// Section 1 runs from the ring's start to the write position; what is left
// of the previous pass, while there is a section 2, from just after the
// write position to its end.
bool in_sections(const kx_driver* pdp, uint32_t clus) {
    if (clus >= pdp->rev_clus && clus <= pdp->current_cluster) return true;
    return pdp->start_cluster2 != 0 && clus > pdp->current_cluster && clus <= pdp->end_cluster2;
}

// The records a channel listing must give from t on: whole segments of the
// channel whose first cluster lies in a time section, by start time.
std::vector<std::pair<uint32_t, uint32_t>> expected_listing(const Recorder& rec, uint8_t ch) {
    std::vector<std::tuple<packed_time, uint32_t, uint32_t>> found;
    for (const auto& s : rec.streams) {
        if (s->ch != ch) continue;
        for (size_t i = 0; i < s->segs.size(); i++) {
            const Segment& g = s->segs[i];
            if (rec.whole(*s, i) && in_sections(g.pdp, g.first)) found.emplace_back(g.start, g.pdp->part, g.first);
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (auto& [t, part, first] : found) out.emplace_back(part, first);
    return out;
}

// Every record still whole on the volume reads back byte for byte.
void expect_whole_records_read_back(const Recorder& rec, size_t* checked) {
    *checked = 0;
    for (const auto& s : rec.streams)
        for (size_t i = 0; i < s->segs.size(); i++)
            if (rec.whole(*s, i)) {
                EXPECT_TRUE(reads_back(*s, s->segs[i]));
                ++*checked;
            }
}

struct UdItem {
    uint32_t fir;
    uint8_t gen;
};

}  // namespace

// In single-driver mode a full volume ends the write with the search's code
// after "DISK OVER"; nothing is overwritten.
TEST(WriterFull, SingleDriverModeStopsAtDiskOver) {
    Volume v({part_sectors(SPC, 40)}, SPC, true, {2024, 5, 1, 12, 0, 0});
    kx_driver* pdp = v.pdp();
    Stream s(1, 1, open_writer(1));
    int r = 0, writes = 0;
    while (writes < 100 && (r = s.write(SPC)) == 0) {
        writes++;
        pc_clock_advance_ms(1000);
    }
    EXPECT_EQ(3, r);
    EXPECT_EQ(40, writes);
    EXPECT_TRUE(v.log.contains("DISK OVER\nError 3 : set_new_clus(handle)\n"));
    EXPECT_FALSE(v.log.contains("only one driver or use g_fs_adapt"));
    EXPECT_EQ(0, pdp->fill_count);
    EXPECT_EQ(0u, pdp->start_cluster2);
    EXPECT_EQ(pdp->total_clus - 1, pdp->current_cluster);
    s.close();
    ASSERT_EQ(1u, s.segs.size());
    EXPECT_TRUE(reads_back(s, s.segs[0]));

    Stream t(2, 2, open_writer(2));
    EXPECT_EQ(3, t.write(1));
    t.close();
    EXPECT_TRUE(reads_back(s, s.segs[0]));
}

// Without single-driver mode the ring restarts when it is full: the previous
// pass becomes section 2, fill_count advances and recording goes on. Over
// two and a half passes of two channels across many days, with user data on
// every third record and a cluster that fails once: every record still whole
// reads back, the search by time lists exactly the records in the time
// sections in start order, the bad cluster is stepped over with its stamp on
// every later pass, and the user-data ring keeps exactly the items that have
// not expired.
TEST(WriterFull, RingRestartsAndEverythingLeftStaysFindable) {
    const uint32_t ring = 620;
    const pc_local_time t0 = {2024, 6, 1, 8, 0, 0};
    Volume v({part_sectors(SPC, ring)}, SPC, false, t0);
    kx_driver* pdp = v.pdp();
    ASSERT_EQ(ring, pdp->total_clus - pdp->rev_clus);
    const uint32_t bad = pdp->rev_clus + 100;
    ide_inject_fault(0, clus_sector(pdp, bad), clus_sector(pdp, bad), IDE_FAULT_WRITE);
    uint8_t bad_channel = 0;

    Recorder rec;
    std::vector<UdItem> ud_live;  // the user-data ring as it must be
    size_t ud_deleted = 0;
    // An item is added right after its record's first cluster was taken;
    // then expired items go from the ring's front.
    auto ud_added = [&](uint32_t fir) {
        ud_live.push_back({fir, pdp->fill_count});
        while (pdp->fill_count != 0 && !ud_live.empty() && ud_live.front().gen != pdp->fill_count &&
               ud_live.front().fir < fir) {
            ud_live.erase(ud_live.begin());
            ud_deleted++;
        }
    };
    for (uint32_t id = 0; !(pdp->fill_count == 2 && pdp->current_cluster >= pdp->rev_clus + ring / 4); id++) {
        ASSERT_LT(id, 5000u);
        const uint8_t ch = (uint8_t)(1 + id % 2);
        Stream& s = rec.open(ch);
        const bool with_ud = id % 3 == 0;
        bool ud_stored = false;
        if (with_ud) {
            uint8_t ud[USER_DATA_BYTES] = {};
            for (int i = 0; i < 11; i++) ud[i] = (uint8_t)(id + i);
            ASSERT_EQ(0, _set_file_ud(s.h, ud));
        }
        const int writes = 2 + (int)(id % 5);
        for (int w = 0; w < writes; w++) {
            pc_clock_advance_ms(20000);
            int r = rec.write(s, SPC / 2);
            if (r == 4) {  // the failing cluster, once
                bad_channel = ch;
                ide_clear_faults();
                // A first write that failed had its user data stored with
                // the cluster it took.
                if (with_ud && !ud_stored) {
                    ud_added(bad);
                    ud_stored = true;
                }
                continue;
            }
            ASSERT_EQ(0, r);
            if (with_ud && !ud_stored) {
                ud_added(s.segs[0].first);
                ud_stored = true;
            }
        }
        s.close();
        pc_clock_advance_ms(40 * 60000);
    }

    // Two restarts, section 2 holding the rest of the previous pass.
    EXPECT_EQ(2, pdp->fill_count);
    EXPECT_EQ(2u, count_of(v.log.text(), "only one driver or use g_fs_adapt\n"));
    EXPECT_EQ(2u, count_of(v.log.text(), "DISK OVER\n"));
    EXPECT_EQ(pdp->current_cluster + 256, pdp->start_cluster2);
    EXPECT_EQ(pdp->total_clus - 1, pdp->end_cluster2);

    // The bad cluster: marked once, stepped over on both later passes.
    ASSERT_NE(0, bad_channel);
    EXPECT_EQ(0xC0 | bad_channel, index_of(pdp, bad));
    char jump[96];
    snprintf(jump, sizeof jump, "jump over bad cluster, dev = 0, clus = %u\n", bad);
    EXPECT_EQ(2u, count_of(v.log.text(), jump));
    const kx_dir_item stamp = item_of(pdp, bad);
    EXPECT_EQ(ITEM_FIRST, stamp.item_type);
    EXPECT_EQ(bad, stamp.first_cluster_no);
    EXPECT_EQ(stamp.start_time, stamp.end_time);
    EXPECT_EQ(0u, dir_item_channel(&stamp));

    // The failed write took the partition out of the searches (the disk's
    // error record) until it is mounted again; the records are read from
    // what the disk holds after a restart.
    EXPECT_EQ(KX_ERR_STATUS_FAILED, pdp->err_status);
    v.remount();
    ASSERT_EQ(pdp, v.pdp());
    EXPECT_EQ(0u, pdp->err_status);
    size_t checked = 0;
    expect_whole_records_read_back(rec, &checked);
    EXPECT_GT(checked, 200u);
    const packed_time from = at(t0.year, t0.month, t0.day, t0.hour, t0.minute, t0.second);
    for (uint8_t ch = 1; ch <= 2; ch++) {
        std::vector<std::pair<uint32_t, uint32_t>> want = expected_listing(rec, ch);
        EXPECT_GT(want.size(), 50u);
        EXPECT_EQ(want, list_channel(pdp, ch, from)) << "channel " << (int)ch;
    }

    // The user-data ring: the live items from front to back, nothing else.
    EXPECT_GT(ud_deleted, 0u);
    EXPECT_EQ(ud_deleted, count_of(v.log.text(), "del ud fir_clus="));
    std::vector<std::pair<uint32_t, uint8_t>> on_disk;
    uint8_t sec[512];
    for (uint32_t i = pdp->ud_first_item; i != pdp->ud_last_item && on_disk.size() <= ud_live.size();
         i = i + 1 >= pdp->ud_item_num ? 1 : i + 1) {
        ASSERT_EQ(0, ide_read64(0, 1, (uint32_t)(pdp->start_sector + pdp->ud_off + i / 32), 0, sec));
        on_disk.emplace_back(get_le32(sec + (i % 32) * 16 + 12), sec[(i % 32) * 16 + 11]);
    }
    std::vector<std::pair<uint32_t, uint8_t>> want_ud;
    for (const UdItem& u : ud_live) want_ud.emplace_back(u.fir, u.gen);
    EXPECT_EQ(want_ud, on_disk);
}

// With several drivers of one type the writer hands over to the next driver
// of the ring when the working one is full, and later back to the first,
// which then restarts its own ring. Records on both partitions read back and
// one search by time lists them together in start order.
TEST(WriterFull, SeveralDriversHandOverAlongTheRing) {
    const uint32_t ring = 60;
    const pc_local_time t0 = {2024, 7, 1, 0, 0, 0};
    Volume v({part_sectors(SPC, ring), part_sectors(SPC, ring)}, SPC, false, t0);
    kx_driver* p0 = v.pdp(0);
    kx_driver* p1 = v.pdp(1);
    ASSERT_EQ(p0, g_work_driver[0]);

    Recorder rec;
    auto record = [&](int writes) {
        Stream& s = rec.open(3);
        for (int w = 0; w < writes; w++) {
            pc_clock_advance_ms(30000);
            ASSERT_EQ(0, rec.write(s, SPC / 2));
        }
        s.close();
        pc_clock_advance_ms(10 * 60000);
    };
    // Fill partition 0 and go on into partition 1; the records of three
    // clusters after one of one cluster do not fit the ring exactly.
    record(1);
    while (g_work_driver[0] == p0) record(5);
    EXPECT_EQ(1u, count_of(v.log.text(), "DISK OVER\n"));
    EXPECT_FALSE(v.log.contains("only one driver or use g_fs_adapt"));
    EXPECT_EQ(KX_STATUS_CLOSED, p0->status);
    EXPECT_EQ(1, p0->fill_count);
    EXPECT_EQ(p0->total_clus - 1, p0->current_cluster);
    // The record being written when partition 0 filled up goes on in
    // partition 1, from its first ring cluster.
    const Stream& split = *rec.streams.back();
    ASSERT_EQ(2u, split.segs.size());
    EXPECT_EQ(p0, split.segs[0].pdp);
    EXPECT_EQ(p1, split.segs[1].pdp);
    EXPECT_EQ(p1->rev_clus, split.segs[1].first);
    for (int i = 0; i < 5; i++) record(2);

    const packed_time from = at(t0.year, t0.month, t0.day, t0.hour, t0.minute, t0.second);
    std::vector<std::pair<uint32_t, uint32_t>> want = expected_listing(rec, 3);
    EXPECT_EQ(want, list_channel(p0, 3, from));
    size_t checked = 0;
    expect_whole_records_read_back(rec, &checked);
    EXPECT_EQ(want.size(), checked);

    // Fill partition 1: the writer comes back to partition 0 and restarts it.
    while (g_work_driver[0] == p1) record(3);
    EXPECT_EQ(p0, g_work_driver[0]);
    EXPECT_EQ(KX_STATUS_CLOSED, p1->status);
    EXPECT_EQ(1, p1->fill_count);
    const Stream& back = *rec.streams.back();
    EXPECT_EQ(p0, back.segs.back().pdp);
    EXPECT_EQ(p0->rev_clus, back.segs.back().first);
    record(2);
    expect_whole_records_read_back(rec, &checked);
    EXPECT_GT(checked, 30u);
}

// A record may hold at most 65,536 clusters (its first item's 16-bit item
// number counts them): a longer stream continues in a new record instead of
// wrapping the count.
TEST(WriterFull, RecordOf65536ClustersContinuesInANewRecord) {
    // One sector per cluster: 102,400 sectors give a ring of 66,816 clusters.
    Volume v({102400}, 1, true, {2024, 8, 1, 10, 0, 0});
    kx_driver* pdp = v.pdp();
    ASSERT_GT(pdp->total_clus - pdp->rev_clus, 65540u);
    Stream s(7, 1, open_writer(7));
    for (int i = 0; i < 128; i++) ASSERT_EQ(0, s.write(512));
    ASSERT_EQ(1u, s.segs.size());
    ASSERT_EQ(0, s.write(4));
    s.close();
    ASSERT_EQ(2u, s.segs.size());
    EXPECT_EQ(65535, item_of(pdp, s.segs[0].first).item_num);
    EXPECT_EQ(1, item_of(pdp, s.segs[0].first).end_length);
    EXPECT_EQ(ITEM_RESUME, item_of(pdp, s.segs[1].first).item_type);
    EXPECT_EQ(s.segs[0].first + 65536, s.segs[1].first);
    EXPECT_TRUE(reads_back(s, s.segs[0]));
    EXPECT_TRUE(reads_back(s, s.segs[1]));
}

// User data waiting for a record's first cluster when the volume turns out
// to be full keeps waiting through the restart and is stored with the first
// cluster of the restarted ring.
TEST(WriterFull, PendingUserDataSurvivesTheRestart) {
    const uint32_t ring = 40;
    Volume v({part_sectors(SPC, ring)}, SPC, false, {2024, 9, 1, 9, 0, 0});
    kx_driver* pdp = v.pdp();
    for (uint32_t id = 0; id < ring; id++) {
        Stream s(4, id, open_writer(4));
        pc_clock_advance_ms(60000);
        ASSERT_EQ(0, s.write(SPC));
        s.close();
    }
    ASSERT_EQ(pdp->total_clus - 1, pdp->current_cluster);

    const uint8_t ud[USER_DATA_BYTES] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 42, 0};
    Stream s(4, ring, open_writer(4));
    ASSERT_EQ(0, _set_file_ud(s.h, ud));
    pc_clock_advance_ms(60000);
    ASSERT_EQ(0, s.write(SPC));
    EXPECT_EQ(1, pdp->fill_count);
    ASSERT_EQ(pdp->rev_clus, s.segs[0].first);
    EXPECT_EQ(0u, s.h->ud_pending);
    EXPECT_EQ(2u, pdp->ud_last_item);
    EXPECT_EQ(1u, item_of(pdp, pdp->rev_clus).up_cluster_no);
    uint8_t sec[512];
    ASSERT_EQ(0, ide_read64(0, 1, (uint32_t)(pdp->start_sector + pdp->ud_off), 0, sec));
    EXPECT_EQ(0, memcmp(sec + 16, ud, 11));
    EXPECT_EQ(1, sec[16 + 11]);
    EXPECT_EQ(pdp->rev_clus, get_le32(sec + 16 + 12));
    s.close();
    EXPECT_TRUE(reads_back(s, s.segs[0]));
}

// Only the end of the partition means "full": a cluster index sector that
// cannot be read fails the write and leaves the ring and its recordings
// alone; once it reads again the record goes on.
TEST(WriterFull, UnreadableIndexIsNotAFullVolume) {
    Volume v({part_sectors(SPC, 100)}, SPC, false, {2024, 9, 2, 9, 0, 0});
    kx_driver* pdp = v.pdp();
    Stream s(1, 1, open_writer(1));
    ASSERT_EQ(0, s.write(SPC));
    const uint64_t index_sector = pdp->start_sector + pdp->index_off + pdp->current_cluster / 512;
    ASSERT_EQ(0, sync_disk(0));
    forget_cached_sectors(0, index_sector, 1);
    ide_inject_fault(0, index_sector, index_sector, IDE_FAULT_READ);

    v.log.clear();
    EXPECT_EQ(4, s.write(1));
    EXPECT_TRUE(v.log.contains("Error 4 : set_new_clus(handle)\n"));
    EXPECT_FALSE(v.log.contains("DISK OVER"));
    EXPECT_EQ(0, pdp->fill_count);
    EXPECT_EQ(0u, pdp->start_cluster2);
    EXPECT_EQ(pdp->rev_clus, pdp->current_cluster);

    ide_clear_faults();
    ASSERT_EQ(0, s.write(1));
    s.close();
    ASSERT_EQ(1u, s.segs.size());
    EXPECT_EQ(pdp->rev_clus + 1, s.segs[0].clusters.back());
    EXPECT_TRUE(reads_back(s, s.segs[0]));
}
