// PC folder services: the program's path, directories and free space.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <fstream>

#include "platform/fs.h"
#include "support/temp_dir.h"

// Catches a relative or foreign program path (the language table is looked
// up beside the program).
TEST(Folders, ModulePathNamesThisProgram) {
    std::string path = pc_module_file_name();
    ASSERT_GT(path.size(), 14u);
    EXPECT_EQ(path.front(), '/');
    EXPECT_EQ(path.substr(path.size() - 14), "/test_platform");
}

// Catches files taken for folders, several levels made at once, and
// existing folders reported as made.
TEST(Folders, DirectoryTestAndCreation) {
    TempDir dir;
    std::ofstream(dir.file("plain")) << "x";
    EXPECT_TRUE(pc_is_directory(dir.path()));
    EXPECT_FALSE(pc_is_directory(dir.file("plain")));
    EXPECT_FALSE(pc_is_directory(dir.file("absent")));
    EXPECT_TRUE(pc_create_directory(dir.file("Disk00_Part00")));
    EXPECT_TRUE(pc_is_directory(dir.file("Disk00_Part00")));
    EXPECT_FALSE(pc_create_directory(dir.file("Disk00_Part00")));
    EXPECT_FALSE(pc_create_directory(dir.file("missing/child")));
    EXPECT_FALSE(pc_create_directory(dir.file("plain")));
}

// Catches free space of a folder still to be made failing instead of using
// its parent, and f_bfree (root's reserve) taken for what the user may use.
TEST(Folders, FreeSpaceOfAFolderStillToBeMadeIsItsParents) {
    TempDir dir;
    struct statvfs vfs;
    ASSERT_EQ(statvfs(dir.path().c_str(), &vfs), 0);
    uint64_t expected = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize, got = 0;
    ASSERT_TRUE(pc_free_space(dir.file("not/yet/made/"), &got));
    EXPECT_GT(got, 0u);
    EXPECT_LT(got > expected ? got - expected : expected - got, 256ull << 20);  // others write meanwhile
    std::ofstream(dir.file("plain")) << "x";
    EXPECT_TRUE(pc_free_space(dir.file("plain/below"), &got));
    EXPECT_FALSE(pc_free_space("", &got));
}
