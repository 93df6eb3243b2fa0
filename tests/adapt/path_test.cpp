// Virtual paths and record names: made, taken apart again, and refused whole
// when malformed or hostile.
#include "adapt_fixture.h"

namespace {

// The name a listing gives a record whose first item is at cluster clus.
std::string name_of(uint32_t kind, uint32_t media, uint8_t seq, uint32_t clus) {
    kx_dir_item it{};
    make_dir_item(&it, 0, media, kind, 0, 1, 0, clus, 1, 0);
    it.start_time = at(2012, 2, 29, 23, 59, 59);
    it.end_time = at(2012, 3, 1, 0, 10, 5);
    it.same_second_seq = seq;
    char name[112];
    format_record_name(name, sizeof name, &it, clus);
    return name;
}

TEST(Paths, RecordNamesParseBackForEveryKindMediaAndCluster) {
    EXPECT_EQ("23.59.59-00.10.05[R][@12c][0].mvr", name_of(0, 2, 0, 300));
    EXPECT_EQ("23.59.59-00.10.05[H][@0][255].jpg", name_of(4, 0, 255, 0));
    const char* letters[] = {"R", "A", "M", "C", "H"};
    for (uint32_t kind = 0; kind <= 4; kind++) {
        EXPECT_STREQ(letters[kind], record_kind_letter(kind));
        EXPECT_EQ(kind, record_kind_from_letter(letters[kind]));
        for (uint32_t media : {0u, 2u})
            for (uint32_t clus : {0u, 300u, 0x3A4F1u, 0xFFFFFFFFu}) {
                // Disk 'c', partition 3, channel directory "016" (channel 15).
                const std::string path = "/mnt/idec3/2012-02-29/016/" + name_of(kind, media, kind * 50, clus);
                record_path rp;
                ASSERT_EQ(PATH_MATCHED, parse_record_path(path.c_str(), &rp)) << path;
                char again[160];
                snprintf(again, sizeof again,
                         "/mnt/ide%c%d/%04d-%02d-%02d/%03d/%02d.%02d.%02d-%02d.%02d.%02d[%s][@%x][%u].%s",
                         'a' + rp.disk, rp.part, rp.year, rp.month, rp.day, rp.channel + 1, rp.start_hour,
                         rp.start_minute, rp.start_second, rp.end_hour, rp.end_minute, rp.end_second,
                         letters[rp.record_kind % 5], rp.cluster, rp.seq, rp.ext);
                EXPECT_EQ(path, again);
                EXPECT_EQ(at(2012, 2, 29, 23, 59, 59), rp.start_time) << path;
            }
    }
    for (const char* other : {"X", "a", "", "AM"}) EXPECT_EQ(0, record_kind_from_letter(other)) << other;
}

// A component that does not match fails the whole path, whatever it holds:
// a component grown to 100,000 characters anywhere in the path too, with
// nothing written outside the fields (the sanitizer build watches).
TEST(Paths, MalformedAndHostilePathsFailCleanly) {
    // Time fields of one or two digits, as the name parser takes them.
    const std::string dirs = "/mnt/idea0/2009-05-31/001/", name = "8.1.0-9.1.0[R][@12c][3].mvr";
    const char* bad_names[] = {"8.1.0-9.1.0R][@12c][3].mvr",   "8.1.0-9.1.0[R][12c][3].mvr",
                               "8.1.0-9.1.0[R][@12c][3]mvr",   "8.1.0-9.1.0[R][@12c][256].mvr",
                               "8.1[R][@12c][3].mvr",          "8.1.0-9.1.0[R][@123456789][3].mvr",
                               "108.1.0-9.1.0[R][@12c][3].mvr"};
    const char* bad_dirs[] = {"idea0/2009-05-31/000/", "idea0/2009-05-31/065/",
                              "idea0/2009-13-31/001/", "idea0/1999-05-31/001/",
                              "idea0/2009-05-00/001/", "idea4/2009-05-31/001/",
                              "ideA0/2009-05-31/001/", "idea0x/2009-05-31/001/",
                              "idea0/2009-05-31/",     ""};
    record_path rp;
    listing_path lp;
    EXPECT_EQ(PATH_MATCHED, parse_record_path((dirs + name).c_str(), &rp));
    // 064 is the last channel, beside the refused 000 and 065.
    EXPECT_EQ(PATH_MATCHED, parse_record_path(("/mnt/idea0/2009-05-31/064/" + name).c_str(), &rp));
    EXPECT_EQ(63, rp.channel);
    EXPECT_EQ(0, parse_listing_path("/mnt/idea0/2009-05-31/064/*", &lp));
    EXPECT_EQ(63, lp.channel);
    for (const char* n : bad_names) EXPECT_EQ(PATH_BAD_NAME, parse_record_path((dirs + n).c_str(), &rp)) << n;
    for (const char* d : bad_dirs)
        EXPECT_EQ(PATH_BAD_DIRS, parse_record_path(("/mnt/" + std::string(d) + name).c_str(), &rp)) << d;
    for (const char* l :
         {"/mnt/idea0/2009-05-31/1000/*", "/mnt/idea0/2009-5-31x/001/*", "/mnt/hda0", "/mnt/idea0/x"})
        EXPECT_NE(0, parse_listing_path(l, &lp)) << l;
    EXPECT_EQ(PATH_BAD_DIRS, parse_record_path(nullptr, &rp));
    const std::string huge(100000, '9'), pieces[] = {"/mnt/idea",          "0/2009",    "-05-31/00", "1/",
                                                     "08.15.00-09.15.00[", "R][@12c][", "3].",       "mvr"};
    for (size_t k = 1; k < 8; k++) {
        std::string p;
        for (size_t i = 0; i < 8; i++) p += (i == k ? huge : "") + pieces[i];
        EXPECT_EQ(k < 4 ? PATH_BAD_DIRS : PATH_BAD_NAME, parse_record_path(p.c_str(), &rp)) << k;
        EXPECT_TRUE(k >= 4 || parse_listing_path((p.substr(0, p.rfind('/')) + "/*").c_str(), &lp) != 0) << k;
    }
}

}  // namespace
