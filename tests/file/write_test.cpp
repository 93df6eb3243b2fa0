// The writer on a roomy volume: records and their directory items, cluster
// boundaries, bad clusters, packing, user data, the mirror handle and the
// argument checks.
#include <gtest/gtest.h>

#include <cstdio>

#include "file/write_support.h"

using namespace write_test;

namespace {

constexpr uint32_t SPC = 16;
const pc_local_time MARCH_1_2350 = {2024, 3, 1, 23, 50, 0};

std::string text(const char* fmt, unsigned a) {
    char buf[160];
    snprintf(buf, sizeof buf, fmt, a);
    return buf;
}

// Keeps a changed pack setting to one test.
struct PackSetting {
    uint32_t saved = g_pack_setting;
    explicit PackSetting(uint32_t v) { g_pack_setting = v; }
    ~PackSetting() { g_pack_setting = saved; }
};

struct Expect {
    uint8_t media, kind, img;
    uint8_t seq;       // same_second_seq of the first item
    packed_time end;   // time of close
};

// Checks the record of a one-segment stream: the chain of directory items,
// the index bytes, times and lengths, and the bytes through the reader.
void check_record(kx_driver* pdp, const Stream& s, const Expect& e) {
    SCOPED_TRACE("channel " + std::to_string(s.ch));
    ASSERT_EQ(1u, s.segs.size());
    const Segment& g = s.segs[0];
    const uint64_t sectors = g.bytes / 512;
    const uint32_t nclus = (uint32_t)((sectors + SPC - 1) / SPC);
    const uint16_t last_len = (uint16_t)(sectors - (uint64_t)(nclus - 1) * SPC);

    kx_dir_item first = item_of(pdp, g.first);
    EXPECT_EQ(ITEM_FIRST, first.item_type);
    EXPECT_EQ(s.ch, dir_item_channel(&first));
    EXPECT_EQ(e.media, dir_item_media_type(&first));
    EXPECT_EQ(e.kind, dir_item_record_kind(&first));
    EXPECT_EQ(e.img, first.img);
    EXPECT_EQ(nclus - 1, first.item_num);
    EXPECT_EQ(last_len, first.end_length);
    EXPECT_EQ(g.start, first.start_time);
    EXPECT_EQ(e.end, first.end_time);
    EXPECT_EQ(0u, first.up_cluster_no);
    EXPECT_EQ(g.first, first.first_cluster_no);
    EXPECT_EQ(e.seq, first.same_second_seq);
    EXPECT_EQ((s.ch & 63) | (CLUS_TYPE_START << 6), index_of(pdp, g.first));

    uint32_t prev = g.first;
    kx_dir_item it = first;
    for (uint32_t i = 1; i < nclus; i++) {
        ASSERT_TRUE(dir_item_has_down(&it)) << "chain ends after " << i << " clusters";
        uint32_t c = it.down_clus;
        it = item_of(pdp, c);
        EXPECT_EQ(ITEM_FOLLOW, it.item_type);
        EXPECT_EQ(prev, it.up_cluster_no);
        EXPECT_EQ(i, it.item_num);
        EXPECT_EQ(g.first, it.first_cluster_no);
        EXPECT_EQ(s.ch, dir_item_channel(&it));
        EXPECT_EQ(e.kind, dir_item_record_kind(&it));
        EXPECT_EQ(s.ch & 63, index_of(pdp, c));
        prev = c;
    }
    // The last cluster is closed: no down link, its own data length and end.
    EXPECT_EQ(0u, it.down_clus);
    EXPECT_EQ(e.end, it.end_time);
    if (nclus > 1) {
        EXPECT_EQ(last_len, it.end_length);
    }
    EXPECT_TRUE(reads_back(s, g));
}

}  // namespace

// Records of several channels, media types and record kinds, written over
// several days (one across midnight, two side by side), read back byte for
// byte with the directory items and index bytes the recorder leaves.
TEST(WriterRecords, RoundTripAcrossDaysChannelsAndKinds) {
    Volume v({part_sectors(SPC, 400)}, SPC, true, MARCH_1_2350);
    kx_driver* pdp = v.pdp();
    ASSERT_NE(nullptr, pdp);

    // Two channels started in the same second, written turn about.
    Stream a(0, 1, open_writer(0, 2, 0, 2));
    Stream b(1, 2, open_writer(1, 2, 1, 3));
    for (int i = 0; i < 20; i++) {
        ASSERT_EQ(0, a.write(7));
        ASSERT_EQ(0, b.write(7));
        pc_clock_advance_ms(1000);
    }
    const packed_time ab_end = now_packed();
    a.close();
    b.close();

    // A picture stream across midnight: 23:59:50 to 00:00:49.
    pc_clock_set_fake({2024, 3, 1, 23, 59, 50}, 5000000);
    Stream c(4, 3, open_writer(4, 0, 3, 1));
    for (int i = 0; i < 60; i++) {
        ASSERT_EQ(0, c.write(3));
        pc_clock_advance_ms(1000);
    }
    const packed_time c_end = now_packed();
    c.close();

    // Days later: a high channel number with a wide record kind in one
    // write over four clusters, and a record of exactly one cluster.
    pc_clock_set_fake({2024, 3, 4, 8, 0, 0}, 9000000);
    Stream d(37, 4, open_writer(37, 2, 0x0D, 5));
    ASSERT_EQ(0, d.write(50));
    pc_clock_advance_ms(61000);
    const packed_time d_end = now_packed();
    d.close();
    Stream e(5, 5, open_writer(5, 2, 4, 6));
    ASSERT_EQ(0, e.write(SPC));
    const packed_time e_end = now_packed();
    e.close();

    ASSERT_EQ(at(2024, 3, 2, 0, 0, 50), c_end);
    check_record(pdp, a, {2, 0, 2, 0, ab_end});
    check_record(pdp, b, {2, 1, 3, 1, ab_end});
    check_record(pdp, c, {0, 3, 1, 0, c_end});
    check_record(pdp, d, {2, 0x0D, 5, 0, d_end});
    check_record(pdp, e, {2, 4, 6, 1, e_end});

    // The descriptor follows the newest data.
    EXPECT_EQ(e_end, pdp->end_time1);
    EXPECT_EQ(e.segs[0].first, pdp->current_cluster);
}

// A write that ends exactly at the end of a cluster stays in it; the next
// write takes a new cluster and links it. One write spanning three clusters
// takes two new ones, linked both ways.
TEST(WriterClusters, BoundariesAndLinks) {
    Volume v({part_sectors(SPC, 64)}, SPC, true, MARCH_1_2350);
    kx_driver* pdp = v.pdp();
    Stream s(3, 1, open_writer(3));
    ASSERT_EQ(0, s.write(10));
    const uint32_t c0 = s.h->cur_clus;
    EXPECT_EQ(pdp->rev_clus, c0);
    ASSERT_EQ(0, s.write(SPC - 10));
    EXPECT_EQ(c0, s.h->cur_clus);
    EXPECT_EQ(SPC, s.h->sec_in_clus);
    EXPECT_EQ(c0, pdp->current_cluster);
    EXPECT_EQ(DOWN_OPEN, item_of(pdp, c0).down_clus);

    ASSERT_EQ(0, s.write(1));
    const uint32_t c1 = s.h->cur_clus;
    EXPECT_EQ(c0 + 1, c1);
    EXPECT_EQ(c1, item_of(pdp, c0).down_clus);
    EXPECT_EQ(c0, item_of(pdp, c1).up_cluster_no);
    EXPECT_EQ(DOWN_OPEN, item_of(pdp, c1).down_clus);
    // The first item always carries the record's current length.
    EXPECT_EQ(1, item_of(pdp, c0).item_num);
    EXPECT_EQ(1, item_of(pdp, c0).end_length);

    // From sector 1 of c1: 15 + 16 + 4 sectors.
    ASSERT_EQ(0, s.write(SPC - 1 + SPC + 4));
    const uint32_t c3 = s.h->cur_clus;
    EXPECT_EQ(c1 + 2, c3);
    EXPECT_EQ(c1 + 1, item_of(pdp, c1).down_clus);
    EXPECT_EQ(c3, item_of(pdp, c1 + 1).down_clus);
    EXPECT_EQ(c1, item_of(pdp, c1 + 1).up_cluster_no);
    EXPECT_EQ(c1 + 1, item_of(pdp, c3).up_cluster_no);
    EXPECT_EQ(2, item_of(pdp, c1 + 1).item_num);
    EXPECT_EQ(3, item_of(pdp, c3).item_num);
    EXPECT_EQ(3, item_of(pdp, c0).item_num);
    EXPECT_EQ(4, item_of(pdp, c0).end_length);
    EXPECT_EQ(c3, pdp->current_cluster);
    uint32_t sectors = 0;
    EXPECT_EQ(0, kx_file_get_sectors(s.h, &sectors));
    EXPECT_EQ(3 * SPC + 4, sectors);
    s.close();
    EXPECT_TRUE(reads_back(s, s.segs[0]));
}

// A failed data write marks the cluster bad (its channel bits kept) and
// returns 4. The record ends at what was written before it, and the next
// write goes on in a new record past the bad cluster instead of failing on
// it again. A record whose very first write failed is finished without
// touching the reserved cluster 0.
TEST(WriterBadCluster, FailedWriteMarksBadAndRecordingGoesOn) {
    Volume v({part_sectors(SPC, 64)}, SPC, true, MARCH_1_2350);
    kx_driver* pdp = v.pdp();
    Stream s(5, 1, open_writer(5));
    ASSERT_EQ(0, s.write(SPC));
    const uint32_t c0 = s.segs[0].first;
    const uint32_t bad = c0 + 1;
    ide_inject_fault(0, clus_sector(pdp, bad) + 2, clus_sector(pdp, bad) + 2, IDE_FAULT_WRITE);

    v.log.clear();
    EXPECT_EQ(4, s.write(4));
    EXPECT_EQ(0xC0 | 5, index_of(pdp, bad));
    EXPECT_TRUE(v.log.contains(text("set bad clus : dev 0, clus %d\n", bad)));
    // The record was finished at its first cluster.
    EXPECT_EQ(0u, item_of(pdp, c0).down_clus);
    EXPECT_EQ(SPC, item_of(pdp, c0).end_length);
    EXPECT_EQ(0, item_of(pdp, c0).item_num);

    // The stream goes on, in a resumed record after the bad cluster.
    ASSERT_EQ(0, s.write(4));
    ASSERT_EQ(2u, s.segs.size());
    EXPECT_EQ(bad + 1, s.segs[1].first);
    EXPECT_EQ(ITEM_RESUME, item_of(pdp, bad + 1).item_type);
    EXPECT_EQ(5 | (CLUS_TYPE_RESUME << 6), index_of(pdp, bad + 1));
    s.close();
    EXPECT_TRUE(reads_back(s, s.segs[0]));
    EXPECT_TRUE(reads_back(s, s.segs[1]));

    // A first write that fails: the record has no data and cluster 0's
    // reserved item stays as the format left it.
    const kx_dir_item reserved = item_of(pdp, 0);
    const uint32_t next = pdp->current_cluster + 1;
    ide_inject_fault(0, clus_sector(pdp, next), clus_sector(pdp, next), IDE_FAULT_WRITE);
    Stream t(6, 2, open_writer(6));
    EXPECT_EQ(4, t.write(1));
    EXPECT_EQ(0xC0 | 6, index_of(pdp, next));
    t.close();
    kx_dir_item after = item_of(pdp, 0);
    EXPECT_EQ(ITEM_RESERVED, after.item_type);
    EXPECT_EQ(reserved.end_time, after.end_time);
    EXPECT_EQ(reserved.down_clus, after.down_clus);
    EXPECT_EQ(reserved.end_length, after.end_length);
}

// The mirror handle receives the same sectors; a failure of the first copy
// is reported even when the mirror's write succeeds.
TEST(WriterMirror, MirrorGetsTheSameSectorsAndFailuresAreNotHidden) {
    Volume v({part_sectors(SPC, 64)}, SPC, true, MARCH_1_2350);
    kx_driver* pdp = v.pdp();
    KXFILE mirror = open_writer(9);
    Stream s(8, 1, open_writer(8, 2, 0, 2, 0, mirror));
    ASSERT_EQ(0, s.write(SPC));
    const uint32_t first = s.segs[0].first;
    const uint32_t mirror_first = mirror->first_cluster;
    EXPECT_EQ(first + 1, mirror_first);
    EXPECT_EQ(9, index_of(pdp, mirror_first) & 63);

    // The primary's next cluster fails, the mirror's succeeds.
    const uint32_t next = pdp->current_cluster + 1;
    ide_inject_fault(0, clus_sector(pdp, next), clus_sector(pdp, next), IDE_FAULT_WRITE);
    std::vector<uint8_t> more = pattern(8, 1, SPC * 512, 512);
    EXPECT_EQ(4, kx_file_write(s.h, more.data(), 1));
    EXPECT_EQ(SPC + 1, mirror->write_clus_count * SPC + mirror->write_sec);
    s.close();  // closes the mirror too
    EXPECT_EQ(FILE_FREE, mirror->state);

    EXPECT_TRUE(reads_back(s, s.segs[0]));
    std::vector<uint8_t> both = pattern(8, 1, 0, (SPC + 1) * 512);
    EXPECT_EQ(both, read_record(0, mirror_first));
}

// The pack check itself, for the default interval and for intervals that
// divide the hour, are whole hours, or neither.
TEST(WriterPack, PackDueFollowsTheInterval) {
    const packed_time hour = at(2024, 3, 1, 6, 0, 0), quarter = at(2024, 3, 1, 6, 15, 0);
    const packed_time minute = at(2024, 3, 1, 6, 10, 0), off = at(2024, 3, 1, 6, 0, 1);
    struct {
        uint32_t setting, minutes;
        packed_time now;
        bool due;
    } cases[] = {
        {3600000, 299, hour, false}, {3600000, 300, hour, true},  {3600000, 300, minute, false},  // 600 minutes
        {3600000, 899, off, false},  {3600000, 900, off, true},                                   //
        {90000, 7, quarter, true},   {90000, 6, quarter, false},  {90000, 7, minute, false},      // 15: quarter hours
        {90000, 21, off, false},     {90000, 22, off, true},                                      //
        {270000, 44, hour, false},   {270000, 45, minute, true},  {270000, 45, off, false},       // 45: no round time
        {270000, 67, off, true},     {900000, 149, hour, false},  {900000, 150, minute, true},    // 150: likewise
        {5999, 100000, hour, false},                                                              // under a minute: never
    };
    for (const auto& c : cases) {
        PackSetting p(c.setting);
        EXPECT_EQ(c.due, pack_due(c.minutes, c.now)) << c.setting << " " << c.minutes << " " << c.now;
    }
}

// A stream opened at 00:10 with the default setting, one sector every 30 s
// from `first_ms` on; the time of the write that packed it.
static packed_time time_of_pack(Volume& v, uint32_t first_ms, Stream& s) {
    pc_clock_advance_ms(first_ms);
    for (int i = 0; i < 2000; i++) {
        EXPECT_EQ(0, s.write(1));
        if (s.h->reopened) return now_packed();
        pc_clock_advance_ms(30000);
    }
    ADD_FAILURE() << "never packed; log: " << v.log.text().substr(0, 200);
    return 0;
}

// Packed at the first whole hour after half the interval (05:10), the stream
// going on in a resumed record; without writes on whole minutes, at the
// latest after one and a half intervals.
TEST(WriterPack, PackedAtTheFirstWholeHourOrAtTheLatest) {
    {
        Volume v({part_sectors(SPC, 200)}, SPC, true, {2024, 3, 1, 0, 10, 0});
        kx_driver* pdp = v.pdp();
        Stream s(2, 1, open_writer(2));
        EXPECT_EQ(at(2024, 3, 1, 6, 0, 0), time_of_pack(v, 30000, s));
        EXPECT_TRUE(v.log.contains("_file_write pack file internal for cur_minute = 350\n"));
        EXPECT_EQ(FILE_WRITING, s.h->state);
        EXPECT_EQ(0u, s.h->first_cluster);
        EXPECT_EQ(at(2024, 3, 1, 6, 0, 0), item_of(pdp, s.segs[0].first).end_time);
        EXPECT_EQ(0u, item_of(pdp, s.segs[0].clusters.back()).down_clus);
        pc_clock_advance_ms(30000);
        ASSERT_EQ(0, s.write(1));
        ASSERT_EQ(2u, s.segs.size());
        EXPECT_EQ(ITEM_RESUME, item_of(pdp, s.segs[1].first).item_type);
        EXPECT_EQ(at(2024, 3, 1, 6, 0, 30), item_of(pdp, s.segs[1].first).start_time);
        s.close();
        EXPECT_TRUE(reads_back(s, s.segs[0]));
        EXPECT_TRUE(reads_back(s, s.segs[1]));
    }
    Volume v({part_sectors(SPC, 200)}, SPC, true, {2024, 3, 1, 0, 10, 0});
    Stream s(2, 1, open_writer(2));
    EXPECT_EQ(at(2024, 3, 1, 15, 10, 15), time_of_pack(v, 15000, s));
    EXPECT_TRUE(v.log.contains("_file_write pack file internal for cur_minute = 900\n"));
    s.close();
    EXPECT_TRUE(reads_back(s, s.segs[0]));
}

// In single-driver mode a pack keeps the record on the partition it was
// opened on, even when that is not the work driver of its type.
TEST(WriterPack, SingleDriverModeKeepsThePackedStreamOnItsPartition) {
    Volume v({part_sectors(SPC, 64), part_sectors(SPC, 64)}, SPC, true, MARCH_1_2350);
    kx_driver* p1 = v.pdp(1);
    ASSERT_NE(p1, g_work_driver[0]);
    Stream s(3, 1, open_writer(3));
    s.h->pdp = p1;  // as the path adapter opens a record on a partition
    PackSetting every_minute(6000);
    pc_clock_advance_ms(1000);
    ASSERT_EQ(0, s.write(2));
    pc_clock_advance_ms(60000);
    ASSERT_EQ(0, s.write(2));
    ASSERT_EQ(1u, s.h->reopened);
    EXPECT_EQ(p1, s.h->pdp);
    pc_clock_advance_ms(1000);
    ASSERT_EQ(0, s.write(2));
    ASSERT_EQ(2u, s.segs.size());
    EXPECT_EQ(p1, s.segs[1].pdp);
    EXPECT_EQ(p1->rev_clus + 1, s.segs[1].first);
    s.close();
    EXPECT_TRUE(reads_back(s, s.segs[0]));
    EXPECT_TRUE(reads_back(s, s.segs[1]));
}

// User data given before the first write is held and stored with the first
// cluster; the record's first item points at its item. With repack_ud set, a
// pack attaches it again to the record the pack starts.
TEST(WriterUserData, HeldUntilTheFirstClusterAndAttachedAgainAfterAPack) {
    Volume v({part_sectors(SPC, 64)}, SPC, true, MARCH_1_2350);
    kx_driver* pdp = v.pdp();
    const uint8_t ud[USER_DATA_BYTES] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0x0A, 7, 0x55};
    KXFILE h = open_writer(6);
    v.log.clear();
    EXPECT_EQ(0, _set_file_ud(h, ud));
    EXPECT_EQ(
        "_set_file_ud() the following user data not write to file first_cluster 0\n"
        "CardNO: 07 0a090807060504030201\n",
        v.log.text());
    EXPECT_EQ(1u, h->ud_pending);
    EXPECT_EQ(1u, pdp->ud_last_item);

    Stream s(6, 1, h);
    ASSERT_EQ(0, s.write(4));
    const uint32_t first = s.segs[0].first;
    EXPECT_EQ(0u, h->ud_pending);
    EXPECT_EQ(2u, pdp->ud_last_item);
    EXPECT_EQ(1u, item_of(pdp, first).up_cluster_no);
    uint8_t sec[512];
    ASSERT_EQ(0, ide_read64(0, 1, (uint32_t)(pdp->start_sector + pdp->ud_off), 0, sec));
    EXPECT_EQ(0, memcmp(sec + 16, ud, 11));
    EXPECT_EQ(0, sec[16 + 11]);  // the ring's pass, not the record's byte 11
    EXPECT_EQ(first, get_le32(sec + 16 + 12));

    // New user data for the same record: a second item, the first item's
    // link unchanged.
    const uint8_t ud2[USER_DATA_BYTES] = {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 3, 0};
    EXPECT_EQ(0, _set_file_ud(h, ud2));
    EXPECT_EQ(3u, pdp->ud_last_item);
    EXPECT_EQ(1u, item_of(pdp, first).up_cluster_no);

    PackSetting every_minute(6000);
    h->repack_ud = 1;
    pc_clock_advance_ms(60000);
    ASSERT_EQ(0, s.write(1));
    ASSERT_EQ(1u, h->reopened);
    EXPECT_EQ(1u, h->ud_pending);
    pc_clock_advance_ms(1000);
    ASSERT_EQ(0, s.write(1));
    ASSERT_EQ(2u, s.segs.size());
    EXPECT_EQ(4u, pdp->ud_last_item);
    EXPECT_EQ(3u, item_of(pdp, s.segs[1].first).up_cluster_no);
    ASSERT_EQ(0, ide_read64(0, 1, (uint32_t)(pdp->start_sector + pdp->ud_off), 0, sec));
    EXPECT_EQ(0, memcmp(sec + 3 * 16, ud2, 11));
    EXPECT_EQ(s.segs[1].first, get_le32(sec + 3 * 16 + 12));
    s.close();
}

// Zero-sector writes, stale handles, reading handles, a writer without a
// partition: each refused with its message, nothing written.
TEST(WriterChecks, RefusedRequestsChangeNothing) {
    Volume v({part_sectors(SPC, 64)}, SPC, true, MARCH_1_2350);
    kx_driver* pdp = v.pdp();
    uint8_t buf[512] = {};
    KXFILE h = open_writer(1);
    v.log.clear();
    EXPECT_EQ(0, kx_file_write(h, buf, 0));
    EXPECT_EQ(0, _file_write(h, buf, 0));
    EXPECT_EQ("kx_file_write sec_num == 0\n_file_write sec_num == 0\n", v.log.text());
    EXPECT_EQ(0u, pdp->current_cluster);
    EXPECT_EQ(0u, h->first_cluster);

    KXFILE stale = take_handle();
    stale->state = FILE_WRITING;
    stale->generation = file_generation - 1;
    v.log.clear();
    EXPECT_EQ(11, kx_file_write(stale, buf, 1));
    EXPECT_EQ(11, set_new_clus(stale));
    EXPECT_EQ(11, _set_file_ud(stale, buf));
    EXPECT_TRUE(v.log.contains("INVALID HANDLE: .\\Src\\file,100\n"));
    EXPECT_TRUE(v.log.contains("INVALID HANDLE: .\\Src\\file,2096\n"));

    KXFILE reader = take_handle();
    reader->state = FILE_READING;
    v.log.clear();
    EXPECT_EQ(11, kx_file_write(reader, buf, 1));
    EXPECT_EQ(text("Invalid file write handle %x, flag 2!!!!!\n", (unsigned)(reader - file_table)), v.log.text());

    // No working driver of type 3.
    KXFILE none = open_writer(1, 2, 0, 2, 3);
    EXPECT_EQ(nullptr, none->pdp);
    v.log.clear();
    EXPECT_EQ(KX_E_NODRIVER, kx_file_write(none, buf, 1));
    EXPECT_TRUE(v.log.contains("ASSERT: .\\Src\\file,"));
    EXPECT_EQ(0u, pdp->current_cluster);

    // Finishing a record whose partition descriptor is gone.
    Stream s(1, 1, h);
    ASSERT_EQ(0, s.write(4));
    const kx_dir_item before = item_of(pdp, s.segs[0].first);
    const packed_time end1 = pdp->end_time1;
    h->pdp = nullptr;
    pc_clock_advance_ms(5000);
    v.log.clear();
    EXPECT_NE(0, file_write_finish(h, now_packed(), 1));
    EXPECT_TRUE(v.log.contains("ASSERT: .\\Src\\file,"));
    const kx_dir_item after = item_of(pdp, s.segs[0].first);
    EXPECT_EQ(before.end_time, after.end_time);
    EXPECT_EQ(before.down_clus, after.down_clus);
    EXPECT_EQ(end1, pdp->end_time1);
    h->pdp = pdp;
    s.close();
    EXPECT_TRUE(reads_back(s, s.segs[0]));
}
