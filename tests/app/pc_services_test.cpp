// The language table, the folder services and the time values.
#include <unistd.h>

#include <cerrno>

#include "app_support.h"
#include "core/folders.h"
#include "core/language.h"

using namespace app_test;

TEST(LanguageTable, CutsAt255AndFallsBackToEnglish) {
    TempDir dir;
    std::ofstream(dir.file("language.ini")) << "[language]\nLong=" << std::string(300, 'x') << "\n";
    SetLanguageFile(dir.file("language.ini"));
    EXPECT_EQ(std::string(255, 'x'), Translate("Long"));
    EXPECT_EQ(std::string(255, 'k'), Translate(std::string(300, 'k'))) << "the key itself is cut too";
    SetLanguageFile(dir.file("missing.ini"));
    EXPECT_EQ("Long", Translate("Long"));
    SetLanguageFile("");
    // The first folder that holds a language file wins; else the last.
    const std::string other = dir.path() + "/none/";
    EXPECT_EQ(dir.file("language.ini"), FindLanguageFile({other, dir.path() + "/"}));
    EXPECT_EQ(dir.file("language.ini"), FindLanguageFile({dir.path() + "/", other}));
    EXPECT_EQ(other + "language.ini", FindLanguageFile({"/nonexistent/", other}));
}

// MakeDirs makes every missing level; the root is tested, never created; a
// bare name has no parent to start from; a file in the way fails.
TEST(Folders, MakeDirsCreatesEveryMissingLevel) {
    TempDir dir;
    std::ofstream(dir.file("file")) << "x";
    for (const auto& [path, made] : {std::pair{dir.path() + "/Rec/Cam1/", true}, {dir.path() + "/Rec/Cam1", true},
                                     {"/tmp/", true}, {"/", false}, {"Recs", false}, {"", false},
                                     {dir.file("file") + "/below", false}}) {
        EXPECT_EQ(made, MakeDirs(path)) << path;
    }
    EXPECT_TRUE(IsDirectory(dir.path() + "/Rec/Cam1"));
    // A missing level just below the root is made there (the root itself is
    // its parent); where the user may not write, mkdir's reason is given.
    const std::string top = "/tarvik-test-" + std::to_string(getpid());
    int why = 0;
    const bool made = MakeDirs(top + "/Cam1", &why);
    EXPECT_EQ(access("/", W_OK) == 0, made) << why;
    if (!made) {
        EXPECT_EQ(EACCES, why);
    }
    rmdir((top + "/Cam1").c_str());
    rmdir(top.c_str());
    EXPECT_EQ("test_app", GetModulePath().fileName);
    EXPECT_EQ(GetModulePath().fullPath, GetModulePath().directory + "test_app");
}

TEST(TimeValues, ParsingAcceptsOnlyExistingTimes) {
    int64_t t = 0;
    EXPECT_TRUE(ParseDateTime("2012-02-29 23:59:59", &t));
    EXPECT_EQ("2012-02-29 23:59:59", FormatDateTime(BreakTimeValue(t)));
    for (const char* bad : {"2009-02-29 00:00:00", "2009-04-31 00:00:00", "2009-05-30 24:00:00", "2009-05-30 12:60:00",
                            "2009-5-30 12:00:00", "2009-05-30T12:00:00", "2009-05-30 12:00:00x", "", "1899-12-31 00:00:00"}) {
        EXPECT_FALSE(ParseDateTime(bad, &t)) << bad;
    }
}
