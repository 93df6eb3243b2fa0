// The built `tarvik` run on a recorder disk made by the library: usage
// errors, exit statuses, the JSON on stdout, and what it writes to a disk.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/app_support.h"
#include "core/download.h"
#include "core/version.h"

using namespace app_test;
using nlohmann::json;

// `text` holds (or lacks) `part`; both are shown when it does not.
#define EXPECT_HAS(text, part) EXPECT_PRED_FORMAT2(::testing::IsSubstring, part, text)
#define EXPECT_LACKS(text, part) EXPECT_PRED_FORMAT2(::testing::IsNotSubstring, part, text)

namespace {

const std::string kDays = " --start '2009-05-30 00:00:00' --end '2009-05-31 23:59:59'";

std::vector<std::string> Lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class TarvikCli : public ::testing::Test {
   protected:
    TarvikCli() { m_disk.Record(0, m_recs); }

    struct Run {
        int status;
        std::string out, err;
    };
    // Runs tarvik over the disk with these arguments (shell words) in UTC.
    // `as` goes in front of the command (e.g. setpriv and its options).
    Run Tarvik(const std::string& args, const std::string& disk = "", const std::string& as = "") {
        const std::string out = m_disk.dir.file("stdout"), err = m_disk.dir.file("stderr");
        const std::string cmd = "TZ=UTC " + as + " '" TARVIK_BINARY_DIR "/tarvik' -D '" +
                                (disk.empty() ? m_disk.image : disk) + "' " + args + " >'" + out + "' 2>'" +
                                err + "' </dev/null";
        const int ws = std::system(cmd.c_str());
        return Run{WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, ReadText(out), ReadText(err)};
    }
    std::string Output() const { return " --output '" + m_disk.dir.file("out") + "'"; }

    AppDisk m_disk{{ring_part_sectors(16, 300)}};
    std::vector<layout_record> m_recs = {make_record(0, At(2009, 5, 30, 8, 0), At(2009, 5, 30, 8, 30), 3),
                                         make_record(0, At(2009, 5, 30, 23, 50), At(2009, 5, 31, 0, 10), 2),
                                         make_record(1, At(2009, 5, 31, 9, 0), At(2009, 5, 31, 9, 10))};
};

}  // namespace

// Usage errors (status 2) are found before the library starts; nothing found
// is 3, a partition that does not mount 4. Search --json prints one array and
// nothing else on stdout. Without --repair no command changes the image.
TEST_F(TarvikCli, ExitStatusesAndJson) {
    const uint64_t before = file_digest(m_disk.image);
    const std::string ro = "--read-only ";  // accepted: it is the default
    const std::string get = "download --disk 1 --channel 1" + Output() + kDays + " --select ";
    const struct {
        std::string args;
        int status;
        std::string out, err;
    } cases[] = {
        {"search --channel 1" + kDays, 2, "", ""},  // no --disk
        {"search --disk 1 --channel 1 --start '2009-02-30 00:00:00' --end '2009-05-31 00:00:00'", 2, "", ""},
        {"search --disk 1 --channel 0" + kDays, 2, "", ""},  // channels from 1
        {"days --disk 1 --partition 4", 2, "", ""},
        {"frobnicate --disk 1", 2, "", "unknown command frobnicate (commands: disks"},
        {"--repair --read-only disks", 2, "", "excludes"},
        {"search --disk 2 --channel 1" + kDays, 2, "", ""},  // a disk beyond those given
        {"search --disk 1 --channel 1 --start '2009-05-31 00:00:00' --end '2009-05-30 00:00:00'", 2, "",
         "is later than --end"},
        {get + "''", 2, "", "--select: empty"},
        {get + "1,7", 2, "", "7 is not in the list (1-2)"},
        {get + "3", 2, "", "3 is not in the list (1-2)"},
        {"search --disk 1 --channel 5 --json" + kDays, 3, "[]\n", "No record."},
        {ro + "days --disk 1 --partition 2 --json", 4, "[]\n", "partition 2 of disk 1 is not mounted"},
        {"days --disk 1 --partition 0 --json", 0, "[\"2009-05-30\",\"2009-05-31\"]\n", ""},
        {"--help", 0, "", ""},
        {"download --help", 0, "", ""},
        {"--version", 0, "tarvik " + ProjectVersion(), ""},
    };
    for (const auto& c : cases) {
        const Run r = Tarvik(c.args);
        EXPECT_EQ(c.status, r.status) << c.args << "\n" << r.err;
        EXPECT_EQ(c.out, c.status != 0 ? r.out : r.out.substr(0, c.out.size())) << c.args;  // a prefix if 0
        EXPECT_HAS(r.err, c.err) << c.args;
    }
    EXPECT_EQ(2, Tarvik("disks", m_disk.dir.file("none.img")).status);
    const int fromEnvironment = std::system(("TARVIK_DISKS='" + m_disk.dir.file("none.img") +
                                             "' '" TARVIK_BINARY_DIR "/tarvik' disks >/dev/null 2>&1")
                                                .c_str());
    EXPECT_EQ(2, WEXITSTATUS(fromEnvironment)) << "a path in TARVIK_DISKS that cannot be opened";

    const Run r = Tarvik("search --disk 1 --channel 1 --json" + kDays);
    ASSERT_EQ(0, r.status) << r.err;
    json list = json::parse(r.out);  // throws (fails) on any stray text
    ASSERT_EQ(2u, list.size());
    EXPECT_EQ(0u, list[1]["name"].get<std::string>().rfind("23.50.00-00.10.00[R][@", 0)) << list[1];
    list[1].erase("name");
    EXPECT_EQ(json::parse(R"({"index": 2, "disk": 1, "partition": 0, "channel": 1, "size": 16384,
                              "start": "2009-05-30 23:50:00", "end": "2009-05-31 00:10:00"})"),
              list[1]);
    EXPECT_HAS(r.err, "kx_file_sys_init()") << "the library's messages go to stderr";
    const Run quiet = Tarvik("-q " + ro + "search --disk 1 --channel 1 --json" + kDays);
    EXPECT_EQ(r.out, quiet.out);
    EXPECT_LACKS(quiet.err, "kx_file_sys_init()");
    EXPECT_EQ(before, file_digest(m_disk.image));
}

// By default the image is never written, whatever mounting and reading
// change in memory; with --repair every write is announced on stderr.
TEST_F(TarvikCli, DownloadCopiesAndTellsAboutDiskWrites) {
    const uint64_t before = file_digest(m_disk.image);
    const std::string get = "download --disk 1 --channel 1" + Output() + kDays;
    const Run ro = Tarvik(get + " --select 2");
    ASSERT_EQ(0, ro.status) << ro.err;
    EXPECT_EQ(before, file_digest(m_disk.image));
    const std::string copied = ro.out.substr(0, ro.out.find('\n'));
    EXPECT_EQ(0u, copied.rfind(m_disk.dir.file("out/Disk00_Part00/2009-05-30/001/23.50.00-00.10.00"), 0))
        << copied;
    EXPECT_EQ(layout_expected(m_recs[1], 0, 32 * 512), ReadFile(copied));
    EXPECT_HAS(ro.err, "Download Completely!");
    EXPECT_LACKS(ro.err, "WROTE");
    EXPECT_HAS(ro.err, "in memory only");

    const Run rw = Tarvik("--repair " + get + " --json");
    ASSERT_EQ(0, rw.status) << rw.err;
    const json results = json::parse(rw.out);
    ASSERT_EQ(2u, results.size());
    EXPECT_TRUE(results[0]["copied"].get<bool>());
    EXPECT_EQ(results[0]["size"], results[0]["bytes"]);
    EXPECT_HAS(rw.err, "mounting WROTE") << "the writer left the volume open: mounting repairs it";

    // An unreadable sector filled with zeros is named and gives status 1; a
    // resumed run copies that one again and skips the other.
    const uint64_t bad = clus_sector(get_pdp(0, 0), m_recs[0].chain[1]) + 2;
    const Run filled =
        Tarvik(get + " --fill-unreadable --json", "", "TARVIK_FAULTS=0:" + std::to_string(bad) + ":r");
    ASSERT_EQ(1, filled.status) << filled.err;
    const json f = json::parse(filled.out);
    EXPECT_EQ("copied with 1 unreadable sectors", f[0]["status"]);
    EXPECT_EQ(json::parse(R"([{"offset": 9216, "bytes": 512}])"), f[0]["unreadable"]);
    EXPECT_HAS(filled.err, "copied with 1 unreadable sectors (zeros at bytes 9216-9727)");
    const Run resumed = Tarvik(get + " --resume");
    ASSERT_EQ(0, resumed.status) << resumed.err;
    EXPECT_HAS(resumed.err, "1 recording(s) already copied were skipped.");
}

// A path that is no recorder disk never looks like an empty recorder: the
// command says what is wrong with it and exits 4, and `disks` says why too.
TEST_F(TarvikCli, NotARecorderDiskSaysWhy) {
    const std::string random = m_disk.dir.file("random"), empty = m_disk.dir.file("empty");
    const std::string shortCut = m_disk.dir.file("cut16"), noVolume = m_disk.dir.file("cut2048");
    std::system(("head -c 65536 /dev/urandom >'" + random + "'").c_str());
    std::ofstream(empty).close();
    for (const auto& [copy, sectors] : {std::pair{shortCut, 16}, std::pair{noVolume, 2048}}) {
        std::filesystem::copy_file(m_disk.image, copy);
        ASSERT_EQ(0, truncate(copy.c_str(), sectors * 512));
    }
    for (const std::string& disk : {random, make_sparse_image(m_disk.dir.file("zeros"), 2048), empty,
                                    m_disk.dir.path(), shortCut, std::string("/dev/null"), noVolume}) {
        const std::string problem =
            disk == noVolume ? "partition 0 not mounted" : "no recorder partition table";
        for (const std::string& args :
             {"search --disk 1 --channel 1" + kDays, std::string("days --disk 1 --partition 0")}) {
            const Run r = Tarvik(args, disk);
            EXPECT_EQ(4, r.status) << disk << " " << args;
            EXPECT_HAS(r.err, "disk 1 (" + disk + "): " + problem + "\n");
        }
        const Run disks = Tarvik("disks", disk);
        EXPECT_EQ(4, disks.status) << disk;
        EXPECT_HAS(disks.out, "not a usable recorder disk: " + problem);
    }
}

// A read-only loop device (as behind a write blocker) with --repair: the repair
// stays in memory, said once; searched and copied as any other, never changed.
TEST_F(TarvikCli, AWriteProtectedDiskFallsBackToMemory) {
    const std::string list = m_disk.dir.file("loop");
    if (std::system(("losetup -f --show -r '" + m_disk.image + "' >'" + list + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot make a read-only loop device here (needs root and loop support)";
    std::string loop = ReadText(list);
    loop.pop_back();  // the newline
    const uint64_t before = file_digest(m_disk.image);
    const Run disks = Tarvik("--repair disks", loop);
    const Run found = Tarvik("--repair search --disk 1 --channel 1 --json" + kDays, loop);
    const Run copied = Tarvik("--repair download --disk 1 --channel 1" + Output() + kDays, loop);
    std::system(("losetup -d '" + loop + "'").c_str());  // only the device this test made
    EXPECT_EQ(0, disks.status) << disks.err;
    EXPECT_LACKS(disks.out, "transfer error");
    EXPECT_EQ(0, found.status) << found.err;
    EXPECT_EQ(2u, json::parse(found.out).size());
    EXPECT_EQ(0, copied.status) << copied.err;
    const std::string refusal = "cannot be written (Read-only file system): the repair could not be stored";
    EXPECT_HAS(copied.err, refusal);
    EXPECT_EQ(copied.err.find(refusal), copied.err.rfind(refusal)) << "said once";
    EXPECT_LACKS(copied.err, "WROTE");
    EXPECT_EQ(before, file_digest(m_disk.image));
}

// The first recording loses its first cluster: its last two clusters are
// orphaned footage, listed, filtered and copied with their exact bytes.
TEST_F(TarvikCli, OrphansListedFilteredAndCopied) {
    const layout_record& lost = m_recs[0];
    kx_driver* pdp = get_pdp(0, 0);
    const kx_dir_item cleared{};
    uint8_t index = 0;
    make_index_item(&index, 5, CLUS_TYPE_FOLLOW);
    ASSERT_EQ(0, set_dir_item_info(pdp, lost.chain[0], &cleared, 1));
    ASSERT_EQ(0, set_index_item_info(pdp, lost.chain[0], &index, 1));
    ASSERT_EQ(0, sync_disk(0));
    const std::string ro = "--read-only orphans --disk 1 ";
    const std::pair<std::string, int> cases[] = {
        {ro + "--start '2009-05-30 00:00:00'", 2},  // no --end
        {ro + "--end '2009-05-30 09:00:00'", 2},    // no --start
        {"--read-only orphans --disk 2", 2},        // one disk given
        {ro + "--partition 2", 4},
        {ro + "--channel 2", 3},
        {ro + "--start '2009-05-30 08:31:00' --end '2009-05-30 09:00:00'", 3},
        {ro + "--channel 1 --start '2009-05-30 08:30:00' --end '2009-05-30 09:00:00'", 0},
    };
    for (const auto& [args, status] : cases) EXPECT_EQ(status, Tarvik(args).status) << args;
    EXPECT_HAS(Tarvik(ro + "--start '2009-05-30 00:00:00'").err, "--start and --end go together");

    const Run r = Tarvik(ro + "--json" + Output());
    ASSERT_EQ(0, r.status) << r.err;
    json list = json::parse(r.out);
    ASSERT_EQ(1u, list.size());
    char name[128];
    snprintf(name, sizeof name, "out/Disk00_Part00/2009-05-30/001/orphan_08.10.00-08.30.00[@%x].mvr",
             lost.chain[1]);
    EXPECT_EQ(64u, list[0].value("sha256", "").size());
    list[0].erase("sha256");
    json want = json::parse(R"({"disk": 1, "partition": 0, "channel": 1, "start": "2009-05-30 08:10:00",
        "end": "2009-05-30 08:30:00", "clusters": 2, "size": 16384, "copied": true, "bytes": 16384,
        "error": null, "status": "copied", "unreadable": []})");
    want.update({{"first_cluster", lost.chain[1]}, {"old_first_cluster", lost.chain[0]}});
    want["path"] = m_disk.dir.file(name);
    EXPECT_EQ(want, list[0]);
    EXPECT_EQ(0, std::system(("cd '" + m_disk.dir.file("out") +
                              "' && sha256sum --quiet --strict -c tarvik-manifest.sha256")
                                 .c_str()));
    EXPECT_EQ(layout_expected(lost, 16 * 512, 32 * 512), ReadFile(m_disk.dir.file(name)));
}

// A second run meets the first's copy in progress: it leaves it alone and names
// the conflict; the first's copy is whole and nothing else appears.
TEST_F(TarvikCli, ACopyInProgressIsLeftToItsRun) {
    m_disk.Mount();
    CResultList list;
    list.Search(1, 0, 0, T("2009-05-30 00:00:00"), T("2009-05-31 23:59:59"));
    list.FetchAll();
    ASSERT_EQ(2u, list.Items().size());
    Run other{};
    CDownloadJob job;
    CallHook hook([&](int call) {  // the job has opened the recording and its .part, and reads now
        if (call == 2) other = Tarvik("download --disk 1 --channel 1 --select 2" + Output() + kDays);
    });
    ASSERT_EQ(CDownloadJob::StartResult::Started,
              job.Start({list.Items()[1].record}, m_disk.dir.file("out")));
    job.Wait();
    EXPECT_EQ(1, other.status);
    EXPECT_HAS(other.err, "being copied by another run");
    EXPECT_LACKS(other.err, "Download Completely!");
    ASSERT_TRUE(job.Outcomes().at(0).Whole()) << DescribeFailure(job.Outcomes()[0]);
    EXPECT_EQ(layout_expected(m_recs[1], 0, 32 * 512), ReadFile(job.Outcomes()[0].path));
    int files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(m_disk.dir.file("out")))
        files += e.is_regular_file() && e.path().filename().string().rfind("tarvik-", 0) != 0;
    EXPECT_EQ(1, files) << "the copy, beside the job files";
}

// An unusable output folder exits 4 with its real cause: no write permission
// (as an unprivileged user), or too little space (bytes needed and free).
TEST_F(TarvikCli, UnusableOutputFoldersSayWhy) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run tarvik as another user and to mount a small tmpfs";
    ASSERT_EQ(0, chmod(m_disk.dir.path().c_str(), 0755));  // the disk stays readable to the other user
    ASSERT_EQ(0, chmod(m_disk.image.c_str(), 0644));
    const std::string locked = m_disk.dir.file("locked"), small = m_disk.dir.file("small");
    ASSERT_EQ(0, mkdir(locked.c_str(), 0755));
    ASSERT_EQ(0, mkdir(small.c_str(), 0755));
    const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    const std::string get = "--read-only download --disk 1 --channel 1 --select 2" + kDays + " --output ";
    for (const std::string& output : {locked, locked + "/new"}) {
        const Run r = Tarvik(get + "'" + output + "'", "", nobody);
        EXPECT_EQ(4, r.status) << output << "\n" << r.err;
        EXPECT_HAS(r.err, "Permission denied");
    }
    EXPECT_FALSE(std::filesystem::exists(locked + "/new"));
    const TmpfsMount tmpfs(small, "4k");
    if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    const Run full = Tarvik(get + "'" + small + "/out'");
    EXPECT_EQ(4, full.status) << full.err;
    EXPECT_HAS(full.err, "Storage device is no space!\ntarvik: 16384 bytes needed, 4096 bytes free");
    EXPECT_FALSE(std::filesystem::exists(small + "/out"));
}

// Two jobs into one folder: each job's line, then its recordings' lines, in
// the JSON lines and the CSV, carry the job's id; with --hash-source an E01's
// stored hashes are checked and its SHA-256 is the raw image's.
TEST_F(TarvikCli, TheReportKeepsEachJobAndRecording) {
    const std::string out = m_disk.dir.file("out"), d = "'" + m_disk.dir.path() + "/";
    ASSERT_EQ(0, std::system(("ewfacquire -u -q -c none -d sha1 -t " + d + "ewf' " + d +
                              "disk.img' >/dev/null && sha256sum " + d + "disk.img' >" + d + "sum'")
                                 .c_str()));
    const std::string args = "download --disk 1 --channel 1" + Output() + kDays;
    ASSERT_EQ(0, Tarvik("--read-only --clock-offset 600 " + args).status);
    const Run second = Tarvik(args + " --hash-source --select 1", m_disk.dir.file("ewf.E01"));
    ASSERT_EQ(0, second.status) << second.err;

    std::vector<json> lines;
    for (const std::string& line : Lines(out + "/tarvik-report.jsonl")) lines.push_back(json::parse(line));
    ASSERT_EQ(5u, lines.size());
    const json &job1 = lines[0], &job2 = lines[3];
    EXPECT_EQ("job", job1["type"]);
    EXPECT_NE(job1["job_id"], job2["job_id"]);
    EXPECT_EQ(600, job1["clock_offset"]);
    EXPECT_HAS(job1["settings"].get<std::string>(), "--clock-offset 600 download");
    EXPECT_EQ(20u, job1["start_utc"].get<std::string>().size());
    const json& src = job1["sources"][0];
    EXPECT_EQ(json({m_disk.image, "raw image", ReadFile(m_disk.image).size(), ""}),
              json({src["path"], src["kind"], src["bytes"], src["sha256"]}));
    const json& ewf = job2["sources"][0];
    EXPECT_EQ(json({"E01 image", ReadText(m_disk.dir.file("sum")).substr(0, 64),
                    "stored MD5 matches; stored SHA-1 matches"}),
              json({ewf["kind"], ewf["sha256"], ewf["verification"]}));

    const std::string name = lines[2]["name"], copy = out + "/Disk00_Part00/2009-05-30/001/" + name;
    uint32_t cluster = 0;
    ASSERT_TRUE(RecordFirstCluster(name.c_str(), &cluster)) << name;
    ASSERT_EQ(0, std::system(("sha256sum '" + copy + "' >" + d + "copysum'").c_str()));
    json want = json::parse(R"({"type": "recording", "disk": 1, "partition": 0, "channel": 1,
        "recorder_start": "2009-05-30 23:50:00", "recorder_end": "2009-05-31 00:10:00",
        "true_start": "2009-05-31 00:00:00", "true_end": "2009-05-31 00:20:00", "size": 16384,
        "bytes": 16384, "status": "copied", "reason": ""})");
    want.update({{"job_id", job1["job_id"]}, {"first_cluster", cluster}, {"name", name}, {"path", copy}});
    want["sha256"] = ReadText(m_disk.dir.file("copysum")).substr(0, 64);
    EXPECT_EQ(want, lines[2]);
    EXPECT_EQ(job2["job_id"], lines[4]["job_id"]);
    EXPECT_EQ("", lines[4]["true_start"]);

    const std::vector<std::string> rows = Lines(out + "/tarvik-report.csv");
    ASSERT_EQ(4u, rows.size());
    EXPECT_EQ(0u, rows[0].rfind("job_id,disk,partition,channel,first_cluster,name,recorder_start,", 0))
        << rows[0];
    EXPECT_EQ(0u, rows[2].rfind(job1["job_id"].get<std::string>() + ",1,0,1," + std::to_string(cluster), 0));
    EXPECT_EQ(0u, rows[3].rfind(job2["job_id"].get<std::string>() + ",", 0));
}
