// Start-up over sets of disks: the whole printed text, the ring of drivers
// with its working driver, and the hand-over when the working driver is full.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kxtime.h"
#include "meta/meta.h"
#include "platform/clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

// Every volume of these tests: 2^20 sectors, 64 sectors per cluster, which
// formats to 16280 clusters, 327 of them reserved.
const uint64_t kPartSize = 1u << 20;
const uint64_t kFirstPart = 2048;

packed_time at(int hour, int minute) {
    return make_packed_time(2009, 5, 31, hour, minute, 0);
}

std::string dashes(int n) {
    return " " + std::string(n, '-') + "\n";
}

const char* const kBanner = "kx_file_sys_init() libKXFS.a $Rev: 2937 $, Build in:May 31 2009 14:17:54\n";
const char* const kNoOtherTypes =
    "none type 1 driver!\nnone type 2 driver!\nnone type 3 driver!\nnone type 4 driver!\n";
const char* const kEnd = "kx_file_sys_init() end============================\n\n";

std::string basic_head() {
    return "driver basic parameter:\n" + dashes(100) +
           "| dev.part |type|total_clus | temp_off | index_off | dir_off | data_off |"
           " rev_clus | sec/clus |status|\n"
           "|----------|----|-----------|----------|-----------|---------|----------|"
           "----------|----------|------|\n";
}
std::string operation_head() {
    return "driver operation parameter:\n" + dashes(121) +
           "| dev.part | F| S|  curr  |        start1         |         end1          |"
           "        start2         |        end2           |\n"
           "|          |  |  |        |MM-DD HH:MM:SS|  clus  |MM-DD HH:MM:SS|  clus  |"
           "MM-DD HH:MM:SS|  clus  |MM-DD HH:MM:SS|  clus  |\n"
           "|----------|--|--|--------|--------------|--------|--------------|--------|"
           "--------------|--------|--------------|--------|\n";
}
std::string chart_head() {
    return "driver time chart:\n" + dashes(74) +
           "|dev.part | period of time                                                 |\n"
           "|---------|----------------------------------------------------------------|\n";
}
std::string sections_head() {
    return dashes(72) + "driver time sections:\n" + dashes(72) +
           "|dev part |start_clus| end_clus |    start_time     |   end_time        |\n";
}
const char* const kSectionRule =
    "|---------|----------|----------|-------------------|-------------------|\n";

class StartUp : public ::testing::Test {
   protected:
    void SetUp() override {
        pc_clock_set_fake({2009, 5, 31, 12, 0, 0}, 1000);
        kx_set_fs_adapt(0);
    }
    void TearDown() override { pc_clock_use_real(); }

    // Disks of `sectors` each; then the volumes, each (disk, partition) in
    // consecutive 2^20-sector partitions from sector 2048.
    void make_disks(const std::vector<uint64_t>& sectors) {
        std::vector<std::string> paths;
        for (size_t i = 0; i < sectors.size(); i++)
            paths.push_back(make_sparse_image(m_dir.file("disk" + std::to_string(i) + ".img"), sectors[i]));
        use_disks(paths);
        start_up();
    }
    void make_volumes(int disk, int parts) {
        kx_partition table[4] = {};
        for (int j = 0; j < parts; j++) table[j] = {kFirstPart + j * kPartSize, kPartSize};
        ASSERT_EQ(0, kx_write_partitions(disk, table));
        for (int j = 0; j < parts; j++) ASSERT_EQ(0, kx_format_driver(disk, j, 64));
    }
    int start_up() {
        m_log.clear();
        packed_time shutdown = 0;
        m_count = -1;
        return kx_file_sys_init(&m_count, &shutdown);
    }
    // Stores section-1 times in a volume's descriptor.
    void set_times(int disk, int part, packed_time start1, packed_time end1) {
        kx_driver* pdp = get_pdp(disk, part);
        ASSERT_NE(nullptr, pdp);
        pdp->start_time1 = start1;
        pdp->end_time1 = end1;
        ASSERT_EQ(0, save_pdp(pdp));
    }
    std::vector<uint8_t> descriptor_on_disk(int disk, uint64_t part_start) {
        std::vector<uint8_t> s(SECTOR_SIZE);
        EXPECT_EQ(0, ide_read64(disk, 1, (uint32_t)(part_start + KX_TEMP_OFF), 0, s.data()));
        return s;
    }

    TempDir m_dir;
    LogCapture m_log;
    int m_count = -1;
};

TEST_F(StartUp, OneFreshVolumePrintsEveryTable) {
    make_disks({kFirstPart + kPartSize});
    make_volumes(0, 1);
    EXPECT_EQ(0, start_up());
    EXPECT_EQ(1, m_count);
    std::string expected =
        std::string(kBanner) + "disk_num = 1\nDISK:1, capa:1050624\ndisk 0:\npartition 0:\n" + kNoOtherTypes +
        kEnd + basic_head() +
        "|0.0 -> 0.0|   0|      16280|        34|       6400|      187|      6656|       327|        64|"
        "0x0055|\n" +
        dashes(96) + operation_head() +
        "*0.0 -> 0.0| 0| O|       0|00-00 00:00:00|     327|00-00 00:00:00|       0|00-00 00:00:00|"
        "       0|00-00 00:00:00|       0|\n" +
        dashes(122) + chart_head() + "|   0. 0  |" + std::string(64, ' ') + "|\n" + sections_head() +
        kSectionRule +
        "|   0. 0  |        0 |        0 | 00-00-00 00:00:00 | 00-00-00 00:00:00 |\n"
        "|   0. 0  |        0 |        0 | 00-00-00 00:00:00 | 00-00-00 00:00:00 |\n" +
        dashes(72) + "\n";
    EXPECT_EQ(expected, m_log.text());
}

TEST_F(StartUp, NoReadableDiskPrintsEmptyTables) {
    use_disks({m_dir.file("absent.img")});
    EXPECT_EQ(7, start_up());
    EXPECT_EQ(0, m_count);
    std::string expected = std::string(kBanner) +
                           "disk_num = 1\nDISK:1, capa:0\ndisk 0:\n"
                           "disk access parameter error : disk 0, offset 30,  error 2\n"
                           "read kxfs partitions failed.\n"
                           "none type 0 driver!\n" +
                           kNoOtherTypes + kEnd + basic_head() + dashes(96) + operation_head() + dashes(122) +
                           chart_head() + sections_head() + dashes(72) + "\n";
    EXPECT_EQ(expected, m_log.text());
    for (const kx_driver& d : g_drivers) EXPECT_EQ(KX_FREE_SLOT, d.type);
}

// Disk 0: two volumes and an empty entry; disk 1: no partition table;
// disk 2: a partition whose descriptor has no check word. Nothing is
// written to the disks that do not mount.
TEST_F(StartUp, SeveralDisksMountWhatTheyCanAndLeaveTheRestUntouched) {
    make_disks({kFirstPart + 2 * kPartSize, 4096, kFirstPart + 65536});
    make_volumes(0, 2);
    kx_partition table[4] = {{kFirstPart, 65536}, {0, 0}, {0, 0}, {0, 0}};
    ASSERT_EQ(0, kx_write_partitions(2, table));
    std::vector<uint8_t> broken(SECTOR_SIZE, 0xA5);
    ASSERT_EQ(0, ide_write64(2, 1, kFirstPart + KX_TEMP_OFF, 0, broken.data()));
    uint64_t digest1 = file_digest(m_dir.file("disk1.img"));
    uint64_t digest2 = file_digest(m_dir.file("disk2.img"));

    EXPECT_EQ(0, start_up());
    EXPECT_EQ(2, m_count);
    std::string row_tail =
        "|   0|      16280|        34|       6400|      187|      6656|       327|        64|0x0055|\n";
    std::string op_tail =
        "| 0| O|       0|00-00 00:00:00|     327|00-00 00:00:00|       0|"
        "00-00 00:00:00|       0|00-00 00:00:00|       0|\n";
    std::string empty_section = "|        0 |        0 | 00-00-00 00:00:00 | 00-00-00 00:00:00 |\n";
    std::string expected =
        std::string(kBanner) +
        "disk_num = 3\nDISK:1, capa:2099200\nDISK:2, capa:4096\nDISK:3, capa:67584\n"
        "disk 0:\npartition 0:\npartition 1:\n"
        "disk 1:\nread kxfs partitions failed.\n"
        "disk 2:\npartition 0:\ntemp sec check flag error\nmount kxfs partition failed.\n" +
        kNoOtherTypes + kEnd + basic_head() + "|0.0 -> 0.1" + row_tail + "|0.1 -> 0.0" + row_tail +
        dashes(96) + operation_head() + "*0.0 -> 0.1" + op_tail + "|0.1 -> 0.0" + op_tail + dashes(122) +
        chart_head() + "|   0. 0  |" + std::string(64, ' ') + "|\n" + "|   0. 1  |" + std::string(64, ' ') +
        "|\n" + sections_head() + kSectionRule + "|   0. 0  " + empty_section + "|   0. 0  " + empty_section +
        kSectionRule + "|   0. 1  " + empty_section + "|   0. 1  " + empty_section + dashes(72) + "\n";
    EXPECT_EQ(expected, m_log.text());
    EXPECT_EQ(nullptr, get_pdp(2, 0));
    EXPECT_EQ(digest1, file_digest(m_dir.file("disk1.img")));
    EXPECT_EQ(digest2, file_digest(m_dir.file("disk2.img")));
}

// The working driver is the one written last (the lower slot on a tie); the
// ring runs on in ascending start_time1 (slot order on a tie).
TEST_F(StartUp, TheRingStartsAtTheNewestDriverAndRunsByStartTime) {
    make_disks({kFirstPart + 2 * kPartSize, kFirstPart + 2 * kPartSize});
    make_volumes(0, 2);
    make_volumes(1, 2);
    start_up();
    set_times(0, 0, at(8, 0), at(10, 0));
    set_times(0, 1, at(9, 0), at(12, 0));
    set_times(1, 0, at(7, 0), at(12, 0));
    set_times(1, 1, at(8, 0), at(11, 0));
    EXPECT_EQ(0, start_up());
    EXPECT_EQ(4, m_count);
    kx_driver* a = get_pdp(0, 0);
    kx_driver* b = get_pdp(0, 1);
    kx_driver* c = get_pdp(1, 0);
    kx_driver* d = get_pdp(1, 1);
    EXPECT_EQ(b, g_work_driver[0]);
    EXPECT_EQ(4, g_driver_num[0]);
    const kx_driver* ring[] = {b, c, a, d, b};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(ring[i + 1], ring[i]->next) << i;
        EXPECT_EQ(ring[i], ring[i + 1]->prev) << i;
    }
    EXPECT_TRUE(m_log.contains("\n|0.0 -> 1.1|"));
    EXPECT_TRUE(m_log.contains("\n|0.1 -> 1.0|"));
    EXPECT_TRUE(m_log.contains("\n*0.1 -> 1.0|"));
    EXPECT_TRUE(m_log.contains("\n|1.0 -> 0.0|"));
    EXPECT_TRUE(m_log.contains("\n|1.1 -> 0.1|"));

    // A driver with a recorded transfer error drops out of the ring.
    b->err_status = KX_ERR_STATUS_FAILED;
    EXPECT_EQ(0, link_drivers(0));
    EXPECT_EQ(c, g_work_driver[0]);
    EXPECT_EQ(3, g_driver_num[0]);
    EXPECT_EQ(a, c->next);
    EXPECT_EQ(d, a->next);
    EXPECT_EQ(c, d->next);
}

TEST_F(StartUp, WithTheAdapterFlagASwitchWrapsTheWorkingDriverInPlace) {
    make_disks({kFirstPart + 2 * kPartSize});
    make_volumes(0, 2);
    start_up();
    set_times(0, 0, at(8, 0), at(11, 0));
    set_times(0, 1, at(9, 0), at(10, 0));
    kx_set_fs_adapt(1);
    start_up();
    kx_driver* work = get_pdp(0, 0);
    ASSERT_EQ(work, g_work_driver[0]);
    std::vector<uint8_t> other_before = descriptor_on_disk(0, kFirstPart + kPartSize);

    switch_work_driver(work);
    EXPECT_EQ(work, g_work_driver[0]);
    EXPECT_EQ(work->rev_clus - 1, work->current_cluster);
    std::vector<uint8_t> desc = descriptor_on_disk(0, kFirstPart);
    EXPECT_EQ(KX_STATUS_CLOSED, get_le32(desc.data() + 12));
    EXPECT_EQ(1, desc[8]);
    EXPECT_EQ(other_before, descriptor_on_disk(0, kFirstPart + kPartSize));
    EXPECT_FALSE(m_log.contains("\n*0.0")) << "no working driver is marked under the adapter flag";
}

// Without the flag the writer hands over to the next driver of the ring:
// opened where it stopped (a collision if the clock lies before its end), or
// given a new pass when it is full as well.
TEST_F(StartUp, WithoutTheAdapterFlagTheWriterMovesToTheNextDriver) {
    make_disks({kFirstPart + 2 * kPartSize});
    make_volumes(0, 2);
    start_up();
    kx_driver* a = get_pdp(0, 0);
    kx_driver* b = get_pdp(0, 1);
    a->end_time1 = at(11, 0);
    link_drivers(0);
    ASSERT_EQ(a, g_work_driver[0]);
    b->end_time1 = at(13, 0);  // after the clock's 12:00
    b->current_cluster = 500;

    switch_work_driver(a);
    EXPECT_EQ(b, g_work_driver[0]);
    std::vector<uint8_t> desc = descriptor_on_disk(0, kFirstPart);
    EXPECT_EQ(KX_STATUS_CLOSED, get_le32(desc.data() + 12));
    EXPECT_EQ(1, desc[8]) << "fill_count";
    desc = descriptor_on_disk(0, kFirstPart + kPartSize);
    EXPECT_EQ(0u, get_le32(desc.data() + 12)) << "the next driver is opened";
    EXPECT_EQ(1u, get_le32(desc.data() + 160));
    EXPECT_EQ(501u, b->collision[0]);
    EXPECT_TRUE(m_log.contains("Set new collision at cluster 500 in work driver\n"));

    a->current_cluster = a->total_clus - 10;
    a->end_time1 = at(9, 0);
    switch_work_driver(b);
    EXPECT_EQ(a, g_work_driver[0]);
    desc = descriptor_on_disk(0, kFirstPart);
    EXPECT_EQ(a->rev_clus - 1, get_le32(desc.data() + 24));
    EXPECT_EQ(256u, get_le32(desc.data() + 28));
    EXPECT_EQ(a->total_clus - 10, get_le32(desc.data() + 32));
    EXPECT_EQ(at(9, 0), get_le32(desc.data() + 40)) << "the full pass's end";
    EXPECT_EQ(at(12, 0), get_le32(desc.data() + 16));
    EXPECT_EQ(0u, get_le32(desc.data() + 160));
}

}  // namespace
