// The work areas as files and the mount's tree, driven without a mount.
#include "core/workarea.h"

#include <cerrno>
#include <nlohmann/json.hpp>

#include "app/area_disk.h"
#include "core/mounttree.h"

using namespace app_test;

namespace {

std::vector<std::string> Names(CMountTree& tree, const std::string& path) {
    std::vector<CMountTree::Node> nodes;
    EXPECT_EQ(0, tree.List(path, &nodes)) << path;
    std::vector<std::string> names;
    for (const CMountTree::Node& n : nodes) names.push_back(n.name + (n.directory ? "/" : ""));
    return names;
}

}  // namespace

// Every field, times as text; a label with a quote and a non-ASCII byte stays
// valid JSON; the raw record keeps what the fields leave out.
TEST(WorkArea, SummaryJsonHoldsEveryField) {
    uint8_t rec[300] = {};
    memcpy(rec, "GATE \"7\"\xE9", 9);
    put_le32(rec + 32, 0x1234);
    put_le32(rec + 36, 3);
    put_le32(rec + 40, 15);
    for (int k = 0; k < 8; k++) {
        const int32_t words[8] = {2024, 2, 29 - k % 2, 99, 23, 59, k, 0};
        for (int i = 0; i < 8; i++) put_le32(rec + 44 + 32 * k + 4 * i, uint32_t(words[i]));
    }
    const nlohmann::json j = nlohmann::json::parse(SummaryJson(rec));
    EXPECT_EQ("GATE \"7\"\u00e9", j["part_label"]);
    EXPECT_EQ(nlohmann::json({0x1234, 3, 15}), nlohmann::json({j["part_word"], j["type"], j["err_status"]}));
    const char* names[] = {"recorded_start", "recorded_end", "start_time1",   "end_time1",
                           "start_time2",    "end_time2",    "default_time1", "default_time2"};
    for (int k = 0; k < 8; k++) {
        EXPECT_EQ("2024-02-" + std::to_string(29 - k % 2) + " 23:59:0" + std::to_string(k), j[names[k]]) << k;
    }
    const std::string hex = j["record_hex"];
    ASSERT_EQ(600u, hex.size());
    EXPECT_EQ("63000000", hex.substr(2 * (44 + 12), 8));  // a reserved word
}

// The summary as the adapter reads it, the whole log area (past 8 MiB), the
// player files; a partition not mounted and an unusable output told apart.
TEST(WorkArea, WritesSummaryWholeLogAndPlayerFiles) {
    AreaDisk d;
    const std::string out = d.disk.dir.file("out");
    std::vector<std::string> written;
    std::string failure;
    ASSERT_EQ(CWorkArea::Written::All, CWorkArea::WriteTo(0, 0, out, &written, &failure)) << failure;
    const std::string top = out + "/Disk00_Part00/_recorder/";
    EXPECT_EQ(
        (Strings{top + "summary.json", top + "log.bin", top + "player/setup.bin", top + "player/ui.bin"}),
        written);
    uint8_t rec[300];
    KXFILE s = kx_fopen("/mnt/idea0/DVRWorkDirectory", "rb");
    ASSERT_EQ(1u, kx_fread(rec, 300, 1, s));
    kx_fclose(s);
    EXPECT_EQ(SummaryJson(rec), ReadText(top + "summary.json"));
    EXPECT_EQ(AreaDisk::LogBytes(), ReadFile(top + "log.bin"));
    EXPECT_EQ(d.setup, ReadFile(top + "player/setup.bin"));
    EXPECT_EQ(d.ui, ReadFile(top + "player/ui.bin"));

    written.clear();
    EXPECT_EQ(CWorkArea::Written::NotMounted, CWorkArea::WriteTo(0, 2, out, &written, &failure));
    std::ofstream(d.disk.dir.file("file")) << "x";
    EXPECT_EQ(CWorkArea::Written::OutputFailed,
              CWorkArea::WriteTo(0, 0, d.disk.dir.file("file"), &written, &failure));
    EXPECT_TRUE(written.empty());
}

// Each recording once, under the day it started, with its size and start time;
// the work area beside the days; reads at any offset give its bytes.
TEST(MountTree, LaysOutRecordingsAndWorkAreas) {
    AreaDisk d;
    CMountTree tree(1234);
    EXPECT_EQ(Strings{"Disk00_Part00/"}, Names(tree, "/"));
    EXPECT_EQ((Strings{"2024-02-28/", "2024-02-29/", "_recorder/"}), Names(tree, "/Disk00_Part00"));
    EXPECT_EQ(Strings{"001/"}, Names(tree, "/Disk00_Part00/2024-02-28"));
    EXPECT_EQ((Strings{"001/", "002/"}), Names(tree, "/Disk00_Part00/2024-02-29/"));
    char name[64];
    snprintf(name, sizeof name, "09.00.00-09.05.00[R][@%x][0].mvr", d.recs[2].chain[0]);
    EXPECT_EQ(Strings{name}, Names(tree, "/Disk00_Part00/2024-02-29/001"));
    EXPECT_EQ((Strings{"summary.json", "log.bin", "player/"}), Names(tree, "/Disk00_Part00/_recorder"));
    EXPECT_EQ((Strings{"setup.bin", "ui.bin"}), Names(tree, "/Disk00_Part00/_recorder/player"));

    const std::string night =
        "/Disk00_Part00/2024-02-28/001/" + Names(tree, "/Disk00_Part00/2024-02-28/001")[0];
    CMountTree::Node n;
    ASSERT_EQ(0, tree.Lookup(night, &n));
    EXPECT_EQ((3u << 20) + 5 * 512, n.size);
    EXPECT_EQ(T("2024-02-28 23:50:00"), n.mtime);
    EXPECT_EQ(-ENOENT, tree.Lookup("/Disk00_Part00/2024-02-30/001", &n));
    EXPECT_EQ(-ENOENT, tree.Lookup("/Disk01_Part00", &n));
    EXPECT_EQ(-ENOTDIR, tree.Lookup(night + "/x", &n));
    std::unique_ptr<CSourceFile> f;
    EXPECT_EQ(-EISDIR, tree.Open("/Disk00_Part00", &f));
    ASSERT_EQ(0, tree.Open(night, &f));
    for (const auto& [offset, size] : std::vector<std::pair<uint64_t, size_t>>{
             {0, 1}, {4097, 4096}, {130001, 131072}, {1000003, 1u << 20}, {n.size - 7, 4096}}) {
        std::vector<uint8_t> got(size);
        const int64_t r = f->Read(got.data(), size, offset);
        ASSERT_EQ(int64_t(std::min<uint64_t>(size, n.size - offset)), r) << offset;
        got.resize(size_t(r));
        EXPECT_EQ(layout_expected(d.recs[0], offset, got.size()), got) << offset;
    }
    EXPECT_EQ(0, f->Read(n.name.data(), 1, n.size));
    ASSERT_EQ(0, tree.Open("/Disk00_Part00/_recorder/log.bin", &f));
    std::vector<uint8_t> log(f->Size());
    EXPECT_EQ(int64_t(log.size()), f->Read(log.data(), log.size(), 0));
    EXPECT_EQ(AreaDisk::LogBytes(), log);
}

// A sector the disk cannot give fails the read that meets it, and only that
// one; a name whose recording is not the one there any more does not open.
TEST(MountTree, UnreadableSectorAndStaleName) {
    AreaDisk d;
    CMountTree tree(0);
    const std::string dir = "/Disk00_Part00/2024-02-28/001/";
    const std::string name = Names(tree, dir)[0];
    std::unique_ptr<CSourceFile> f;
    ASSERT_EQ(0, tree.Open(dir + name, &f));
    const kx_driver* pdp = get_pdp(0, 0);
    ide_inject_fault(0, clus_sector(pdp, d.recs[0].chain[3]), clus_sector(pdp, d.recs[0].chain[3]),
                     IDE_FAULT_READ);
    std::vector<uint8_t> buf(1u << 20);
    EXPECT_EQ(-1, f->Read(buf.data(), buf.size(), 0));
    EXPECT_EQ(4096, f->Read(buf.data(), 4096, 2u << 20));
    EXPECT_EQ(layout_expected(d.recs[0], 2u << 20, 4096),
              std::vector<uint8_t>(buf.begin(), buf.begin() + 4096));
    ide_clear_faults();
    std::string other = name;
    other.replace(0, 8, "23.51.00");
    EXPECT_EQ(nullptr, CSourceFile::OpenPath("/mnt/idea0/2024-02-28/001/" + other, f->Size()));
    EXPECT_EQ(nullptr, CSourceFile::OpenPath("/mnt/idea0/2024-02-28/001/" + name, f->Size() + 512));
}
