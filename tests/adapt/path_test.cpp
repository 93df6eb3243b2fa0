// Virtual paths and record file names: building and taking apart.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "adapt/adapt.h"
#include "kxtime.h"
#include "meta/meta.h"

namespace {

kx_dir_item first_item(packed_time start, packed_time end, uint32_t kind, uint32_t media, uint8_t seq) {
    kx_dir_item it{};
    it.item_type = ITEM_FIRST;
    it.b1 = (uint8_t)(5 | (media << 4) | ((kind & 3) << 6));
    it.b29 = (uint8_t)(kind & 0xFC);
    it.start_time = start;
    it.end_time = end;
    it.same_second_seq = seq;
    return it;
}

std::string name_of(const kx_dir_item& it, uint32_t clus) {
    char name[112];
    format_record_name(name, sizeof name, &it, clus);
    return name;
}

TEST(RecordName, FieldsLettersAndExtension) {
    const packed_time s = make_packed_time(2009, 5, 31, 8, 15, 0), e = make_packed_time(2009, 5, 31, 9, 15, 0);
    EXPECT_EQ("08.15.00-09.15.00[R][@12c][3].mvr", name_of(first_item(s, e, 0, 2, 3), 300));
    EXPECT_EQ("08.15.00-09.15.00[R][@12c][0].mvr", name_of(first_item(s, e, 0, 2, 0), 300));
    EXPECT_EQ("08.15.00-09.15.00[H][@0][255].jpg", name_of(first_item(s, e, 4, 0, 255), 0));
    EXPECT_EQ("08.15.00-09.15.00[R][@ffffffff][1].mvr", name_of(first_item(s, e, 0x0D, 2, 1), 0xFFFFFFFF));

    const char* letters[] = {"R", "A", "M", "C", "H", "R", "R"};
    for (uint32_t k = 0; k < 7; k++) {
        EXPECT_STREQ(letters[k], record_kind_letter(k)) << k;
        if (k >= 1 && k <= 4) {
            EXPECT_EQ(k, record_kind_from_letter(letters[k]));
        }
    }
    EXPECT_STREQ("R", record_kind_letter(0x0D));
    for (const char* other : {"R", "X", "a", "", "AM"}) EXPECT_EQ(0, record_kind_from_letter(other)) << other;
}

// Every record kind and media type: the name parses back to the fields it was
// made from, below roots of different disks and partitions.
TEST(RecordName, ParsesBackForEveryKindAndMedia) {
    const packed_time s = make_packed_time(2012, 2, 29, 23, 59, 59), e = make_packed_time(2012, 3, 1, 0, 10, 5);
    for (uint32_t kind = 0; kind <= 4; kind++) {
        for (uint32_t media : {0u, 2u}) {
            for (uint32_t clus : {1u, 300u, 0x3A4F1u, 0xFFFFFFF0u}) {
                const std::string name = name_of(first_item(s, e, kind, media, (uint8_t)(kind * 50)), clus);
                const std::string path = "/mnt/idec3/2012-02-29/016/" + name;
                record_path rp;
                ASSERT_EQ(0, parse_record_path(path.c_str(), &rp)) << path;
                EXPECT_EQ(2, rp.disk);
                EXPECT_EQ(3, rp.part);
                EXPECT_EQ(15, rp.channel);
                EXPECT_EQ(2012, rp.year);
                EXPECT_EQ(2, rp.month);
                EXPECT_EQ(29, rp.day);
                EXPECT_EQ(s, rp.start_time);
                EXPECT_EQ(0, rp.end_hour);
                EXPECT_EQ(10, rp.end_minute);
                EXPECT_EQ(5, rp.end_second);
                EXPECT_EQ(kind, rp.record_kind);
                EXPECT_EQ(clus, rp.cluster);
                EXPECT_EQ(kind * 50, rp.seq);
                EXPECT_STREQ(media ? "mvr" : "jpg", rp.ext);
                EXPECT_EQ(nullptr, rp.pdp);  // nothing mounted here
            }
        }
    }
}

TEST(RecordName, RootsAndChannels) {
    record_path rp;
    ASSERT_EQ(0, parse_record_path("/mnt/idea0/2009-05-31/001/08.15.00-09.15.00[R][@0][7].mvr", &rp));
    EXPECT_EQ(0, rp.disk);
    EXPECT_EQ(0, rp.part);
    EXPECT_EQ(0, rp.channel);
    EXPECT_EQ(0u, rp.cluster);  // cluster 0: the record is looked up by time and sequence
    EXPECT_EQ(7u, rp.seq);
    EXPECT_EQ(make_packed_time(2009, 5, 31, 8, 15, 0), rp.start_time);

    listing_path lp;
    ASSERT_EQ(0, parse_listing_path("/mnt/idea0", &lp));
    EXPECT_FALSE(lp.channel_listing);
    EXPECT_EQ(0, lp.disk);
    EXPECT_EQ(0, lp.part);
    ASSERT_EQ(0, parse_listing_path("/mnt/idec3/", &lp));
    EXPECT_EQ(2, lp.disk);
    EXPECT_EQ(3, lp.part);
    ASSERT_EQ(0, parse_listing_path("/mnt/idec3/2009-12-31/064/*", &lp));
    EXPECT_TRUE(lp.channel_listing);
    EXPECT_EQ(2, lp.disk);
    EXPECT_EQ(3, lp.part);
    EXPECT_EQ(63, lp.channel);
    EXPECT_EQ(make_date_key(2009, 12, 31), lp.day_key);

    int disk = -1, part = -1;
    EXPECT_EQ(0, parse_root_back("/mnt/ideb2/DVRWorkDirectory", 1, &disk, &part));
    EXPECT_EQ(1, disk);
    EXPECT_EQ(2, part);
    EXPECT_EQ(0, parse_root_back("/mnt/idea1/player/setup.bin", 2, &disk, &part));
    EXPECT_EQ(0, disk);
    EXPECT_EQ(1, part);
    char name[20];
    EXPECT_EQ(0, last_component("/mnt/idea1/player/setup.bin", name, sizeof name));
    EXPECT_STREQ("setup.bin", name);
    EXPECT_NE(0, last_component("/mnt/idea1/player/a-name-of-twenty-chars", name, sizeof name));
}

TEST(RecordName, TakeBracket) {
    char d[4];
    const char* text = "x[ab]rest";
    EXPECT_EQ(text + 5, take_bracket(text, d, sizeof d));
    EXPECT_STREQ("ab", d);
    EXPECT_EQ(nullptr, take_bracket("x[abcd]", d, sizeof d));  // does not fit
    EXPECT_EQ(nullptr, take_bracket("x[ab", d, sizeof d));
    EXPECT_EQ(nullptr, take_bracket("xab]", d, sizeof d));
}

// Hostile and malformed paths fail to match; nothing is written outside the
// record (ASan watches), whatever their length.
TEST(RecordName, MalformedAndHostilePathsFailCleanly) {
    const std::string good = "/mnt/idea0/2009-05-31/001/08.15.00-09.15.00[R][@12c][3].mvr";
    record_path rp;
    ASSERT_EQ(0, parse_record_path(good.c_str(), &rp));
    const std::string huge(100000, '9');
    const std::string bad[] = {
        "/mnt/idea0/2009-05-31/001/08.15.00-09.15.00R][@12c][3].mvr",     // no bracket before the letter
        "/mnt/idea0/2009-05-31/001/08.15.00-09.15.00[R[@12c][3].mvr",     // no closing bracket
        "/mnt/idea0/2009-05-31/001/08.15.00-09.15.00[R][12c][3].mvr",     // no '@'
        "/mnt/idea0/2009-05-31/001/08.15.00-09.15.00[R][@12c][3]mvr",     // no '.'
        "/mnt/idea0/2009-05-31/001/08.15.00-09.15.00[R][@12c][256].mvr",  // sequence byte
        "/mnt/idea0/2009-05-31/001/08.15.00-09.15.00[R][@123456789][3].mvr",
        "/mnt/idea0/2009-05-31/001/08.15.00-09.15.00[R][@12c][3].mvrmvrmvrmvrmvrmvr",
        "/mnt/idea0/2009-05-31/001/08.15.00-09.15[R][@12c][3].mvr",
        "/mnt/idea0/2009-05-31/001/108.15.00-09.15.00[R][@12c][3].mvr",
        "/mnt/idea0/2009-05-31/001/08.15.00-09.15.00[" + std::string(5000, 'R') + "][@12c][3].mvr",
        "/mnt/idea0/2009-05-31/000/08.15.00-09.15.00[R][@12c][3].mvr",    // channels count from 1
        "/mnt/idea0/2009-05-31/065/08.15.00-09.15.00[R][@12c][3].mvr",
        "/mnt/idea0/2009-13-31/001/08.15.00-09.15.00[R][@12c][3].mvr",
        "/mnt/idea0/1999-05-31/001/08.15.00-09.15.00[R][@12c][3].mvr",
        "/mnt/idea0/2009-05-00/001/08.15.00-09.15.00[R][@12c][3].mvr",
        "/mnt/idea4/2009-05-31/001/08.15.00-09.15.00[R][@12c][3].mvr",    // partitions 0-3
        "/mnt/ideA0/2009-05-31/001/08.15.00-09.15.00[R][@12c][3].mvr",
        "/mnt/idea0x/2009-05-31/001/08.15.00-09.15.00[R][@12c][3].mvr",
        "/mnt/idea0/2009-05-31/08.15.00-09.15.00[R][@12c][3].mvr",        // a component missing
        "08.15.00-09.15.00[R][@12c][3].mvr",
        "/mnt/idea0/2009-05-31/" + huge + "/08.15.00-09.15.00[R][@12c][3].mvr",
        "/mnt/idea" + huge + "/2009-05-31/001/08.15.00-09.15.00[R][@12c][3].mvr",
        "/mnt/idea0/" + huge + "-05-31/001/08.15.00-09.15.00[R][@12c][3].mvr",
        "/mnt/idea0/2009-05-31/001/" + huge + ".mvr",
        "/mnt/idea0/2009-05-31/001/08.15.00-09.15.00[R][@12c][" + huge + "].mvr",
        "",
        "////",
    };
    for (const std::string& p : bad) EXPECT_NE(0, parse_record_path(p.c_str(), &rp)) << p.substr(0, 120);
    EXPECT_NE(0, parse_record_path(nullptr, &rp));

    listing_path lp;
    const std::string bad_listings[] = {"/mnt/idea0/2009-05-31/1000/*", "/mnt/idea0/2009-5-31x/001/*",
                                        "/mnt/idea0/2009-05-31/" + huge + "/*", "/mnt/idea" + huge, "/mnt/hda0",
                                        "/mnt/idea0/x"};
    for (const std::string& p : bad_listings)
        EXPECT_NE(0, parse_listing_path(p.c_str(), &lp)) << p.substr(0, 120);
}

}  // namespace
