// Reading records through the path adapter.
#include "adapt_fixture.h"

namespace {

// Every byte after the header up to the record's exact length, for requests
// of every size and alignment, across cluster boundaries and at the end; the
// listed size is what a full read returns.
TEST_F(DayTest, EveryByteAfterTheHeaderForAnyRequestMix) {
    const std::vector<size_t> mixes[] = {
        {1}, {511}, {512}, {32768}, {1 << 20}, {300, 1 << 20}, {1, 511, 512, 33, 32768, 1000, 1 << 20, 7}};
    const std::vector<kx_find_record> listed = listing("/mnt/idea0/2009-05-31/001/*");
    ASSERT_EQ(4u, listed.size());
    for (int i = 0; i < 3; i++) {
        const layout_record& r = i == 0 ? night : i == 1 ? video : picture;
        const std::vector<uint8_t> want = expected(r, r.head_sectors);
        EXPECT_EQ(want.size(), listed[i].size);
        for (const std::vector<size_t>& mix : mixes)
            EXPECT_TRUE(want == read_path(path_of(r), mix)) << listed[i].name << " " << mix.back();
    }
}

// A header word of 0 is taken from the record's "KXII" head: the listing
// counts the header out of the size and writes nothing, opening stores the
// word on the disk. A length the 16-bit word cannot hold or that runs past the
// record is ignored; one that is not whole sectors counts its whole sectors.
// The index part is the header, cut to the record where the word runs past it.
TEST_F(DayTest, HeaderLengthFromKxiiHead) {
    const uint32_t cases[][2] = {{8 * 512, 8},   {1000, 1},      {0xFFFFFFFF, 0},
                                 {200 * 512, 0}, {0x2000000, 0}, {129 * 512, 0}};
    int minute = 0;
    for (const auto& [kxii, head] : cases) {
        layout_record r = rec(4, at(2009, 5, 31, 13, minute++), at(2009, 5, 31, 14), 2, 64);  // 128 sectors
        r.kxii_bytes = kxii;
        r = lay(r);
        kx_dir_item item{};
        EXPECT_EQ((128 - head) * 512, listing("/mnt/idea0/2009-05-31/005/*").back().size) << kxii;
        EXPECT_TRUE(get_dir_item_info(pdp(), r.chain.front(), &item) == 0 && item.head_sectors == 0) << kxii;
        const std::string path = path_of(r);
        EXPECT_TRUE(expected(r, head) == read_path(path, {4096})) << kxii;
        // Read from the image, past the sector cache: the stored word reaches the disk.
        const uint32_t c = r.chain.front();
        dir_item_decode(disk->sector(2048 + pdp()->dir_off + c / 16).data() + c % 16 * 32, &item);
        EXPECT_EQ(head, item.head_sectors) << kxii;
        const std::string index_part = path.substr(0, path.size() - 3) + "idx";
        EXPECT_TRUE(layout_expected(r, 0, head * 512) ==
                    (head ? read_path(index_part, {1000}) : std::vector<uint8_t>{}));
    }
    // A stored word past the record's end: the index part is the record, no more.
    const layout_record past = lay(rec(4, at(2009, 5, 31, 15), at(2009, 5, 31, 16), 1, 4, 200));  // 4 sectors
    char index_part[96];
    snprintf(index_part, sizeof index_part, "/mnt/idea0/2009-05-31/005/15.00.00-16.00.00[R][@%x][0].idx",
             past.chain.front());
    EXPECT_TRUE(layout_expected(past, 0, 4 * 512) == read_path(index_part, {1000}));
}

// Lengths, positions and sizes are 64-bit: a record of more than 4 GiB is
// neither cut nor wrapped.
TEST_F(AdaptTest, ReadsARecordOfMoreThanFourGiB) {
    ASSERT_TRUE(mount(1, 6656 + 2300ull * 4096, 4096));
    layout_record r = rec(0, at(2009, 5, 31, 9), at(2009, 5, 31, 20), 2100, 3, 1);
    r.write_data = false;
    r = lay(r);
    const uint64_t data = (2099ull * 4096 + 3 - 1) * 512;
    EXPECT_EQ(data, listing("/mnt/idea0/2009-05-31/001/*").at(0).size);
    const std::vector<uint8_t> tail = pattern(3 * 512, 1);  // the last sectors, beyond 4 GiB
    ASSERT_EQ(0, disk_write(0, 3, clus_sector(pdp(), r.chain.back()), tail.data()));
    KXFILE f = kx_fopen(path_of(r).c_str(), "rb");
    std::vector<uint8_t> buf(1 << 20);
    ASSERT_EQ(0, kx_fseek(f, -(int64_t)buf.size(), 2));
    ASSERT_EQ(buf.size(), kx_fread(buf.data(), 1, buf.size(), f));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), buf.end() - tail.size()));
    ASSERT_EQ(0, kx_fseek(f, (int64_t)data - 700, 0));
    ASSERT_EQ(700u, kx_fread(buf.data(), 1, 1000, f));
    EXPECT_TRUE(std::equal(tail.end() - 700, tail.end(), buf.begin()));
    EXPECT_EQ(0, kx_fclose(f));
}

}  // namespace
