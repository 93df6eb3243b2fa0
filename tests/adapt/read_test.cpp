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

    layout_record record(uint8_t channel, packed_time start, uint32_t clusters, uint16_t end_length) {
        layout_record r;
        r.channel = channel;
        r.start = start;
        r.end = time_add(start, 600);
        r.clusters = clusters;
        r.end_length = end_length;
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

TEST_F(ReadFixture, EveryByteAfterTheHeaderForAnyRequestMix) {
    // Odd lengths in sectors: the last sector is data too.
    layout_record video = record(0, at(2009, 5, 31, 9, 0, 0), 5, 37);
    video.head_sectors = 2;
    layout_record picture = record(0, at(2009, 5, 31, 10, 0, 0), 3, 1);
    picture.media_type = 0;
    picture.head_sectors = 1;
    layout.write(video);
    layout.write(picture);

    const std::vector<std::vector<size_t>> mixes = {
        {1},         {511},   {512}, {32768}, {1 << 20}, {1, 511, 512, 33, 32768, 1000, 1 << 20, 4096, 7},
        {300, 1 << 20},  // unaligned position, then a large request
    };
    for (const layout_record* r : {&video, &picture}) {
        const std::string name = listed_name(*r);
        const std::vector<uint8_t> want = expected(*r, r->head_sectors);
        for (const kx_find_record& f : list_channel(r->start, r->channel)) {
            if (name == f.name) {
                EXPECT_EQ(want.size(), f.size) << name;
            }
        }
        for (const std::vector<size_t>& mix : mixes) {
            const std::vector<uint8_t> got = read_path(record_file(*r, name), mix);
            ASSERT_EQ(want.size(), got.size()) << name << " first request " << mix[0];
            EXPECT_TRUE(want == got) << name << " first request " << mix[0];
        }
    }
    EXPECT_NE(std::string::npos, listed_name(picture).find(".jpg"));
}

// The file ends where the record ends: a large read with less left returns
// what is left, then 0; a chain that steps over a bad cluster reads whole.
TEST_F(ReadFixture, EndOfRecordAndBadClusterInTheChain) {
    layout_record first = record(3, at(2009, 5, 31, 9, 0, 0), 1, SPC);
    layout.write(first);
    layout.mark_bad(first.chain.front() + 2, 3);
    layout_record r = record(3, at(2009, 5, 31, 9, 30, 0), 11, 0);  // 11 full clusters = 352 KiB
    layout.write(r);
    ASSERT_EQ(11u, r.chain.size());

    KXFILE f = kx_fopen(record_file(r, listed_name(r)).c_str(), "rb");
    ASSERT_NE(nullptr, f);
    std::vector<uint8_t> buf(1 << 20);
    ASSERT_EQ(0, kx_fseek(f, -300 * 1024, 2));
    EXPECT_EQ(300u * 1024, kx_fread(buf.data(), 1, buf.size(), f));
    EXPECT_TRUE(layout_expected(r, 11 * SPC * 512 - 300 * 1024, 300 * 1024) ==
                std::vector<uint8_t>(buf.begin(), buf.begin() + 300 * 1024));
    EXPECT_EQ(0u, kx_fread(buf.data(), 1, buf.size(), f));
    EXPECT_EQ(0u, kx_fread(buf.data(), 1, 1, f));
    EXPECT_EQ(0, kx_fclose(f));
    EXPECT_TRUE(expected(r, 0) == read_path(record_file(r, listed_name(r)), {32768}));
}

TEST_F(ReadFixture, SeekWithEveryOrigin) {
    layout_record r = record(1, at(2009, 5, 31, 11, 0, 0), 4, 9);
    r.head_sectors = 4;
    layout.write(r);
    const std::vector<uint8_t> all = expected(r, 4);  // virtual byte v is all[v - 2048]
    KXFILE f = kx_fopen(record_file(r, listed_name(r)).c_str(), "rb");
    ASSERT_NE(nullptr, f);
    uint8_t b[700];
    auto read_at = [&](size_t from, size_t n) {
        return kx_fread(b, 1, n, f) == n && memcmp(b, all.data() + from, n) == 0;
    };
    EXPECT_TRUE(read_at(0, 10));  // the first read starts after the header
    EXPECT_EQ(0, kx_fseek(f, 0, 0));
    EXPECT_TRUE(read_at(0, 700));
    EXPECT_EQ(0, kx_fseek(f, 70000, 0));  // origin 0 counts from the data's start
    EXPECT_TRUE(read_at(70000, 513));
    EXPECT_EQ(0, kx_fseek(f, -1000, 1));
    EXPECT_TRUE(read_at(70000 + 513 - 1000, 700));
    EXPECT_EQ(0, kx_fseek(f, -100, 2));
    EXPECT_EQ(100u, kx_fread(b, 1, 700, f));
    EXPECT_EQ(0, memcmp(b, all.data() + all.size() - 100, 100));
    EXPECT_EQ(0, kx_fseek(f, 0, 2));
    EXPECT_EQ(0u, kx_fread(b, 1, 1, f));
    // Outside [data start, end], or no such origin: refused, position kept.
    EXPECT_EQ(0, kx_fseek(f, 5, 0));
    EXPECT_EQ(-1, kx_fseek(f, -1, 0));
    EXPECT_EQ(-1, kx_fseek(f, 1, 2));
    EXPECT_EQ(-1, kx_fseek(f, INT64_MAX, 1));
    EXPECT_EQ(-1, kx_fseek(f, 0, 3));
    EXPECT_TRUE(read_at(5, 20));
    EXPECT_EQ(0, kx_fclose(f));
}

// A record whose header word is 0 takes it from its "KXII" head: the listing
// counts it out of the size without writing anything, opening stores it.
TEST_F(ReadFixture, HeaderWordFromKxiiHead) {
    layout_record r = record(2, at(2009, 5, 31, 12, 0, 0), 3, 5);
    r.kxii_bytes = 3 * 512;
    layout.write(r);
    const uint32_t clus = r.chain.front();
    const std::string name = listed_name(r);
    const std::vector<kx_find_record> listed = list_channel(r.start, 2);
    ASSERT_EQ(1u, listed.size());
    EXPECT_EQ((uint64_t)(layout.sectors(r) - 3) * 512, listed[0].size);
    kx_dir_item item{};
    ASSERT_EQ(0, get_dir_item_info(vol.pdp(), clus, &item));
    EXPECT_EQ(0, item.head_sectors);

    const std::vector<uint8_t> got = read_path(record_file(r, name), {1 << 20});
    EXPECT_TRUE(expected(r, 3) == got);
    EXPECT_EQ(listed[0].size, got.size());
    ASSERT_EQ(0, get_dir_item_info(vol.pdp(), clus, &item));
    EXPECT_EQ(3, item.head_sectors);
}

// The head's length comes from the disk: one that cannot belong to the record
// is ignored (the whole record is delivered), one that is not whole sectors
// counts its whole sectors; reads stay inside the record either way.
TEST_F(ReadFixture, ImplausibleKxiiLengthsStayInsideTheRecord) {
    struct Case {
        uint32_t kxii;
        uint32_t head;
    };
    const Case cases[] = {{0xFFFFFFFF, 0}, {200 * 512, 0}, {0x2000000, 0}, {1000, 1}, {2 * 64 * 512 + 512, 0}};
    packed_time t = at(2009, 5, 31, 13, 0, 0);
    for (const Case& c : cases) {
        layout_record r = record(4, t, 2, 64);
        r.kxii_bytes = c.kxii;
        layout.write(r);
        t = time_add(t, 1200);
        const std::string name = listed_name(r);
        const std::vector<uint8_t> got = read_path(record_file(r, name), {4096});
        EXPECT_TRUE(expected(r, c.head) == got) << c.kxii;
        kx_dir_item item{};
        ASSERT_EQ(0, get_dir_item_info(vol.pdp(), r.chain.front(), &item));
        EXPECT_EQ(c.head, item.head_sectors) << c.kxii;
    }
}

// A name whose cluster is 0 is found by its start time and sequence number:
// two records that began in the same second open as themselves.
TEST_F(ReadFixture, ClusterZeroFoundByTimeAndSequence) {
    std::vector<layout_record> batch = {record(5, at(2009, 5, 31, 14, 0, 0), 2, 3),
                                        record(5, at(2009, 5, 31, 14, 0, 0), 3, 7)};
    layout.write(batch);
    ASSERT_EQ(0, batch[0].seq);
    ASSERT_EQ(1, batch[1].seq);
    for (const layout_record& r : batch) {
        std::string name = listed_name(r);
        const size_t at_sign = name.find("[@");
        name.replace(at_sign, name.find(']', at_sign) - at_sign + 1, "[@0]");
        EXPECT_TRUE(expected(r, 0) == read_path(record_file(r, name), {32768})) << name;
    }
    EXPECT_EQ(nullptr, kx_fopen((channel_dir(batch[0].start, 5) + "/14.00.01-14.10.00[R][@0][0].mvr").c_str(), "rb"));
    EXPECT_TRUE(vol.log.contains("No file /mnt/idea0/2009-05-31/006/14.00.01-14.10.00[R][@0][0].mvr!\n"));
}

// Lengths, positions and listed sizes are 64-bit: a record of more than 4 GiB
// is neither cut nor wrapped.
TEST(ReadLarge, RecordOfMoreThanFourGiB) {
    constexpr uint32_t spc = 4096;
    Volume vol(6656 + (uint64_t)2300 * spc, spc);
    RecordLayout layout(vol.pdp());
    layout_record r;
    r.channel = 0;
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
    // Mark the record's last sectors, beyond 4 GiB, so the read can be checked.
    std::vector<uint8_t> tail(3 * 512);
    for (size_t i = 0; i < tail.size(); i++) tail[i] = (uint8_t)(i * 7 + 1);
    ASSERT_EQ(0, disk_write(0, 3, clus_sector(vol.pdp(), r.chain.back()), tail.data()));

    KXFILE f = kx_fopen(record_file(r, listed[0].name).c_str(), "rb");
    ASSERT_NE(nullptr, f);
    std::vector<uint8_t> buf(1 << 20);
    ASSERT_EQ(0, kx_fseek(f, -(int64_t)(1 << 20), 2));
    ASSERT_EQ((size_t)1 << 20, kx_fread(buf.data(), 1, buf.size(), f));
    EXPECT_EQ(0, memcmp(buf.data() + buf.size() - tail.size(), tail.data(), tail.size()));
    EXPECT_EQ(0u, kx_fread(buf.data(), 1, buf.size(), f));
    ASSERT_EQ(0, kx_fseek(f, (int64_t)data - 700, 0));
    ASSERT_EQ(700u, kx_fread(buf.data(), 1, 1000, f));
    EXPECT_EQ(0, memcmp(buf.data(), tail.data() + tail.size() - 700, 700));
    EXPECT_EQ(0, kx_fclose(f));
}

}  // namespace
