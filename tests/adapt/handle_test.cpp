// Adapter handles, the lock hooks around every operation, and the buffer
// pools.
#include <gtest/gtest.h>

#include <algorithm>

#include "adapt_support.h"

using namespace adapt_test;

namespace {

struct HandleFixture : ::testing::Test {
    Volume vol{part_sectors(64, 100), 64};
    layout_record video, picture;

    void SetUp() override {
        RecordLayout layout(vol.pdp());
        video.start = at(2009, 5, 31, 9, 0, 0);
        video.end = at(2009, 5, 31, 9, 10, 0);
        video.clusters = 2;
        picture = video;
        picture.start = at(2009, 5, 31, 10, 0, 0);
        picture.end = at(2009, 5, 31, 10, 1, 0);
        picture.media_type = 0;
        layout.write(video);
        layout.write(picture);
        vol.log.clear();
    }
    std::string path(const layout_record& r) { return record_file(r, listed_name(r)); }
};

TEST_F(HandleFixture, TheTwoHundredFiftySeventhHandleFails) {
    const std::string video_path = path(video);
    std::vector<KXFILE> open;
    for (int i = 0; i < KX_MAX_FILES; i++) {
        open.push_back(kx_fopen("/mnt/idea0/DVRWorkDirectory", "rb"));
        ASSERT_NE(nullptr, open.back()) << i;
    }
    vol.log.clear();
    kx_find_record f{};
    EXPECT_EQ(-1, kx_findfirst("/mnt/idea0/2009-05-31/001/*", &f));
    EXPECT_EQ(-1, kx_findfirst("/mnt/idea0", &f));
    EXPECT_EQ(nullptr, kx_fopen(video_path.c_str(), "rb"));
    EXPECT_EQ(nullptr, kx_fopen("/mnt/idea0/DVRWorkDirectory", "rb"));
    const std::string listing = "none available handle\nkx_findfirst() Get the Handle error!\n";
    const std::string file = "none available handle\nGet the Handle error!\n";
    EXPECT_EQ(listing + listing + file + file, vol.log.text());
    EXPECT_EQ(0, kx_fclose(open.back()));
    open.pop_back();
    const intptr_t h = kx_findfirst("/mnt/idea0/2009-05-31/001/*", &f);
    EXPECT_NE(-1, h);
    EXPECT_EQ(0, kx_findclose(h));
    for (KXFILE o : open) EXPECT_EQ(0, kx_fclose(o));
}

// A handle from before a re-initialisation, or a pointer that is not an
// entry, is refused with the "INVALID HANDLE" line and the failure value.
TEST_F(HandleFixture, StaleAndForeignHandlesAreRefused) {
    KXFILE f = kx_fopen(path(video).c_str(), "rb");
    ASSERT_NE(nullptr, f);
    kx_find_record rec{};
    const intptr_t listing = kx_findfirst("/mnt/idea0", &rec);
    ASSERT_NE(-1, listing);
    int count = 0;
    packed_time shutdown = 0;
    ASSERT_EQ(0, kx_file_sys_init(&count, &shutdown));
    vol.log.clear();

    uint8_t buf[512];
    EXPECT_EQ(0u, kx_fread(buf, 1, sizeof buf, f));
    EXPECT_EQ(-1, kx_fseek(f, 0, 0));
    EXPECT_EQ(-1, kx_fflush(f));
    EXPECT_EQ(0u, kx_fwrite(buf, 1, sizeof buf, f));
    EXPECT_EQ(-1, kx_findnext(listing, &rec));
    const std::string text = vol.log.text();
    EXPECT_EQ(5, std::count(text.begin(), text.end(), '\n'));
    const std::string line = "INVALID HANDLE: .\\Src\\adapt,";
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
        EXPECT_EQ(0, text.compare(at, line.size(), line)) << text;

    vol.log.clear();
    KXFILE inside = reinterpret_cast<KXFILE>(reinterpret_cast<char*>(&file_table[3]) + 8);
    EXPECT_EQ(0, kx_fclose(inside));
    EXPECT_EQ(0u, vol.log.text().find("INVALID HANDLE: .\\Src\\adapt,"));
    EXPECT_EQ(0u, kx_fread(buf, 1, 1, nullptr));
    EXPECT_EQ(-1, kx_findclose(-1));
}

// The host's lock is taken once around every operation and given back on
// every way out, whether it succeeds or fails; operations that call others
// inside never take it twice (a non-recursive host lock would hang).
int g_depth, g_max_depth, g_locks, g_unlocks;
void count_lock() {
    g_locks++;
    g_max_depth = std::max(g_max_depth, ++g_depth);
}
void count_unlock() {
    g_unlocks++;
    g_depth--;
}

TEST_F(HandleFixture, LockAroundEveryOperationOnEveryWayOut) {
    g_depth = g_max_depth = g_locks = g_unlocks = 0;
    const kx_hooks hooks = {nullptr, count_lock, count_unlock};
    kx_set_hooks(&hooks);

    uint8_t buf[4096];
    kx_find_record rec{};
    for (const char* p : {"/mnt/idea0", "/mnt/idea0/2009-05-31/001/*", "/mnt/idea2/2009-05-31/001/*",
                          "/mnt/idea0/2009-05-30/001/*"}) {
        const intptr_t h = kx_findfirst(p, &rec);
        if (h == -1) continue;
        while (kx_findnext(h, &rec) == 0) {
        }
        kx_findclose(h);
    }
    for (const std::string& p : {path(video), path(picture), std::string("/mnt/idea0/2009-05-31/001/x.mvr"),
                                 std::string("/mnt/idea3/DVRWorkDirectory"),
                                 std::string("/mnt/idea0/player/x"), std::string("/mnt/idea0/log/x"),
                                 std::string("/mnt/idea0/DVRWorkDirectory"), std::string("/nothing")}) {
        for (const char* mode : {"rb", "wb"}) {
            KXFILE f = kx_fopen(p.c_str(), mode);
            if (f == nullptr) continue;
            kx_fread(buf, 1, sizeof buf, f);
            kx_fseek(f, 0, 0);
            kx_fwrite(buf, 1, 16, f);
            kx_fflush(f);
            kx_fclose(f);
            kx_fread(buf, 1, sizeof buf, f);  // closed: refused
        }
    }
    kx_set_hooks(nullptr);
    EXPECT_GT(g_locks, 30);
    EXPECT_EQ(g_locks, g_unlocks);
    EXPECT_EQ(1, g_max_depth);
    EXPECT_EQ(0, g_depth);
}

// The pools grow four blocks at a time and never give blocks back: once a
// number of handles has been open together, opening as many again takes no
// new memory.
TEST_F(HandleFixture, PoolsGrowFourBlocksAtATimeAndOnlyGrow) {
    for (const layout_record* r : {&video, &picture}) {
        const std::string grow = r == &video ? "buffer grow 133128 bytes\n" : "buffer grow 18440 bytes\n";
        const std::string p = path(*r);
        std::vector<KXFILE> open;
        vol.log.clear();
        while (!vol.log.contains(grow) && open.size() < 200) open.push_back(kx_fopen(p.c_str(), "rb"));
        ASSERT_TRUE(vol.log.contains(grow)) << grow;
        for (int i = 0; i < 4; i++) open.push_back(kx_fopen(p.c_str(), "rb"));
        EXPECT_EQ(2u, vol.log.text().size() / grow.size()) << vol.log.text();
        for (KXFILE f : open) ASSERT_EQ(0, kx_fclose(f));
        vol.log.clear();
        for (int round = 0; round < 3; round++) {
            std::vector<KXFILE> again;
            for (size_t i = 0; i < open.size(); i++) again.push_back(kx_fopen(p.c_str(), "rb"));
            for (KXFILE f : again) ASSERT_EQ(0, kx_fclose(f));
        }
        EXPECT_FALSE(vol.log.contains("buffer grow")) << vol.log.text();
    }
}

}  // namespace
