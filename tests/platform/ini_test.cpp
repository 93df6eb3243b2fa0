// The profile lookup behind the language table.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "platform/ini.h"
#include "support/temp_dir.h"

// Catches case- or blank-sensitive matching, a commented or later duplicate
// winning, a byte-order mark hiding the first line, nameless entries matching
// an empty key, and results not cut to the buffer.
TEST(Profile, LooksUpKeysOfASectionWithTheLookupsContract) {
    TempDir dir;
    std::string file = dir.file("language.ini");
    std::ofstream(file, std::ios::binary) << "\xEF\xBB\xBF[other]\r\nSearch=Elsewhere\r\n"
                                             "  [ Language ]  \r\n; Search=Commented\r\n"
                                             "  search   =   Suchen  \r\nDisk Name: = Plattenname:\n"
                                             "Quoted = \"  padded  \"\nLong="
                                          << std::string(300, 'x') << "\n=nameless\nno equals sign\nSearch=Second\n";
    struct {
        const char *section, *key, *def;
        uint32_t size;
        std::string want;
    } rows[] = {
        {"language", "Search", "Search", 256, "Suchen"}, {"language", "SEARCH", "", 256, "Suchen"},
        {"language", "Disk Name:", "", 256, "Plattenname:"}, {"language", "Quoted", "", 256, "  padded  "},
        {"other", "Search", "", 256, "Elsewhere"},       {"language", "Download", "Download", 256, "Download"},
        {"nowhere", "Search", "Search", 256, "Search"},  {"language", "", "", 256, ""},
        {"language", "Download", nullptr, 256, ""},      {"language", "Long", "", 256, std::string(255, 'x')},
        {"language", "Search", "", 4, "Suc"},            {"language", "Absent", "Defaulted", 4, "Def"},
        {"language", "Search", "", 1, ""},
    };
    for (const auto& r : rows) {
        char buf[512];
        std::memset(buf, '#', sizeof buf);
        uint32_t n = get_private_profile_string(r.section, r.key, r.def, buf, r.size, file.c_str());
        EXPECT_EQ(std::string(buf), r.want) << r.section << "/" << r.key;
        EXPECT_EQ(n, r.want.size()) << r.section << "/" << r.key;
    }
    char buf[16];
    EXPECT_EQ(get_private_profile_string("language", "Search", "Search", buf, 16, dir.file("absent.ini").c_str()), 6u);
    EXPECT_STREQ(buf, "Search");
    char untouched = '#';
    EXPECT_EQ(get_private_profile_string("language", "Search", "", &untouched, 0, file.c_str()), 0u);
    EXPECT_EQ(untouched, '#');
}
