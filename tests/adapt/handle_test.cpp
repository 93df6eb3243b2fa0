// Adapter handles: the table's limit, the host's lock around every
// operation, and the buffer pools.
#include "adapt_fixture.h"

namespace {

TEST_F(DayTest, TheTwoHundredFiftySeventhHandleFails) {
    const std::string video_path = path_of(video);
    std::vector<KXFILE> open(KX_MAX_FILES);
    for (KXFILE& f : open) ASSERT_NE(nullptr, f = kx_fopen("/mnt/idea0/DVRWorkDirectory", "rb"));
    kx_find_record f{};
    EXPECT_EQ(-1, kx_findfirst("/mnt/idea0/2009-05-31/001/*", &f));
    EXPECT_EQ(-1, kx_findfirst("/mnt/idea0", &f));
    EXPECT_EQ(nullptr, kx_fopen(video_path.c_str(), "rb"));
    EXPECT_EQ(nullptr, kx_fopen("/mnt/idea0/DVRWorkDirectory", "rb"));
    const std::string listing = "none available handle\nkx_findfirst() Get the Handle error!\n",
                      file = "none available handle\nGet the Handle error!\n";
    EXPECT_EQ(listing + listing + file + file, log().text());
    for (KXFILE o : open) EXPECT_EQ(0, kx_fclose(o));
    EXPECT_EQ(4u, names("/mnt/idea0/2009-05-31/001/*").size());
}

// The host's lock is taken once around every operation and given back on
// every way out, success or failure; operations that call others inside
// never take it twice (a non-recursive host lock would hang).
int g_depth, g_max_depth;

TEST_F(DayTest, LockAroundEveryOperationOnEveryWayOut) {
    const kx_hooks hooks = {nullptr, [] { g_max_depth = std::max(g_max_depth, ++g_depth); },
                            [] { g_depth--; }};
    kx_set_hooks(&hooks);
    for (const char* p :
         {"/mnt/idea0", "/mnt/idea2", "/mnt/idea0/2009-05-31/001/*", "/mnt/idea0/2009-05-29/001/*"})
        names(p);
    const std::string paths[] = {path_of(video),
                                 "/mnt/idea0/2009-05-31/001/x.mvr",
                                 "/mnt/idea3/DVRWorkDirectory",
                                 "/mnt/idea0/player/x",
                                 "/mnt/idea0/log/x",
                                 "/mnt/idea0/DVRWorkDirectory"};
    uint8_t buf[4096];
    kx_find_record rec{};
    for (const std::string& p : paths)
        for (const char* mode : {"rb", "wb"}) {
            KXFILE f = kx_fopen(p.c_str(), mode);
            kx_fread(buf, 1, sizeof buf, f);
            kx_fseek(f, 0, 0);
            kx_fwrite(buf, 1, 16, f);
            kx_fflush(f);
            kx_findnext((intptr_t)f, &rec);
            kx_fclose(f);
        }
    EXPECT_EQ(1, g_max_depth);
    EXPECT_EQ(0, g_depth);
}

// Closing gives a handle's buffer back to its pool, a day listing's bitmap
// (a small-pool block) too: however often handles come and go, each pool
// grows at most once.
TEST_F(DayTest, BuffersGoBackToTheirPools) {
    const std::string video_path = path_of(video), picture_path = path_of(picture);
    log().clear();
    kx_find_record f{};
    for (int i = 0; i < 300; i++) {
        KXFILE v = kx_fopen(video_path.c_str(), "rb"), p = kx_fopen(picture_path.c_str(), "rb");
        const intptr_t days = kx_findfirst("/mnt/idea0", &f);
        ASSERT_TRUE(v != nullptr && p != nullptr && days != -1);
        ASSERT_EQ(0, kx_fclose(v) | kx_fclose(p) | kx_findclose(days));
    }
    const std::string text = log().text();
    EXPECT_LE(std::count(text.begin(), text.end(), '\n'), 2) << text;
}

}  // namespace
