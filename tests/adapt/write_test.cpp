// Writing records through the path adapter, found again by its listings and
// its reader.
#include "adapt_fixture.h"

namespace {

// A video written in pieces of every size (the large aligned first one goes
// straight to the writer), a picture, and a record flushed after every piece
// (the data that follows replaces the padding): each is listed with its kind
// and extension and reads back as written, then 0xFF up to an even sector
// count. A writing handle reads nothing and lists nothing.
TEST_F(AdaptTest, WrittenRecordsAreListedAndReadBack) {
    ASSERT_TRUE(mount_ring(64, 200));
    const std::string dir = "/mnt/idea0/2009-05-31/003/";
    const char* files[][2] = {
        {"12.00.00-12.00.00[M][@0][0].mvr", "[M]"}, {"x[A][@0][0].jpg", "[A]"}, {"y.mvr", "[R]"}};
    const std::vector<size_t> pieces[] = {{65536, 1, 511, 1000, 70000, 512}, {1000}, {1000, 2000, 500}};
    const std::vector<uint8_t> data[] = {pattern(138584, 7), pattern(3000, 9), pattern(3500, 11)};
    alignas(512) static uint8_t staging[1 << 20];
    kx_find_record listed{};
    for (int k = 0; k < 3; k++) {
        KXFILE f = kx_fopen((dir + files[k][0]).c_str(), "wb");
        for (size_t done = 0, i = 0; done < data[k].size(); i++, pc_clock_advance_ms(1000)) {
            const size_t n = std::min(pieces[k][i % pieces[k].size()], data[k].size() - done);
            memcpy(staging, &data[k][done], n);
            EXPECT_EQ(n, kx_fwrite(staging, 1, n, f));
            EXPECT_EQ(0, k == 2 ? kx_fflush(f) : 0);
            done += n;
        }
        EXPECT_TRUE(kx_fseek(f, -10, 1) == 0 && kx_fread(staging, 1, 10, f) == 0);
        EXPECT_EQ(-1, kx_findnext((intptr_t)f, &listed));
        EXPECT_EQ(0, kx_fclose(f));
    }
    const std::vector<kx_find_record> found = listing(dir + "*");
    ASSERT_EQ(3u, found.size());
    for (int k = 0; k < 3; k++) {
        const std::string name = found[k].name;
        EXPECT_NE(std::string::npos, name.find(files[k][1])) << name;
        EXPECT_EQ(strrchr(files[k][0], '.'), name.substr(name.rfind('.'))) << name;
        std::vector<uint8_t> want = data[k];
        want.resize((want.size() + 1023) / 1024 * 1024, 0xFF);
        EXPECT_EQ(want.size(), found[k].size) << name;
        EXPECT_TRUE(want == read_path(dir + name, {1 << 20})) << name;
    }
    // The record began with its first write and ended at its close.
    EXPECT_EQ(0u, std::string(found[0].name).find("12.00.00-12.00.07[M]")) << found[0].name;
}

}  // namespace
