// Stand-ins for the PC's services: local times, the profile lookup behind
// the language table, and the folder services of a download.
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/fs.h"
#include "platform/ini.h"
#include "platform/localtime.h"
#include "support/temp_dir.h"

// A local time that occurs twice is the occurrence asked for, whatever was
// converted before (the runtime's own guess follows its last conversion); one
// that does not occur is the first time after it, also a midnight a zone
// skips. The zones' data must really be there: without it glibc quietly uses
// UTC.
TEST(LocalTime, RepeatedAndSkippedTimesHaveOneAnswer) {
    const struct {
        const char* zone;
        int month, day, hour, minute;
        Occurrence which;
        int64_t utc;
    } cases[] = {
        {"Europe/Berlin", 10, 25, 2, 40, Occurrence::Earlier, 1256431200},  // 00:40 UTC, summer time
        {"Europe/Berlin", 10, 25, 2, 40, Occurrence::Later, 1256434800},    // 01:40 UTC
        {"Europe/Berlin", 10, 25, 2, 40, Occurrence::Earlier, 1256431200},  // again, after the later one
        {"Europe/Berlin", 3, 29, 2, 30, Occurrence::Earlier, 1238288400},   // skipped: 03:00 summer time
        {"America/Havana", 3, 8, 0, 0, Occurrence::Later, 1236488400},      // midnight skipped: 01:00
        {"America/Havana", 10, 25, 0, 30, Occurrence::Later, 1256448600},   // 00:30 of the second pass
    };
    for (const auto& c : cases) {
        setenv("TZ", c.zone, 1);
        tzset();
        time_t july = 1246449600;  // 2009-07-01 12:00 UTC
        std::tm t{};
        localtime_r(&july, &t);
        ASSERT_NE(0, t.tm_gmtoff) << c.zone << ": time-zone data missing";
        int64_t v = 0;
        ASSERT_TRUE(pc_local_to_time(2009, c.month, c.day, c.hour, c.minute, 0, c.which, &v));
        EXPECT_EQ(c.utc, v) << c.zone << " " << c.month << "-" << c.day << " " << c.hour << ":" << c.minute;
    }
    setenv("TZ", "UTC", 1);
    tzset();
}

// Mended: a byte-order mark no longer hides the first line, the first of two
// entries wins, and an empty key matches no nameless entry.
TEST(Profile, LooksUpKeysOfASectionWithTheLookupsContract) {
    TempDir dir;
    std::string file = dir.file("language.ini");
    std::ofstream(file, std::ios::binary)
        << "\xEF\xBB\xBF[other]\r\nSearch=Elsewhere\r\n  [ Language ]  \r\n"
           "; Search=Commented\r\n  search   =   Suchen  \r\nQuoted = \"  padded  \"\n"
           "Long="
        << std::string(300, 'x') << "\n=nameless\nno equals sign\nSearch=Second\n";
    const struct {
        const char *section, *key, *def;
        uint32_t size;
        std::string want;
    } rows[] = {
        {"language", "SEARCH", "", 256, "Suchen"},      {"language", "Quoted", "", 256, "  padded  "},
        {"other", "Search", "", 256, "Elsewhere"},      {"language", "Download", "Download", 256, "Download"},
        {"nowhere", "Search", "Search", 256, "Search"}, {"language", "", "", 256, ""},
        {"language", "Download", nullptr, 256, ""},     {"language", "Long", "", 256, std::string(255, 'x')},
        {"language", "Search", "", 4, "Suc"},           {"language", "Absent", "Defaulted", 4, "Def"},
    };
    for (const auto& r : rows) {
        char buf[512];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(get_private_profile_string(r.section, r.key, r.def, buf, r.size, file.c_str()),
                  r.want.size())
            << r.key;
        EXPECT_EQ(std::string(buf), r.want) << r.section << "/" << r.key;
    }
    char buf[16] = "#";
    EXPECT_EQ(
        get_private_profile_string("language", "Search", "Search", buf, 16, dir.file("absent.ini").c_str()),
        6u);
    EXPECT_STREQ(buf, "Search");
    EXPECT_EQ(get_private_profile_string("language", "Search", "", buf, 0, file.c_str()), 0u);
    EXPECT_STREQ(buf, "Search");
}

// Mended: the free space of a folder still to be made is its parent's
// f_bavail, what the user may use.
TEST(Folders, DirectoriesProgramPathAndFreeSpace) {
    TempDir dir;
    std::ofstream(dir.file("plain")) << "x";
    EXPECT_FALSE(pc_is_directory(dir.file("plain")) || pc_create_directory(dir.file("missing/child")));
    EXPECT_EQ(pc_module_file_name(), std::filesystem::canonical(TARVIK_BINARY_DIR "/tests/test_platform"));
    struct statvfs vfs;
    ASSERT_EQ(statvfs(dir.path().c_str(), &vfs), 0);
    uint64_t expected = (uint64_t)vfs.f_bavail * vfs.f_frsize, got = 0;
    ASSERT_TRUE(pc_free_space(dir.file("not/yet/made/"), &got));
    EXPECT_LT(got > expected ? got - expected : expected - got, 256ull << 20);  // others write meanwhile
    EXPECT_TRUE(pc_free_space(dir.file("plain/below"), &got));
    EXPECT_FALSE(pc_free_space("", &got));
}
