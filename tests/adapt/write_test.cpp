// Writing records through the path adapter, read back through the adapter's
// listings and reader.
#include <gtest/gtest.h>

#include <cstring>

#include "adapt_support.h"
#include "meta/meta.h"

using namespace adapt_test;

namespace {

constexpr uint32_t SPC = 64;

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = (uint8_t)((i * 131 + seed) ^ (i >> 9));
    return v;
}

// What a record written with `data` holds after its header: the data, then
// 0xFF up to an even number of sectors.
std::vector<uint8_t> padded(std::vector<uint8_t> data) {
    size_t sectors = (data.size() + 511) / 512;
    sectors += sectors & 1;
    data.resize(sectors * 512, 0xFF);
    return data;
}

struct WriteFixture : ::testing::Test {
    Volume vol{part_sectors(SPC, 200), SPC};

    // Writes data in pieces of the given sizes (cycled), the clock moving a
    // second per piece; pieces listed as aligned come from a 512-aligned
    // buffer. Returns the handle still open.
    KXFILE write(const std::string& path, const std::vector<uint8_t>& data,
                 const std::vector<size_t>& pieces) {
        KXFILE f = kx_fopen(path.c_str(), "wb");
        EXPECT_NE(nullptr, f) << path;
        if (f == nullptr) return nullptr;
        alignas(512) static uint8_t staging[1 << 20];
        size_t done = 0;
        for (size_t i = 0; done < data.size(); i++) {
            const size_t n = std::min(pieces[i % pieces.size()], data.size() - done);
            memcpy(staging, data.data() + done, n);
            EXPECT_EQ(n, kx_fwrite(staging, 1, n, f)) << "piece " << i;
            done += n;
            pc_clock_advance_ms(1000);
        }
        return f;
    }

    std::vector<uint8_t> read_back(const kx_find_record& listed, packed_time day, int channel) {
        KXFILE f = kx_fopen((channel_dir(day, channel) + "/" + listed.name).c_str(), "rb");
        EXPECT_NE(nullptr, f) << listed.name;
        if (f == nullptr) return {};
        std::vector<uint8_t> got = read_all(f, {1 << 20});
        EXPECT_EQ(0, kx_fclose(f));
        return got;
    }
};

TEST_F(WriteFixture, RecordsFoundWithTheirNamesSizesAndBytes) {
    const packed_time day = at(2009, 5, 31, 0, 0, 0);
    // A video record: a large aligned first piece goes straight to the writer,
    // then pieces of every size through the buffer; an odd number of sectors.
    const std::vector<uint8_t> video = pattern(65536 + 1 + 511 + 1000 + 70000 + 512 * 3, 7);
    KXFILE f = write("/mnt/idea0/2009-05-31/003/08.00.00-08.00.00[M][@0][0].mvr", video,
                     {65536, 1, 511, 1000, 70000, 512});
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(0, kx_fclose(f));
    // A picture: media type 0, the small buffer.
    const std::vector<uint8_t> picture = pattern(3000, 9);
    f = write("/mnt/idea0/2009-05-31/003/x[A][@0][0].jpg", picture, {1000});
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(0, kx_fclose(f));
    // Flushed on the way: what was flushed is written again with what follows.
    const std::vector<uint8_t> flushed = pattern(3500, 11);
    f = kx_fopen("/mnt/idea0/2009-05-31/003/y.mvr", "wb");
    ASSERT_NE(nullptr, f);
    size_t at = 0;
    for (size_t n : {1000, 2000, 500}) {
        EXPECT_EQ(n, kx_fwrite(flushed.data() + at, 1, n, f));
        EXPECT_EQ(0, kx_fflush(f));
        at += n;
    }
    EXPECT_EQ(0, kx_fclose(f));

    const std::vector<kx_find_record> listed = list_channel(day, 2);
    ASSERT_EQ(3u, listed.size());
    const std::vector<uint8_t>* written[] = {&video, &picture, &flushed};
    const char* kinds[] = {"[M]", "[A]", "[R]"};
    const char* exts[] = {".mvr", ".jpg", ".mvr"};
    for (int i = 0; i < 3; i++) {
        const std::string name = listed[i].name;
        EXPECT_NE(std::string::npos, name.find(kinds[i])) << name;
        EXPECT_EQ(name.size() - 4, name.rfind(exts[i])) << name;
        const std::vector<uint8_t> want = padded(*written[i]);
        EXPECT_EQ(want.size(), listed[i].size) << name;
        EXPECT_TRUE(want == read_back(listed[i], day, 2)) << name;
    }
    // The first record started with its first write at 08:00:00 and ended
    // when it was closed, seven pieces later.
    EXPECT_EQ(0u, std::string(listed[0].name).find("08.00.00-08.00.07[M]")) << listed[0].name;
    // Written records carry the header room they reserved as their header word.
    uint32_t clus = 0;
    ASSERT_EQ(1, sscanf(strstr(listed[0].name, "[@"), "[@%x]", &clus));
    kx_dir_item item{};
    ASSERT_EQ(0, get_dir_item_info(vol.pdp(), clus, &item));
    EXPECT_EQ(ADAPT_WRITE_DATA_START / 512, item.head_sectors);
    EXPECT_EQ(2u, dir_item_record_kind(&item));
}

// The adapter stops taking record data when fewer than three clusters remain
// above the recording head.
TEST_F(WriteFixture, DiskOverNearAFullPartition) {
    kx_driver* pdp = vol.pdp();
    RecordLayout layout(pdp);
    const uint32_t ring = pdp->total_clus - pdp->rev_clus;
    for (uint32_t i = 0; i + 3 < ring; i++) {
        layout_record r;
        r.start = time_add(at(2009, 5, 31, 1, 0, 0), (int32_t)i * 10);
        r.end = time_add(r.start, 5);
        r.write_data = false;
        layout.write(r);
    }
    ASSERT_EQ(3u, pdp->total_clus - pdp->current_cluster - 1);
    const std::vector<uint8_t> data = pattern(4096, 1);
    KXFILE f = kx_fopen("/mnt/idea0/2009-05-31/001/a.mvr", "wb");
    ASSERT_NE(nullptr, f);
    layout_record r;
    r.start = at(2009, 5, 31, 7, 0, 0);
    r.end = time_add(r.start, 5);
    r.write_data = false;
    layout.write(r);
    vol.log.clear();
    EXPECT_EQ(0u, kx_fwrite(data.data(), 1, data.size(), f));
    EXPECT_EQ("kx_fwrite:0, 0 disk over!\n", vol.log.text());
    EXPECT_EQ(0, kx_fclose(f));
}

// Data the disk refuses is reported lost when the record is closed, never
// closed as whole.
TEST_F(WriteFixture, FailedWriteIsReportedAtClose) {
    KXFILE f = kx_fopen("/mnt/idea0/2009-05-31/001/a.mvr", "wb");
    ASSERT_NE(nullptr, f);
    const std::vector<uint8_t> data = pattern(1000, 3);
    ASSERT_EQ(data.size(), kx_fwrite(data.data(), 1, data.size(), f));
    kx_driver* pdp = vol.pdp();
    ide_inject_fault(0, clus_sector(pdp, pdp->rev_clus), clus_sector(pdp, pdp->total_clus) - 1,
                     IDE_FAULT_WRITE);
    EXPECT_EQ(-1, kx_fflush(f));
    EXPECT_EQ(-1, kx_fclose(f));
    ide_clear_faults();
}

}  // namespace
