// `tarvik mount` through the kernel (skipped without /dev/fuse): the tree
// against a download and `workfiles`, two threads on one file, writes refused,
// an unreadable sector, and nothing left running after the unmount.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "app/area_disk.h"

using namespace app_test;
namespace fs = std::filesystem;

namespace {

const std::string kWindow = " --start '2024-02-28 00:00:00' --end '2024-03-01 00:00:00'";

class Mount : public ::testing::Test {
   protected:
    void SetUp() override {
        if (access("/dev/fuse", R_OK | W_OK) != 0 ||
            std::system("command -v fusermount3 >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "no usable /dev/fuse or fusermount3 here: the mount is not tested";
        fs::create_directory(m_mnt);
    }
    void TearDown() override {
        if (Mounted()) std::system(("fusermount3 -u '" + m_mnt + "' 2>/dev/null").c_str());
    }

    std::string Command(const std::string& args) const {
        return "TZ=UTC '" TARVIK_BINARY_DIR "/tarvik' -q -D '" + m_d.disk.image + "' " + args;
    }
    int Tarvik(const std::string& args) const {
        const int ws = std::system((Command(args) + " >/dev/null 2>&1 </dev/null").c_str());
        return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    }
    bool Mounted() const {
        struct stat here, up;
        return stat(m_mnt.c_str(), &here) == 0 && stat((m_mnt + "/..").c_str(), &up) == 0 &&
               here.st_dev != up.st_dev;
    }
    // Processes whose command line names the mount point.
    std::vector<int> Servers() const {
        std::vector<int> pids;
        for (const fs::directory_entry& e : fs::directory_iterator("/proc")) {
            const std::string pid = e.path().filename();
            if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
            const std::vector<uint8_t> cmd = ReadFile(e.path() / "cmdline");
            if (std::string(cmd.begin(), cmd.end()).find(std::string("mount\0", 6) + m_mnt) !=
                std::string::npos)
                pids.push_back(std::stoi(pid));
        }
        return pids;
    }
    // Relative path and size of every file below top (a download folder's
    // job files, tarvik-* at its top, left out).
    static std::map<std::string, uint64_t> Files(const std::string& top) {
        std::map<std::string, uint64_t> files;
        for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator(); ++it)
            if (it->is_regular_file() &&
                !(it.depth() == 0 && it->path().filename().string().rfind("tarvik-", 0) == 0))
                files[fs::relative(it->path(), top)] = it->file_size();
        return files;
    }

    AreaDisk m_d;
    std::string m_mnt = m_d.disk.dir.file("mnt");
};

}  // namespace

TEST_F(Mount, TreeReadsRefusalsAndUnmount) {
    ASSERT_EQ(0, Tarvik("mount '" + m_mnt + "'"));
    ASSERT_TRUE(Mounted());
    const std::vector<int> servers = Servers();
    EXPECT_EQ(1u, servers.size());

    // The same tree as a download of every recording and as `workfiles`.
    const std::string out = m_d.disk.dir.file("out");
    for (const char* channel : {"1", "2"})
        ASSERT_EQ(0, Tarvik(std::string("download --disk 1 --channel ") + channel + " --output '" + out +
                            "'" + kWindow));
    ASSERT_EQ(0, Tarvik("workfiles --disk 1 --partition 0 --output '" + out + "'"));
    const auto files = Files(m_mnt);
    EXPECT_EQ(files, Files(out));
    EXPECT_EQ(7u, files.size());  // three recordings, the summary, the log area, two player files
    for (const auto& [path, size] : files)
        EXPECT_EQ(ReadFile(m_mnt + "/" + path), ReadFile(out + "/" + path)) << path;
    const std::string night =
        m_mnt + "/Disk00_Part00/2024-02-28/001/" +
        fs::directory_iterator(m_mnt + "/Disk00_Part00/2024-02-28/001")->path().filename().string();
    struct stat st;
    ASSERT_EQ(0, stat(night.c_str(), &st));
    EXPECT_EQ(T("2024-02-28 23:50:00"), st.st_mtime);
    EXPECT_EQ(0444u, st.st_mode & 0777);

    // One descriptor read by two threads from opposite ends, in pieces that
    // meet no page boundary.
    const std::vector<uint8_t> expected = layout_expected(m_d.recs[0], 0, size_t(st.st_size));
    const int fd = open(night.c_str(), O_RDONLY);
    ASSERT_LE(0, fd);
    std::vector<uint8_t> a(expected.size()), b(expected.size());
    const size_t piece = 65536 + 512;
    std::thread forward([&] {
        for (size_t at = 0; at < a.size(); at += piece)
            pread(fd, a.data() + at, std::min(piece, a.size() - at), off_t(at));
    });
    for (size_t end = b.size(); end > 0; end -= std::min(piece, end)) {
        const size_t at = end - std::min(piece, end);
        pread(fd, b.data() + at, end - at, off_t(at));
    }
    forward.join();
    EXPECT_TRUE(a == expected && b == expected);
    close(fd);

    // Every way of changing something fails with EROFS.
    const std::string day = m_mnt + "/Disk00_Part00/2024-02-28";
    const struct {
        const char* what;
        std::function<int()> call;
    } writes[] = {
        {"open for writing", [&] { return open(night.c_str(), O_WRONLY); }},
        {"open for reading and writing", [&] { return open(night.c_str(), O_RDWR); }},
        {"create", [&] { return open((day + "/new").c_str(), O_WRONLY | O_CREAT, 0644); }},
        {"truncate", [&] { return truncate(night.c_str(), 0); }},
        {"rename", [&] { return rename(night.c_str(), (day + "/x").c_str()); }},
        {"unlink", [&] { return unlink(night.c_str()); }},
        {"chmod", [&] { return chmod(night.c_str(), 0666); }},
        {"mkdir", [&] { return mkdir((day + "/d").c_str(), 0755); }},
        {"rmdir", [&] { return rmdir((day + "/001").c_str()); }},
        {"symlink", [&] { return symlink("x", (day + "/l").c_str()); }},
    };
    for (const auto& w : writes) {
        errno = 0;
        EXPECT_EQ(-1, w.call()) << w.what;
        EXPECT_EQ(EROFS, errno) << w.what;
    }

    // Unmounted, nothing of the mount stays behind.
    ASSERT_EQ(0, std::system(("fusermount3 -u '" + m_mnt + "'").c_str()));
    for (int i = 0; i < 100 && !Servers().empty(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(Servers().empty());
    EXPECT_FALSE(Mounted());
}

// A mount point that cannot take the mount is an error (4); in the foreground
// an unreadable sector fails only its read, and Ctrl-C unmounts and ends.
TEST_F(Mount, RefusalsUnreadableSectorAndCtrlC) {
    std::ofstream(m_d.disk.dir.file("plain")) << "x";
    EXPECT_EQ(4, Tarvik("mount '" + m_d.disk.dir.file("none") + "'"));
    EXPECT_EQ(4, Tarvik("mount '" + m_d.disk.dir.file("plain") + "'"));
    EXPECT_EQ(2, Tarvik("mount"));

    const uint64_t bad = clus_sector(get_pdp(0, 0), m_d.recs[0].chain[3]);
    const pid_t pid = fork();
    ASSERT_LE(0, pid);
    if (pid == 0) {
        const std::string faults = "TARVIK_FAULTS=0:" + std::to_string(bad) + ":r ";
        execl("/bin/sh", "sh", "-c",
              ("exec env " + faults + Command("mount --foreground '" + m_mnt + "'")).c_str(), nullptr);
        _exit(127);
    }
    for (int i = 0; i < 200 && !Mounted(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ASSERT_TRUE(Mounted());
    EXPECT_EQ(4, Tarvik("mount '" + m_mnt + "'"));  // busy

    const std::string dir = m_mnt + "/Disk00_Part00/2024-02-28/001";
    const int fd = open(fs::directory_iterator(dir)->path().c_str(), O_RDONLY | O_DIRECT);
    ASSERT_LE(0, fd);
    std::vector<uint8_t> buf(1u << 20);
    errno = 0;
    EXPECT_EQ(-1, pread(fd, buf.data(), buf.size(), 0));
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ(4096, pread(fd, buf.data(), 4096, 2u << 20));

    // Ctrl-C with the file still open: its release never comes, and the
    // server still frees it (the sanitizer build sees a leak otherwise).
    kill(pid, SIGINT);
    int ws = 0;
    ASSERT_EQ(pid, waitpid(pid, &ws, 0));
    close(fd);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << ws;
    EXPECT_FALSE(Mounted());
}
