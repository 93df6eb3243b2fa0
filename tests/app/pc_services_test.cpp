// The language table, the folder services and the time values.
#include <sys/stat.h>

#include <fstream>

#include "app_support.h"
#include "core/folders.h"
#include "core/language.h"

using namespace app_test;

TEST(LanguageTable, TranslatesFromTheLanguageSectionOnly) {
    TempDir dir;
    const std::string ini = dir.file("language.ini");
    std::ofstream(ini) << "[other]\nCancel=Abbrechen\n[language]\nSearch=Suchen\nDisk=Platte\nLong=" << std::string(300, 'x')
                       << "\n";
    SetLanguageFile(ini);
    EXPECT_EQ("Suchen", Translate("Search"));
    EXPECT_EQ("Cancel", Translate("Cancel")) << "an entry of another section is not used";
    EXPECT_EQ(std::string(255, 'x'), Translate("Long"));
    EXPECT_EQ("No record.", Translate("No record."));
    SetLanguageFile(dir.file("missing.ini"));
    EXPECT_EQ("Search", Translate("Search"));
    EXPECT_EQ(std::string(255, 'k'), Translate(std::string(300, 'k'))) << "the key itself is cut too";
    SetLanguageFile("");
}

TEST(Folders, MakeDirsCreatesEveryMissingLevel) {
    TempDir dir;
    const std::string deep = dir.path() + "/Rec/Cam1/";
    EXPECT_TRUE(MakeDirs(deep));
    EXPECT_TRUE(IsDirectory(dir.path() + "/Rec"));
    EXPECT_TRUE(IsDirectory(dir.path() + "/Rec/Cam1"));
    EXPECT_TRUE(MakeDirs(deep)) << "an existing directory";
    EXPECT_TRUE(MakeDirs("/tmp/")) << "a level under the root: the root is tested, not created";
    EXPECT_FALSE(MakeDirs("/")) << "shorter than two characters";
    EXPECT_FALSE(MakeDirs("Recs")) << "a bare name has no parent to start from";
    EXPECT_FALSE(MakeDirs("a"));
    EXPECT_FALSE(MakeDirs(""));
    std::ofstream(dir.file("file")) << "x";
    EXPECT_FALSE(MakeDirs(dir.file("file")));
    EXPECT_FALSE(MakeDirs(dir.file("file") + "/below"));
}

TEST(Folders, ProgramDirectoryEndsInASeparator) {
    const ModulePath& m = GetModulePath();
    ASSERT_FALSE(m.directory.empty());
    EXPECT_EQ('/', m.directory.back());
    EXPECT_EQ(m.fullPath, m.directory + m.fileName + m.extension);
    EXPECT_EQ("test_app", m.fileName);
}

TEST(TimeValues, ParsingAcceptsOnlyExistingTimes) {
    int64_t t = 0;
    EXPECT_TRUE(ParseDateTime("2012-02-29 23:59:59", &t));
    EXPECT_EQ("2012-02-29 23:59:59", FormatDateTime(BreakTimeValue(t)));
    for (const char* bad : {"2009-02-29 00:00:00", "2009-04-31 00:00:00", "2009-05-30 24:00:00", "2009-05-30 12:60:00",
                            "2009-5-30 12:00:00", "2009-05-30T12:00:00", "2009-05-30 12:00:00x", "", "1899-12-31 00:00:00"}) {
        EXPECT_FALSE(ParseDateTime(bad, &t)) << bad;
    }
    EXPECT_THROW(MakeTimeValue(LocalDateTime{2009, 13, 1, 0, 0, 0}, "a test"), CalendarError);
    EXPECT_THROW(MakeTimeValue(LocalDateTime{2009, 5, 0, 0, 0, 0}, "a test"), CalendarError);
}

// Day by day through both daylight-saving changes of a year: every step lands
// on the next date's 00:00:00.
TEST(TimeValues, NextMidnightStepsByTheCalendar) {
    ZoneGuard zone("Europe/Berlin");
    int64_t day = LocalMidnight(T("2009-03-20 15:00:00"));
    LocalDate expect{2009, 3, 20};
    for (int i = 0; i < 230; i++) {
        const LocalDateTime c = BreakTimeValue(day);
        ASSERT_EQ(expect.year * 10000 + expect.month * 100 + expect.day, c.year * 10000 + c.month * 100 + c.day);
        ASSERT_EQ(0, c.hour * 3600 + c.minute * 60 + c.second) << FormatDateTime(c);
        day = NextLocalMidnight(day);
        expect = NextDate(expect);
    }
    EXPECT_EQ(25 * 3600, NextLocalMidnight(T("2009-10-25 00:00:00")) - T("2009-10-25 00:00:00"));
    EXPECT_EQ(23 * 3600, NextLocalMidnight(T("2009-03-29 00:00:00")) - T("2009-03-29 00:00:00"));
}
