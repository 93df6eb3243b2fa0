// The profile lookup behind the language table.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "platform/ini.h"
#include "support/temp_dir.h"

namespace {

class Profile : public ::testing::Test {
protected:
    void SetUp() override {
        m_file = m_dir.file("language.ini");
        std::ofstream out(m_file, std::ios::binary);
        out << "\xEF\xBB\xBF; translations\r\n"
               "[other]\r\n"
               "Search=Elsewhere\r\n"
               "  [ Language ]  \r\n"
               "; Search=Commented\r\n"
               "  search   =   Suchen  \r\n"
               "Disk Name: = Plattenname:\n"
               "Quoted = \"  padded  \"\n"
               "Long=" << std::string(300, 'x') << "\n"
               "=nameless\n"
               "no equals sign\n"
               "Search=Second\n";
    }

    std::string lookup(const char* key, const char* def, uint32_t size = 256,
                       const char* section = "language") {
        char buf[512];
        std::memset(buf, '#', sizeof buf);
        uint32_t n = get_private_profile_string(section, key, def, buf, size, m_file.c_str());
        std::string got = buf;
        EXPECT_EQ(n, got.size());
        return got;
    }

    TempDir m_dir;
    std::string m_file;
};

}  // namespace

TEST_F(Profile, FindsKeysOfTheSectionIgnoringCaseAndBlanks) {
    EXPECT_EQ(lookup("Search", "Search"), "Suchen");  // first entry, not the commented one
    EXPECT_EQ(lookup("SEARCH", "Search"), "Suchen");
    EXPECT_EQ(lookup("Disk Name:", "Disk Name:"), "Plattenname:");
    EXPECT_EQ(lookup("Quoted", ""), "  padded  ");
    EXPECT_EQ(lookup("Search", "Search", 256, "other"), "Elsewhere");
}

TEST_F(Profile, MissingKeySectionOrFileGivesTheDefault) {
    EXPECT_EQ(lookup("Download", "Download"), "Download");
    EXPECT_EQ(lookup("Search", "Search", 256, "nowhere"), "Search");
    EXPECT_EQ(lookup("", ""), "");  // an empty key matches no nameless entry
    EXPECT_EQ(lookup("Download", nullptr), "");

    char buf[16];
    EXPECT_EQ(get_private_profile_string("language", "Search", "Search", buf, sizeof buf,
                                         m_dir.file("absent.ini").c_str()),
              6u);
    EXPECT_STREQ(buf, "Search");
}

TEST_F(Profile, ResultsAreCutToTheBuffer) {
    EXPECT_EQ(lookup("Long", ""), std::string(255, 'x'));
    EXPECT_EQ(lookup("Search", "", 4), "Suc");
    EXPECT_EQ(lookup("Absent", "Defaulted", 4), "Def");
    EXPECT_EQ(lookup("Search", "", 1), "");

    char untouched = '#';
    EXPECT_EQ(get_private_profile_string("language", "Search", "", &untouched, 0, m_file.c_str()), 0u);
    EXPECT_EQ(untouched, '#');
}
