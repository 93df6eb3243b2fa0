// Adapter handles: the table's limit and the buffer pools.
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
