// Virtual paths and record file names: building and taking apart.
#include <gtest/gtest.h>

#include <string>

#include "adapt/adapt.h"
#include "kxtime.h"
#include "meta/meta.h"

namespace {

std::string name_of(packed_time start, packed_time end, uint32_t kind, uint32_t media, uint8_t seq,
                    uint32_t clus) {
    kx_dir_item it{};
    it.b1 = (uint8_t)(5 | (media << 4) | ((kind & 3) << 6));
    it.b29 = (uint8_t)(kind & 0xFC);
    it.start_time = start;
    it.end_time = end;
    it.same_second_seq = seq;
    char name[112];
    format_record_name(name, sizeof name, &it, clus);
    return name;
}

TEST(RecordName, FormatAndKindLetters) {
    const packed_time s = make_packed_time(2009, 5, 31, 8, 15, 0),
                      e = make_packed_time(2009, 5, 31, 9, 15, 0);
    EXPECT_EQ("08.15.00-09.15.00[R][@12c][3].mvr", name_of(s, e, 0, 2, 3, 300));
    EXPECT_EQ("08.15.00-09.15.00[H][@0][255].jpg", name_of(s, e, 4, 0, 255, 0));
    EXPECT_EQ("08.15.00-09.15.00[R][@ffffffff][1].mvr", name_of(s, e, 0x0D, 2, 1, 0xFFFFFFFF));
    const char* letters[] = {"R", "A", "M", "C", "H", "R"};
    for (uint32_t k = 0; k < 6; k++) EXPECT_STREQ(letters[k], record_kind_letter(k)) << k;
    for (uint32_t k = 1; k <= 4; k++) EXPECT_EQ(k, record_kind_from_letter(letters[k]));
    for (const char* other : {"R", "X", "a", "", "AM"}) EXPECT_EQ(0, record_kind_from_letter(other)) << other;
}

// Every record kind, media type and cluster size: the name parses back to the
// fields it was made from, below the roots of other disks and partitions.
TEST(RecordName, ParsesBackForEveryKindAndMedia) {
    const packed_time s = make_packed_time(2012, 2, 29, 23, 59, 59),
                      e = make_packed_time(2012, 3, 1, 0, 10, 5);
    for (uint32_t kind = 0; kind <= 4; kind++)
        for (uint32_t media : {0u, 2u})
            for (uint32_t clus : {0u, 300u, 0x3A4F1u, 0xFFFFFFF0u}) {
                const std::string path =
                    "/mnt/idec3/2012-02-29/016/" + name_of(s, e, kind, media, kind * 50, clus);
                record_path rp;
                ASSERT_EQ(PATH_MATCHED, parse_record_path(path.c_str(), &rp)) << path;
                EXPECT_EQ(2, rp.disk);
                EXPECT_EQ(3, rp.part);
                EXPECT_EQ(15, rp.channel);
                EXPECT_EQ(s, rp.start_time);
                EXPECT_EQ(0 * 3600 + 10 * 60 + 5, rp.end_hour * 3600 + rp.end_minute * 60 + rp.end_second);
                EXPECT_EQ(kind, rp.record_kind);
                EXPECT_EQ(clus, rp.cluster);
                EXPECT_EQ(kind * 50, rp.seq);
                EXPECT_STREQ(media ? "mvr" : "jpg", rp.ext);
            }

    listing_path lp;
    ASSERT_EQ(0, parse_listing_path("/mnt/idea0", &lp));
    EXPECT_FALSE(lp.channel_listing);
    EXPECT_EQ(0, lp.disk + lp.part);
    ASSERT_EQ(0, parse_listing_path("/mnt/idec3/2009-12-31/001/*", &lp));
    EXPECT_TRUE(lp.channel_listing);
    EXPECT_EQ(2, lp.disk);
    EXPECT_EQ(3, lp.part);
    EXPECT_EQ(0, lp.channel);  // channel 0 is the directory "001"
    EXPECT_EQ(make_date_key(2009, 12, 31), lp.day_key);
}

// Hostile and malformed paths fail to match, whatever their length; nothing
// is written outside the fields (the sanitizer build watches).
TEST(RecordName, MalformedAndHostilePathsFailCleanly) {
    const std::string dirs = "/mnt/idea0/2009-05-31/001/", name = "08.15.00-09.15.00[R][@12c][3].mvr";
    const std::string huge(100000, '9');
    record_path rp;
    ASSERT_EQ(PATH_MATCHED, parse_record_path((dirs + name).c_str(), &rp));
    for (const std::string& bad_name :
         {std::string("08.15.00-09.15.00R][@12c][3].mvr"), std::string("08.15.00-09.15.00[R[@12c][3].mvr"),
          std::string("08.15.00-09.15.00[R][12c][3].mvr"), std::string("08.15.00-09.15.00[R][@12c][3]mvr"),
          std::string("08.15.00-09.15.00[R][@12c][256].mvr"),
          std::string("08.15.00-09.15.00[R][@123456789][3].mvr"),
          std::string("08.15.00-09.15.00[R][@12c][3].mvrmvrmvrmvrmvrmvr"),
          std::string("08.15.00-09.15[R][@12c][3].mvr"), std::string("108.15.00-09.15.00[R][@12c][3].mvr"),
          "08.15.00-09.15.00[" + std::string(5000, 'R') + "][@1][3].mvr", huge + ".mvr",
          "08.15.00-09.15.00[R][@12c][" + huge + "].mvr"})
        EXPECT_EQ(PATH_BAD_NAME, parse_record_path((dirs + bad_name).c_str(), &rp)) << bad_name.substr(0, 80);
    for (const std::string& bad_dirs :
         {std::string("/mnt/idea0/2009-05-31/000/"), std::string("/mnt/idea0/2009-05-31/065/"),
          std::string("/mnt/idea0/2009-13-31/001/"), std::string("/mnt/idea0/1999-05-31/001/"),
          std::string("/mnt/idea0/2009-05-00/001/"), std::string("/mnt/idea4/2009-05-31/001/"),
          std::string("/mnt/ideA0/2009-05-31/001/"), std::string("/mnt/idea0x/2009-05-31/001/"),
          std::string("/mnt/idea0/2009-05-31/"), std::string(""), "/mnt/idea0/2009-05-31/" + huge + "/",
          "/mnt/idea" + huge + "/2009-05-31/001/", "/mnt/idea0/" + huge + "-05-31/001/"})
        EXPECT_EQ(PATH_BAD_DIRS, parse_record_path((bad_dirs + name).c_str(), &rp)) << bad_dirs.substr(0, 80);
    EXPECT_EQ(PATH_BAD_DIRS, parse_record_path(nullptr, &rp));

    listing_path lp;
    for (const std::string& p :
         {std::string("/mnt/idea0/2009-05-31/1000/*"), std::string("/mnt/idea0/2009-5-31x/001/*"),
          "/mnt/idea0/2009-05-31/" + huge + "/*", "/mnt/idea" + huge, std::string("/mnt/hda0"),
          std::string("/mnt/idea0/x")})
        EXPECT_NE(0, parse_listing_path(p.c_str(), &lp)) << p.substr(0, 80);

    char d[4];
    EXPECT_STREQ("]rest", take_bracket("x[ab]]rest", d, sizeof d));
    EXPECT_STREQ("ab", d);
    EXPECT_EQ(nullptr, take_bracket("x[abcd]", d, sizeof d));  // does not fit
    EXPECT_EQ(nullptr, take_bracket("x[ab", d, sizeof d));
    EXPECT_EQ(nullptr, take_bracket("xab]", d, sizeof d));
}

}  // namespace
