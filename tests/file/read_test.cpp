// Reading records through file handles: positioning, reading across cluster
// boundaries and past the end, seeking, and the handle checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "file/file.h"
#include "kxtime.h"
#include "support/record_layout.h"

namespace {

constexpr uint32_t SPC = 16;
constexpr uint8_t CH = 5;

std::vector<uint8_t> read_all(KXFILE h, uint32_t sectors, int* result) {
    std::vector<uint8_t> out((size_t)sectors * 512, 0xAA);
    *result = kx_file_read(h, out.data(), sectors);
    return out;
}

uint32_t tell(KXFILE h) {
    uint32_t pos = 12345;
    EXPECT_EQ(0, kx_file_tell(h, &pos));
    return pos;
}

class ReadTest : public ::testing::Test {
protected:
    LayoutVolume vol;
    RecordLayout layout{vol.pdp};
    layout_record rec;  // three clusters, 5 sectors in the last

    void SetUp() override {
        ASSERT_NE(nullptr, vol.pdp);
        rec.channel = CH;
        rec.start = make_packed_time(2009, 6, 1, 10, 0, 0);
        rec.end = make_packed_time(2009, 6, 1, 10, 3, 0);
        rec.clusters = 3;
        rec.end_length = 5;
        layout.write(rec);
    }

    KXFILE open_rec() {
        KXFILE h = layout_read_handle(vol.pdp);
        EXPECT_EQ(0, kx_file_goto_clus(h, 0, 0, rec.chain[0]));
        return h;
    }
};

TEST_F(ReadTest, WholeRecordThenFFTail) {
    KXFILE h = open_rec();
    uint32_t sectors = 0, kb = 0;
    ASSERT_EQ(0, kx_file_get_sectors(h, &sectors));
    ASSERT_EQ(2 * SPC + 5, sectors);
    // An odd record length: the KiB figure loses the last sector, the
    // sector count does not.
    ASSERT_EQ(0, kx_file_get_info(h, nullptr, nullptr, &kb));
    EXPECT_EQ(sectors / 2, kb);

    int r = -1;
    std::vector<uint8_t> got = read_all(h, sectors + 4, &r);
    ASSERT_EQ(0, r);
    const size_t data = (size_t)sectors * 512;
    EXPECT_EQ(layout_expected(rec, 0, data), std::vector<uint8_t>(got.begin(), got.begin() + data));
    EXPECT_EQ(std::vector<uint8_t>(4 * 512, 0xFF), std::vector<uint8_t>(got.begin() + data, got.end()));
    EXPECT_EQ(sectors, tell(h));
    // At the end: a further read is all 0xFF and stays there.
    got = read_all(h, 2, &r);
    EXPECT_EQ(0, r);
    EXPECT_EQ(std::vector<uint8_t>(2 * 512, 0xFF), got);
    EXPECT_EQ(sectors, tell(h));
}

TEST_F(ReadTest, ReadEndingAtClusterBoundaryStaysInThatCluster) {
    KXFILE h = open_rec();
    int r = -1;
    std::vector<uint8_t> got = read_all(h, SPC, &r);
    ASSERT_EQ(0, r);
    EXPECT_EQ(rec.chain[0], h->cur_clus);
    EXPECT_EQ(SPC, h->sec_in_clus);
    EXPECT_EQ(SPC, tell(h));
    // The next read moves into the next cluster.
    got = read_all(h, 3, &r);
    ASSERT_EQ(0, r);
    EXPECT_EQ(rec.chain[1], h->cur_clus);
    EXPECT_EQ(layout_expected(rec, SPC * 512, 3 * 512), got);
    EXPECT_EQ(SPC + 3, tell(h));
}

TEST_F(ReadTest, SeekToClusterMultiplesLandsAtTheEndOfTheClusterBefore) {
    KXFILE h = open_rec();
    for (uint32_t k = 1; k <= 2; k++) {
        ASSERT_EQ(0, kx_file_seek(h, k * SPC));
        EXPECT_EQ(rec.chain[k - 1], h->cur_clus);
        EXPECT_EQ(SPC, h->sec_in_clus);
        EXPECT_EQ(k * SPC, tell(h));
        int r = -1;
        std::vector<uint8_t> got = read_all(h, 2, &r);
        ASSERT_EQ(0, r);
        EXPECT_EQ(layout_expected(rec, (uint64_t)k * SPC * 512, 1024), got);
    }
    ASSERT_EQ(0, kx_file_seek(h, 0));
    EXPECT_EQ(rec.chain[0], h->cur_clus);
    EXPECT_EQ(0u, tell(h));
}

TEST_F(ReadTest, SeekBeyondTheEndFailsAndLeavesThePosition) {
    KXFILE h = open_rec();
    ASSERT_EQ(0, kx_file_seek(h, 20));
    EXPECT_EQ(0, kx_file_seek(h, 2 * SPC + 5));  // the very end is a position
    EXPECT_EQ(rec.chain[2], h->cur_clus);
    ASSERT_EQ(0, kx_file_seek(h, 20));
    EXPECT_EQ(KX_E_BEYOND, kx_file_seek(h, 2 * SPC + 6));
    EXPECT_EQ(rec.chain[1], h->cur_clus);
    EXPECT_EQ(20u, tell(h));
}

TEST_F(ReadTest, GotoFollowingClusterWarnsAndFails) {
    KXFILE h = layout_read_handle(vol.pdp);
    vol.log.clear();
    EXPECT_EQ(KX_E_NOTFOUND, kx_file_goto_clus(h, 0, 0, rec.chain[1]));
    EXPECT_EQ("WARNING!!! kx_file_goto_clus() first_cluster:" + std::to_string(rec.chain[0]) +
                  ", clus:" + std::to_string(rec.chain[1]) + "\n",
              vol.log.text());

    vol.log.clear();
    EXPECT_EQ(KX_E_NOTFOUND, kx_file_goto_clus(h, 0, 1, rec.chain[0]));
    EXPECT_EQ("get_pdp failed !!!!!\n", vol.log.text());

    vol.log.clear();
    h->state = FILE_WRITING;
    EXPECT_EQ(KX_E_HANDLE, kx_file_goto_clus(h, 0, 0, rec.chain[0]));
    EXPECT_EQ("Invalid file read handle!!!!!\n", vol.log.text());

    // A cluster beyond the volume is refused before anything is read.
    h->state = FILE_READING;
    EXPECT_EQ(KX_E_CLUS, kx_file_goto_clus(h, 0, 0, vol.pdp->total_clus));
    EXPECT_EQ(0u, h->cur_clus);
    uint8_t buf[512];
    EXPECT_EQ(KX_E_NOTFOUND, kx_file_read(h, buf, 1));
}

TEST_F(ReadTest, HandleChecks) {
    KXFILE h = open_rec();
    uint8_t buf[512];
    vol.log.clear();
    EXPECT_EQ(0, kx_file_read(h, nullptr, 0));
    EXPECT_EQ("kx_file_read sec_num == 0\n", vol.log.text());
    EXPECT_EQ(0u, tell(h));

    // Made from addresses: a pointer outside the table, as a caller's
    // stray value would be.
    const uintptr_t base = (uintptr_t)file_table;
    const std::vector<KXFILE> strays = {
        (KXFILE)((uintptr_t)h + 1),                         // inside an entry
        (KXFILE)(base - sizeof(kx_file)),                   // before the table
        (KXFILE)(base + KX_MAX_FILES * sizeof(kx_file)),    // after its last entry
    };
    for (KXFILE s : strays) {
        vol.log.clear();
        EXPECT_EQ(KX_E_HANDLE, kx_file_seek(s, 0));
        EXPECT_EQ(KX_E_HANDLE, kx_file_close(s));
        EXPECT_TRUE(vol.log.contains("INVALID HANDLE: .\\Src\\file,"));
    }

    // Start-up again: the handle is from before and is refused everywhere
    // except by close, which only needs a table entry.
    int count = 0;
    packed_time shutdown = 0;
    ASSERT_EQ(0, kx_file_sys_init(&count, &shutdown));
    h->state = FILE_READING;
    vol.log.clear();
    EXPECT_EQ(KX_E_HANDLE, kx_file_read(h, buf, 1));
    EXPECT_EQ(KX_E_HANDLE, kx_file_tell(h, nullptr));
    EXPECT_EQ(KX_E_HANDLE, kx_file_goto_clus(h, 0, 0, rec.chain[0]));
    EXPECT_EQ(0u, kx_file_find_next(h, CH, rec.start, 0, 255));
    EXPECT_EQ(4u, (uint32_t)std::count(vol.log.text().begin(), vol.log.text().end(), '\n'));
    EXPECT_TRUE(vol.log.contains("INVALID HANDLE: .\\Src\\file,"));
    EXPECT_EQ(0, kx_file_close(h));
    EXPECT_EQ(FILE_FREE, h->state);
    vol.log.clear();
    EXPECT_EQ(KX_E_HANDLE, kx_file_close(h));
    EXPECT_EQ("Not a active file handle!!!!!\n", vol.log.text());
}

TEST_F(ReadTest, ChainOverABadClusterOfItsOwnChannelReadsWhole) {
    // The writer stepped over a bad cluster that still carries this
    // channel's bits: the record's chain skips it.
    const uint32_t bad = vol.pdp->current_cluster + 3;
    layout.mark_bad(bad, CH);
    layout_record next;
    next.channel = CH;
    next.start = make_packed_time(2009, 6, 1, 10, 5, 0);
    next.end = make_packed_time(2009, 6, 1, 10, 10, 0);
    next.clusters = 5;
    next.end_length = 9;
    layout.write(next);
    ASSERT_EQ(bad - 1, next.chain[1]);
    ASSERT_EQ(bad + 1, next.chain[2]);

    KXFILE h = layout_read_handle(vol.pdp);
    ASSERT_EQ(0, kx_file_goto_clus(h, 0, 0, next.chain[0]));
    const uint32_t sectors = layout.sectors(next);
    int r = -1;
    std::vector<uint8_t> got = read_all(h, sectors, &r);
    ASSERT_EQ(0, r);
    EXPECT_EQ(layout_expected(next, 0, got.size()), got);
    // Seeking into the clusters after the bad one works as well.
    ASSERT_EQ(0, kx_file_seek(h, 4 * SPC + 1));
    EXPECT_EQ(next.chain[4], h->cur_clus);
}

TEST(CalcuFileLength, ClockJumpsCountAMinuteAndLengthsAreCapped) {
    LogCapture log;
    uint32_t len = 0;
    const packed_time s = make_packed_time(2009, 6, 1, 10, 0, 0);
    ASSERT_EQ(0, calcu_file_length(time_add(s, 301), s, 2, &len));
    EXPECT_EQ(4096u, len);
    EXPECT_EQ("###### second = 301\ncalcu_file_length len->7680, img->2, sec->60\n", log.text());

    log.clear();
    ASSERT_EQ(0, calcu_file_length(time_add(s, 10), s, 6, &len));
    EXPECT_EQ(4096u, len);
    EXPECT_EQ("###### second = 10\ncalcu_file_length len->5120, img->6, sec->10\n", log.text());

    ASSERT_EQ(0, calcu_file_length(time_add(s, 7), s, 3, &len));
    EXPECT_EQ(7u * 193, len);
    ASSERT_EQ(0, calcu_file_length(time_add(s, 7), s, 9, &len));
    EXPECT_EQ(7u * 256, len);
}

}  // namespace
