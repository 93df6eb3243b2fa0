// Reading records through the path adapter: every byte after the header, for
// any mix of request sizes, with the header length from the item or from the
// record's "KXII" head; seeking; records of 4 GiB and more.
#include <gtest/gtest.h>

#include <cstring>

#include "adapt_support.h"
#include "meta/meta.h"

using namespace adapt_test;

namespace {

constexpr uint32_t SPC = 64;  // 32 KiB clusters: a 32 KiB request meets every boundary

struct ReadFixture : ::testing::Test {
    Volume vol{part_sectors(SPC, 200), SPC};
    RecordLayout layout{vol.pdp()};

    layout_record laid(uint8_t channel, packed_time start, uint32_t clusters, uint16_t end_length,
                       uint16_t head = 0, uint32_t kxii = 0, uint8_t media = 2) {
        layout_record r;
        r.channel = channel;
        r.start = start;
        r.end = time_add(start, 600);
        r.clusters = clusters;
        r.end_length = end_length;
        r.head_sectors = head;
        r.kxii_bytes = kxii;
        r.media_type = media;
        layout.write(r);
        return r;
    }
    // What a full read must deliver: the record's bytes after its header.
    std::vector<uint8_t> expected(const layout_record& r, uint32_t head_sectors) {
        const uint64_t all = (uint64_t)layout.sectors(r) * 512, head = (uint64_t)head_sectors * 512;
        return layout_expected(r, head, all - head);
    }
    std::vector<uint8_t> read_path(const std::string& path, const std::vector<size_t>& sizes) {
        KXFILE f = kx_fopen(path.c_str(), "rb");
        EXPECT_NE(nullptr, f) << path;
        if (f == nullptr) return {};
        std::vector<uint8_t> got = read_all(f, sizes);
        EXPECT_EQ(0, kx_fclose(f));
        return got;
    }
};

// Odd lengths in sectors (the last sector is data too), a video and a
// picture, requests of every size and position; the listed size is what a
// full read returns.
TEST_F(ReadFixture, EveryByteAfterTheHeaderForAnyRequestMix) {
    const layout_record video = laid(0, at(2009, 5, 31, 9, 0, 0), 5, 37, 2);
    const layout_record picture = laid(0, at(2009, 5, 31, 10, 0, 0), 3, 1, 1, 0, 0);
    const std::vector<std::vector<size_t>> mixes = {
        {1}, {511}, {512}, {32768}, {1 << 20}, {1, 511, 512, 33, 32768, 1000, 1 << 20, 7}, {300, 1 << 20}};
    const std::vector<kx_find_record> listed = list_channel(video.start, 0);
    ASSERT_EQ(2u, listed.size());
    for (int i = 0; i < 2; i++) {
        const layout_record& r = i == 0 ? video : picture;
        const std::vector<uint8_t> want = expected(r, r.head_sectors);
        EXPECT_EQ(want.size(), listed[i].size);
        EXPECT_EQ(i == 0 ? ".mvr" : ".jpg",
                  std::string(listed[i].name).substr(std::strlen(listed[i].name) - 4));
        for (const std::vector<size_t>& mix : mixes)
            EXPECT_TRUE(want == read_path(record_file(r, listed[i].name), mix))
                << listed[i].name << " " << mix[0];
    }
}

TEST_F(ReadFixture, SeekWithEveryOriginAndTheRecordsEnd) {
    const layout_record r = laid(1, at(2009, 5, 31, 11, 0, 0), 11, 9, 4);  // 649 sectors, 4 of header
    const std::vector<uint8_t> all = expected(r, 4);                       // virtual byte v is all[v - 2048]
    KXFILE f = kx_fopen(record_file(r, listed_name(r)).c_str(), "rb");
    ASSERT_NE(nullptr, f);
    std::vector<uint8_t> b(1 << 20);
    auto read_at = [&](size_t from, size_t n) {
        return kx_fread(b.data(), 1, n, f) == n && memcmp(b.data(), all.data() + from, n) == 0;
    };
    EXPECT_TRUE(read_at(0, 10));  // the first read starts after the header
    EXPECT_EQ(0, kx_fseek(f, 0, 0));
    EXPECT_TRUE(read_at(0, 700));
    EXPECT_EQ(0, kx_fseek(f, 70000, 0));  // origin 0 counts from the data's start
    EXPECT_TRUE(read_at(70000, 513));
    EXPECT_EQ(0, kx_fseek(f, -1000, 1));
    EXPECT_TRUE(read_at(70000 + 513 - 1000, 700));
    // A large read with less left returns what is left, then 0.
    EXPECT_EQ(0, kx_fseek(f, -300 * 1024, 2));
    EXPECT_EQ(300u * 1024, kx_fread(b.data(), 1, b.size(), f));
    EXPECT_EQ(0, memcmp(b.data(), all.data() + all.size() - 300 * 1024, 300 * 1024));
    EXPECT_EQ(0u, kx_fread(b.data(), 1, b.size(), f));
    EXPECT_EQ(0u, kx_fread(b.data(), 1, 1, f));
    // Outside [data start, end], or no such origin: refused, position kept.
    EXPECT_EQ(0, kx_fseek(f, 5, 0));
    const std::pair<int64_t, int> refused[] = {{-1, 0}, {1, 2}, {INT64_MAX, 1}, {0, 3}};
    for (auto [off, origin] : refused) EXPECT_EQ(-1, kx_fseek(f, off, origin)) << off << " " << origin;
    EXPECT_TRUE(read_at(5, 20));
    EXPECT_EQ(0, kx_fclose(f));
}

// A record whose header word is 0 takes it from its "KXII" head: the listing
// counts it out of the size without writing anything, opening stores it. The
// record's index part is its header, its summary index the header's last
// 4 KiB.
TEST_F(ReadFixture, HeaderFromKxiiHeadAndIndexParts) {
    const layout_record r = laid(2, at(2009, 5, 31, 12, 0, 0), 3, 5, 0, 8 * 512);
    const std::vector<kx_find_record> listed = list_channel(r.start, 2);
    ASSERT_EQ(1u, listed.size());
    EXPECT_EQ((uint64_t)(layout.sectors(r) - 8) * 512, listed[0].size);
    kx_dir_item item{};
    ASSERT_EQ(0, get_dir_item_info(vol.pdp(), r.chain.front(), &item));
    EXPECT_EQ(0, item.head_sectors);

    const std::string path = record_file(r, listed[0].name);
    EXPECT_TRUE(expected(r, 8) == read_path(path, {1 << 20}));
    ASSERT_EQ(0, get_dir_item_info(vol.pdp(), r.chain.front(), &item));
    EXPECT_EQ(8, item.head_sectors);

    const std::string base = path.substr(0, path.size() - 3);
    EXPECT_TRUE(layout_expected(r, 0, 8 * 512) == read_path(base + "idx", {1000}));
    KXFILE f = kx_fopen((base + "summary.idx").c_str(), "rb");
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(0, kx_fseek(f, r.chain.front(), 0));
    EXPECT_TRUE(layout_expected(r, 0, 4096) == read_all(f, {3000}));
    EXPECT_EQ(0, kx_fclose(f));
}

// The head's length comes from the disk: one that cannot belong to the record
// is ignored (the whole record is delivered), one that is not whole sectors
// counts its whole sectors; reads stay inside the record either way.
TEST_F(ReadFixture, ImplausibleKxiiLengthsStayInsideTheRecord) {
    const uint32_t cases[][2] = {{0xFFFFFFFF, 0}, {200 * 512, 0}, {0x2000000, 0}, {1000, 1}, {129 * 512, 0}};
    packed_time t = at(2009, 5, 31, 13, 0, 0);
    for (const auto& [kxii, head] : cases) {
        const layout_record r = laid(4, t, 2, 64, 0, kxii);  // 128 sectors
        t = time_add(t, 1200);
        EXPECT_TRUE(expected(r, head) == read_path(record_file(r, listed_name(r)), {4096})) << kxii;
        kx_dir_item item{};
        ASSERT_EQ(0, get_dir_item_info(vol.pdp(), r.chain.front(), &item));
        EXPECT_EQ(head, item.head_sectors) << kxii;
    }
}

// A name whose cluster is 0 is found by its start time and sequence number:
// two records that began in the same second open as themselves; a name that
// describes no record opens nothing.
TEST_F(ReadFixture, ClusterZeroFoundByTimeAndSequence) {
    layout_record a, b;
    for (layout_record* r : {&a, &b}) {
        r->channel = 5;
        r->start = at(2009, 5, 31, 14, 0, 0);
        r->end = at(2009, 5, 31, 14, 10, 0);
        r->clusters = r == &a ? 2 : 3;
    }
    std::vector<layout_record> batch = {a, b};
    layout.write(batch);
    ASSERT_EQ(0, batch[0].seq);
    ASSERT_EQ(1, batch[1].seq);
    for (const layout_record& r : batch) {
        std::string name = listed_name(r);
        const size_t at_sign = name.find("[@");
        name.replace(at_sign, name.find(']', at_sign) - at_sign + 1, "[@0]");
        EXPECT_TRUE(expected(r, 0) == read_path(record_file(r, name), {32768})) << name;
    }
    const std::string none = channel_dir(a.start, 5) + "/14.00.01-14.10.00[R][@0][0].mvr";
    EXPECT_EQ(nullptr, kx_fopen(none.c_str(), "rb"));
    EXPECT_TRUE(vol.log.contains("No file " + none + "!\n"));
}

// Lengths, positions and listed sizes are 64-bit: a record of more than 4 GiB
// is neither cut nor wrapped.
TEST(ReadLarge, RecordOfMoreThanFourGiB) {
    constexpr uint32_t spc = 4096;
    Volume vol(6656 + (uint64_t)2300 * spc, spc);
    RecordLayout layout(vol.pdp());
    layout_record r;
    r.start = at(2009, 5, 31, 9, 0, 0);
    r.end = at(2009, 5, 31, 20, 0, 0);
    r.clusters = 2100;
    r.end_length = 3;
    r.head_sectors = 1;
    r.write_data = false;
    layout.write(r);
    const uint64_t data = ((uint64_t)2099 * spc + 3 - 1) * 512;
    ASSERT_GT(data, 1ull << 32);
    const std::vector<kx_find_record> listed = list_channel(r.start, 0);
    ASSERT_EQ(1u, listed.size());
    EXPECT_EQ(data, listed[0].size);
    // The record's last sectors, beyond 4 GiB, carry a mark to read back.
    std::vector<uint8_t> tail(3 * 512);
    for (size_t i = 0; i < tail.size(); i++) tail[i] = (uint8_t)(i * 7 + 1);
    ASSERT_EQ(0, disk_write(0, 3, clus_sector(vol.pdp(), r.chain.back()), tail.data()));

    KXFILE f = kx_fopen(record_file(r, listed[0].name).c_str(), "rb");
    ASSERT_NE(nullptr, f);
    std::vector<uint8_t> buf(1 << 20);
    ASSERT_EQ(0, kx_fseek(f, -(int64_t)buf.size(), 2));
    ASSERT_EQ(buf.size(), kx_fread(buf.data(), 1, buf.size(), f));
    EXPECT_EQ(0, memcmp(buf.data() + buf.size() - tail.size(), tail.data(), tail.size()));
    ASSERT_EQ(0, kx_fseek(f, (int64_t)data - 700, 0));
    ASSERT_EQ(700u, kx_fread(buf.data(), 1, 1000, f));
    EXPECT_EQ(0, memcmp(buf.data(), tail.data() + tail.size() - 700, 700));
    EXPECT_EQ(0, kx_fclose(f));
}

}  // namespace
