// PC folder services: the program's path, directories and free space.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <fstream>

#include "platform/fs.h"
#include "support/temp_dir.h"

TEST(Folders, ModulePathNamesThisProgram) {
    std::string path = pc_module_file_name();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    const std::string name = "/test_platform";
    ASSERT_GE(path.size(), name.size());
    EXPECT_EQ(path.substr(path.size() - name.size()), name);
}

TEST(Folders, DirectoryTestAndCreation) {
    TempDir dir;
    std::ofstream(dir.file("plain")) << "x";

    EXPECT_TRUE(pc_is_directory(dir.path()));
    EXPECT_FALSE(pc_is_directory(dir.file("plain")));
    EXPECT_FALSE(pc_is_directory(dir.file("absent")));

    EXPECT_TRUE(pc_create_directory(dir.file("Disk00_Part00")));
    EXPECT_TRUE(pc_is_directory(dir.file("Disk00_Part00")));
    EXPECT_FALSE(pc_create_directory(dir.file("Disk00_Part00")));  // already there
    EXPECT_FALSE(pc_create_directory(dir.file("missing/child")));  // one level only
    EXPECT_FALSE(pc_create_directory(dir.file("plain")));
}

TEST(Folders, FreeSpaceOfAFolderStillToBeMadeIsItsParents) {
    TempDir dir;
    struct statvfs vfs;
    ASSERT_EQ(statvfs(dir.path().c_str(), &vfs), 0);
    uint64_t expected = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;

    uint64_t free_bytes = 0;
    ASSERT_TRUE(pc_free_space(dir.file("not/yet/made/"), &free_bytes));
    // Other programs write to the same file system meanwhile: allow some drift.
    uint64_t drift = free_bytes > expected ? free_bytes - expected : expected - free_bytes;
    EXPECT_LT(drift, 256ull << 20);
    EXPECT_GT(free_bytes, 0u);

    std::ofstream(dir.file("plain")) << "x";
    EXPECT_TRUE(pc_free_space(dir.file("plain/below"), &free_bytes));
    EXPECT_FALSE(pc_free_space("", &free_bytes));
}
