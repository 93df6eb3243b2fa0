// The built `tarvik` run on a recorder disk made by the library: usage
// errors, the JSON on stdout, exit statuses, and what it writes to a disk.
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "app/app_support.h"

using namespace app_test;

namespace {

struct CliRun {
    int status = -1;
    std::string out, err;
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class TarvikCli : public ::testing::Test {
protected:
    void SetUp() override {
        m_disk = std::make_unique<AppDisk>(std::vector<uint64_t>{PartSectors(16, 300)});
        std::vector<layout_record> recs = {Rec(0, At(2009, 5, 30, 8, 0, 0), At(2009, 5, 30, 8, 30, 0), 3),
                                           Rec(0, At(2009, 5, 30, 23, 50, 0), At(2009, 5, 31, 0, 10, 0), 2),
                                           Rec(1, At(2009, 5, 31, 9, 0, 0), At(2009, 5, 31, 9, 10, 0))};
        m_disk->Record(0, recs);
        m_recs = recs;
    }

    // Runs tarvik with these arguments (shell words) in UTC.
    CliRun Tarvik(const std::string& args) {
        const std::string out = m_disk->dir.file("stdout"), err = m_disk->dir.file("stderr");
        const std::string cmd = "TZ=UTC '" TARVIK_BINARY_DIR "/tarvik' " + args + " >'" + out + "' 2>'" + err + "' </dev/null";
        CliRun r;
        const int ws = std::system(cmd.c_str());
        r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
        r.out = ReadText(out);
        r.err = ReadText(err);
        return r;
    }
    std::string Disk() { return "-D '" + m_disk->image + "' "; }

    std::unique_ptr<AppDisk> m_disk;
    std::vector<layout_record> m_recs;
};

const char* const kDay = " --start '2009-05-30 00:00:00' --end '2009-05-31 23:59:59'";

}  // namespace

TEST_F(TarvikCli, UsageErrorsExitTwoWithoutTouchingTheDisk) {
    const uint64_t before = file_digest(m_disk->image);
    for (const std::string& args :
         {Disk() + "search --channel 1" + kDay,                                              // no --disk
          Disk() + "search --disk 1 --channel 1 --start '2009-02-30 00:00:00' --end '2009-05-31 00:00:00'",
          Disk() + "search --disk 1 --channel 0" + kDay,                                     // channels from 1
          Disk() + "days --disk 1 --partition 4",
          "-D '" + m_disk->dir.file("none.img") + "' disks",
          std::string("frobnicate")}) {
        const CliRun r = Tarvik(args);
        EXPECT_EQ(2, r.status) << args << "\n" << r.err;
        EXPECT_EQ("", r.out) << args;
    }
    EXPECT_EQ(before, file_digest(m_disk->image));
    // Errors found once the disk is known: a disk beyond those given, a
    // selection outside the list.
    EXPECT_EQ(2, Tarvik(Disk() + "search --disk 2 --channel 1" + kDay).status);
    const CliRun sel = Tarvik(Disk() + "--read-only download --disk 1 --channel 1" + kDay + " --select 1,7 --output '" +
                           m_disk->dir.file("out") + "'");
    EXPECT_EQ(2, sel.status);
    EXPECT_NE(std::string::npos, sel.err.find("7 is not in the list (1-2)")) << sel.err;
    EXPECT_EQ(0, Tarvik("--help").status);
    EXPECT_EQ(0, Tarvik("download --help").status);
}

TEST_F(TarvikCli, SearchJsonIsTheOnlyThingOnStdout) {
    const CliRun r = Tarvik(Disk() + "search --disk 1 --channel 1 --json" + kDay);
    ASSERT_EQ(0, r.status) << r.err;
    const nlohmann::json list = nlohmann::json::parse(r.out);  // throws (fails) on any stray text
    ASSERT_TRUE(list.is_array());
    ASSERT_EQ(2u, list.size());
    const nlohmann::json& cross = list[1];
    EXPECT_EQ(2, cross["index"]);
    EXPECT_EQ(1, cross["disk"]);
    EXPECT_EQ(0, cross["partition"]);
    EXPECT_EQ(1, cross["channel"]);
    EXPECT_EQ("2009-05-30 23:50:00", cross["start"]);
    EXPECT_EQ("2009-05-31 00:10:00", cross["end"]);
    EXPECT_EQ(32u * 512, cross["size"].get<uint64_t>());
    EXPECT_EQ(0u, cross["name"].get<std::string>().rfind("23.50.00-00.10.00[R][@", 0));
    EXPECT_NE(std::string::npos, r.err.find("kx_file_sys_init()")) << "library messages go to stderr";
    const CliRun quiet = Tarvik("-q " + Disk() + "search --disk 1 --channel 1 --json" + kDay);
    EXPECT_EQ(r.out, quiet.out);
    EXPECT_EQ(std::string::npos, quiet.err.find("kx_file_sys_init()"));
    // dump puts the library's start-up diagnostics on stdout.
    const CliRun dump = Tarvik(Disk() + "dump");
    EXPECT_EQ(0, dump.status);
    EXPECT_NE(std::string::npos, dump.out.find("driver basic parameter:"));
}

TEST_F(TarvikCli, NothingFoundAndNotMountedHaveTheirOwnStatus) {
    const CliRun none = Tarvik(Disk() + "search --disk 1 --channel 5 --json" + kDay);
    EXPECT_EQ(3, none.status);
    EXPECT_EQ("[]\n", none.out);
    EXPECT_NE(std::string::npos, none.err.find("No record."));
    const CliRun reversed = Tarvik(Disk() + "search --disk 1 --channel 1 --start '2009-05-31 00:00:00' --end '2009-05-30 00:00:00'");
    EXPECT_EQ(3, reversed.status);
    const CliRun unmounted = Tarvik(Disk() + "days --disk 1 --partition 2 --json");
    EXPECT_EQ(4, unmounted.status);
    const CliRun days = Tarvik(Disk() + "days --disk 1 --partition 0 --json");
    EXPECT_EQ(0, days.status);
    EXPECT_EQ(nlohmann::json({"2009-05-30", "2009-05-31"}), nlohmann::json::parse(days.out));
}

// With --read-only the image is never written, whatever mounting and reading
// change; without it, every write is announced on stderr.
TEST_F(TarvikCli, DownloadCopiesAndTellsAboutDiskWrites) {
    const uint64_t before = file_digest(m_disk->image);
    const std::string out = m_disk->dir.file("out");
    const CliRun ro = Tarvik("--read-only " + Disk() + "download --disk 1 --channel 1" + kDay + " --select 2 --output '" + out + "'");
    ASSERT_EQ(0, ro.status) << ro.err;
    EXPECT_EQ(before, file_digest(m_disk->image));
    std::string copied = ro.out.substr(0, ro.out.find('\n'));
    EXPECT_EQ(0u, copied.rfind(out + "/Disk00_Part00/2009-05-30/001/23.50.00-00.10.00", 0)) << copied;
    EXPECT_EQ(layout_expected(m_recs[1], 0, 32 * 512), [&] {
        std::ifstream in(copied, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }());
    EXPECT_NE(std::string::npos, ro.err.find("Download Completely!"));
    EXPECT_EQ(std::string::npos, ro.err.find("WROTE"));
    EXPECT_NE(std::string::npos, ro.err.find("in memory only")) << ro.err;

    const CliRun rw = Tarvik(Disk() + "download --disk 1 --channel 1 --json" + kDay + " --output '" + out + "'");
    ASSERT_EQ(0, rw.status) << rw.err;
    const nlohmann::json results = nlohmann::json::parse(rw.out);
    ASSERT_EQ(2u, results.size());
    EXPECT_TRUE(results[0]["copied"].get<bool>());
    EXPECT_EQ(results[0]["size"], results[0]["bytes"]);
    // The writer left the volume open: mounting repairs it, and says so.
    EXPECT_NE(std::string::npos, rw.err.find("mounting WROTE")) << rw.err;
}
