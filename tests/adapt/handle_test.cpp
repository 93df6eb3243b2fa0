// Adapter handles: the table's limit.
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

}  // namespace
