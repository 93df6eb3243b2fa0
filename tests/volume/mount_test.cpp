// Loading descriptors into driver slots, start-up over sets of disks (the
// printed text compared whole), the ring of drivers with its working driver,
// the hand-over when the working driver is full, and the driver summary.
//
// Every volume here has 2^20 sectors and 64 sectors per cluster: 16280
// clusters, 327 reserved.
#include <gtest/gtest.h>

#include <cstring>

#include "kxtime.h"
#include "support/test_volume.h"

namespace {

const uint64_t kSize = 1u << 20;
const uint64_t kFirst = 2048;

packed_time at(int hour, int minute) { return make_packed_time(2009, 5, 31, hour, minute, 0); }

// Stores section-1 times in a volume's descriptor.
void set_times(int disk, int part, packed_time start1, packed_time end1) {
    kx_driver* pdp = get_pdp(disk, part);
    ASSERT_NE(nullptr, pdp);
    pdp->start_time1 = start1;
    pdp->end_time1 = end1;
    ASSERT_EQ(0, save_pdp(pdp));
}

}  // namespace

// Catches a wrong line, table row or order anywhere in the start-up text, a
// failing disk stopping the others, and writes to disks that do not mount.
TEST(StartUp, PrintsItsTextWholeForNoneOneAndSeveralDisks) {
    TestDisks none({16});
    use_disks({none.dir.file("absent.img")});
    EXPECT_EQ(7, none.start_up());
    EXPECT_EQ(0, none.count);
    EXPECT_GOLDEN("volume/golden/startup_no_disk.txt", none.log.text());
    for (const kx_driver& d : g_drivers) EXPECT_EQ(KX_FREE_SLOT, d.type);

    TestDisks one({kFirst + kSize});
    one.format(0, 1, kSize, 64);
    EXPECT_EQ(0, one.start_up());
    EXPECT_EQ(1, one.count);
    EXPECT_GOLDEN("volume/golden/startup_one_volume.txt", one.log.text());

    // Disk 0: two volumes and an empty entry; disk 1: no partition table;
    // disk 2: a partition whose descriptor has no check word.
    TestDisks several({kFirst + 2 * kSize, 4096, kFirst + 65536});
    several.format(0, 2, kSize, 64);
    kx_partition table[4] = {{kFirst, 65536}, {0, 0}, {0, 0}, {0, 0}};
    ASSERT_EQ(0, kx_write_partitions(2, table));
    several.put_sector(kFirst + KX_TEMP_OFF, sector_bytes(SECTOR_SIZE, 0xA5), 2);
    uint64_t digest1 = file_digest(several.image(1)), digest2 = file_digest(several.image(2));
    EXPECT_EQ(0, several.start_up());
    EXPECT_EQ(2, several.count);
    EXPECT_GOLDEN("volume/golden/startup_three_disks.txt", several.log.text());
    EXPECT_EQ(nullptr, get_pdp(2, 0));
    EXPECT_EQ(digest1, file_digest(several.image(1)));
    EXPECT_EQ(digest2, file_digest(several.image(2)));
}

// Catches the working driver chosen by anything but the latest end_time1
// (the lower slot on a tie), a ring not in ascending start_time1 (slot order
// on a tie), and a failed driver kept in the ring.
TEST(StartUp, TheRingStartsAtTheNewestDriverAndRunsByStartTime) {
    TestDisks disks({kFirst + 2 * kSize, kFirst + 2 * kSize});
    disks.format(0, 2, kSize, 64);
    disks.format(1, 2, kSize, 64);
    disks.start_up();
    set_times(0, 0, at(8, 0), at(10, 0));
    set_times(0, 1, at(9, 0), at(12, 0));
    set_times(1, 0, at(7, 0), at(12, 0));
    set_times(1, 1, at(8, 0), at(11, 0));
    EXPECT_EQ(0, disks.start_up());
    kx_driver *a = get_pdp(0, 0), *b = get_pdp(0, 1), *c = get_pdp(1, 0), *d = get_pdp(1, 1);
    EXPECT_EQ(b, g_work_driver[0]);
    EXPECT_EQ(4, g_driver_num[0]);
    const kx_driver* ring[] = {b, c, a, d, b};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(ring[i + 1], ring[i]->next) << i;
        EXPECT_EQ(ring[i], ring[i + 1]->prev) << i;
    }
    for (const char* row : {"\n|0.0 -> 1.1|", "\n*0.1 -> 1.0|", "\n|1.0 -> 0.0|", "\n|1.1 -> 0.1|"})
        EXPECT_TRUE(disks.log.contains(row)) << row;

    b->err_status = KX_ERR_STATUS_FAILED;
    EXPECT_EQ(0, link_drivers(0));
    EXPECT_EQ(c, g_work_driver[0]);
    EXPECT_EQ(3, g_driver_num[0]);
    EXPECT_EQ(a, c->next);
    EXPECT_EQ(d, a->next);
    EXPECT_EQ(c, d->next);
}

// Under the adapter flag a full driver wraps in place and is saved closed
// (status 0x55) while the other volume is left alone. Catches a hand-over to
// another driver, an open descriptor, and a star on the working driver.
TEST(StartUp, WithTheAdapterFlagASwitchWrapsTheWorkingDriverInPlace) {
    TestDisks disks({kFirst + 2 * kSize});
    disks.format(0, 2, kSize, 64);
    disks.start_up();
    set_times(0, 0, at(8, 0), at(11, 0));
    set_times(0, 1, at(9, 0), at(10, 0));
    kx_set_fs_adapt(1);
    disks.start_up();
    kx_driver* work = get_pdp(0, 0);
    ASSERT_EQ(work, g_work_driver[0]);
    sector_bytes other = disks.sector(kFirst + kSize + KX_TEMP_OFF);
    switch_work_driver(work);
    EXPECT_EQ(work, g_work_driver[0]);
    EXPECT_EQ(work->rev_clus - 1, work->current_cluster);
    sector_bytes desc = disks.sector(kFirst + KX_TEMP_OFF);
    EXPECT_EQ(KX_STATUS_CLOSED, get_le32(desc.data() + 12));
    EXPECT_EQ(1, desc[8]);
    EXPECT_EQ(other, disks.sector(kFirst + kSize + KX_TEMP_OFF));
    EXPECT_FALSE(disks.log.contains("\n*0.0"));
}

// Without the flag the writer hands over to the next driver: opened where it
// stopped (a collision when the clock lies before its end), or given a new
// pass (section 2 from cluster 256) when it is full as well.
TEST(StartUp, WithoutTheAdapterFlagTheWriterMovesToTheNextDriver) {
    TestDisks disks({kFirst + 2 * kSize});
    disks.format(0, 2, kSize, 64);
    disks.start_up();
    kx_driver *a = get_pdp(0, 0), *b = get_pdp(0, 1);
    a->end_time1 = at(11, 0);
    link_drivers(0);
    ASSERT_EQ(a, g_work_driver[0]);
    b->end_time1 = at(13, 0);  // after the clock's 12:00
    b->current_cluster = 500;
    switch_work_driver(a);
    EXPECT_EQ(b, g_work_driver[0]);
    EXPECT_EQ(KX_STATUS_CLOSED, get_le32(disks.sector(kFirst + KX_TEMP_OFF).data() + 12));
    sector_bytes desc = disks.sector(kFirst + kSize + KX_TEMP_OFF);
    EXPECT_EQ(0u, get_le32(desc.data() + 12)) << "the next driver is opened";
    EXPECT_EQ(1u, get_le32(desc.data() + 160));
    EXPECT_EQ(501u, b->collision[0]);
    EXPECT_TRUE(disks.log.contains("Set new collision at cluster 500 in work driver\n"));

    a->current_cluster = a->total_clus - 10;
    a->end_time1 = at(9, 0);
    switch_work_driver(b);
    EXPECT_EQ(a, g_work_driver[0]);
    desc = disks.sector(kFirst + KX_TEMP_OFF);
    const uint32_t words[][2] = {{16, at(12, 0)}, {24, a->rev_clus - 1}, {28, 256},
                                 {32, a->total_clus - 10}, {40, at(9, 0)}, {160, 0}};
    for (const auto& w : words) EXPECT_EQ(w[1], get_le32(desc.data() + w[0])) << "word " << w[0];
}

// Mended: a descriptor saved with a transfer error (err_status 15) or a
// collision_index would retire the volume or misplace the writer for ever.
// Also catches a moved slot on a second mount and a wrong collision sector.
TEST(Mount, LoadingTakesTheDescriptorAndClearsTheMemoryWords) {
    TestDisks disks({kFirst + kSize, kFirst + kSize});
    disks.format(0, 1, kSize, 64);
    disks.format(1, 1, kSize, 64);
    const uint64_t desc = kFirst + KX_TEMP_OFF;
    const uint32_t words[][2] = {{108, 0}, {152, 15}, {156, 0}, {164, 77}, {180, 0xDEADBEEF}, {224, 0}, {160, 2}};
    for (const auto& w : words) disks.put_word(desc, w[0], w[1], 1);
    disks.put_word(kFirst + 38, 0, 0x401, 1);  // collision_off 0 means the sector after the descriptor's + 4
    disks.put_word(kFirst + 38, 4, 0x10002, 1);
    ASSERT_EQ(0, kx_fs_mount(1, 0));
    kx_driver* pdp = get_pdp(1, 0);
    ASSERT_NE(nullptr, pdp);
    const int slot = driver_slot(pdp);
    EXPECT_EQ(std::vector<uint64_t>({1, 0, kFirst, 0, 38, 0, 0}),
              std::vector<uint64_t>({pdp->disk_no, pdp->part, pdp->start_sector, pdp->err_status,
                                     pdp->collision_off, get_le32(pdp->raw + 180), pdp->collision_index}));
    EXPECT_EQ(g_collision_buf[slot], pdp->collision);
    EXPECT_EQ(g_section_buf[slot], pdp->sections);
    EXPECT_EQ(0x401u, pdp->collision[0]);
    EXPECT_EQ(0x10002u, pdp->collision[1]);
    ASSERT_EQ(0, kx_fs_mount(1, 0));
    EXPECT_EQ(pdp, get_pdp(1, 0));
    ASSERT_EQ(0, kx_fs_mount(0, 0));
    EXPECT_NE(slot, driver_slot(get_pdp(0, 0)));
}

// Catches mounts of empty entries, absent disks, and a full table taking
// another partition's slot.
TEST(Mount, WhatCannotBeMountedFails) {
    TestDisks disks({kFirst + kSize});
    disks.format(0, 1, kSize, 64);
    disks.start_up();
    EXPECT_EQ(-1, kx_fs_mount(0, 1));
    EXPECT_EQ(-1, kx_fs_mount(0, 4));
    EXPECT_EQ(-1, kx_fs_mount(5, 0));
    auto fill_free_slots = [] {
        for (int i = 0; i < KX_MAX_DRIVERS; i++) {
            if (g_drivers[i].type != KX_FREE_SLOT) continue;
            g_drivers[i].type = 1;
            g_drivers[i].disk_no = 9;
            g_drivers[i].part = (uint32_t)i;
        }
    };
    fill_free_slots();
    EXPECT_EQ(0, kx_fs_mount(0, 0)) << "0.0 keeps its own slot";
    free_driver(0, 0);
    fill_free_slots();
    disks.log.clear();
    EXPECT_EQ(-1, kx_fs_mount(0, 0));
    EXPECT_EQ("get_empty_driver failed!!!!!!!!!!!!!\n", disks.log.text());
}

// An open volume of type 0, 3 or 4 is repaired in order (directory scan,
// user-data ring, descriptor save); types 1 and 2 never are, nor written.
TEST(Mount, OpenVolumesOfTypesZeroThreeAndFourAreRepaired) {
    TestDisks disks({kFirst + kSize});
    disks.format(0, 1, kSize, 64);
    const uint64_t desc = kFirst + KX_TEMP_OFF;
    disks.put_word(desc, 12, 0);
    for (uint32_t type : {0u, 3u, 4u, 1u, 2u}) {
        disks.put_word(desc, 84, type);
        ide_reset_counters();
        disks.log.clear();
        ASSERT_EQ(0, kx_fs_mount(0, 0)) << type;
        const std::string& log = disks.log.text();
        size_t scan = log.find("restore_fs41() "), ring = log.find("restore_ud_area add "),
               save = log.find("save_pdp,0 dev-- ");
        if (type == 1 || type == 2) {
            EXPECT_EQ("", log) << type;
            EXPECT_EQ(0u, ide_get_counters(0).writes) << type;
        } else {
            EXPECT_TRUE(scan < ring && ring < save && save != std::string::npos) << type << "\n" << log;
        }
    }
}

// Catches summary spans not widened by the time sections (or by entries
// whose times are out of order), free space shown while section 2 exists,
// and disk_index written for a disk the disk-access library does not report.
TEST(Mount, TheSummaryWidensItsSpansWithTheTimeSections) {
    TestDisks disks({kFirst + kSize, kFirst + kSize, kFirst + kSize});
    for (int i = 0; i < 3; i++) disks.format(i, 1, kSize, 64);
    disks.start_up();
    kx_driver* pdp = get_pdp(2, 0);
    ASSERT_NE(nullptr, pdp);
    pdp->current_cluster = 1000;
    pdp->start_time1 = at(10, 0);
    pdp->end_time1 = at(9, 30);  // the clock was set back during the pass
    pdp->start_cluster2 = 1256;
    pdp->end_cluster2 = 5000;
    pdp->start_time2 = at(8, 0);
    pdp->end_time2 = at(8, 30);
    pdp->collision_num = 2;
    time_section* t = pdp->sections;
    t[0] = {pdp, nullptr, at(10, 0), at(11, 0), 327, 500, 0, 0, 0};
    t[1] = {pdp, nullptr, at(9, 0), at(9, 30), 501, 1000, 0, 0, 0};
    t[2] = {pdp, nullptr, at(7, 0), at(6, 0), 1001, 1100, 0, 0, 0};  // times out of order: left out
    t[3] = {pdp, nullptr, at(8, 0), at(8, 30), 1256, 5000, 0, 0, 0};
    g_work_driver[0] = nullptr;  // no refresh from the directory
    driver_info info;
    memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(0, kx_get_driver_info(2, 0, &info));
    EXPECT_EQ(std::vector<uint32_t>({0, 0, 4, at(8, 0), at(9, 30), 0, at(8, 0), at(11, 0), 508, 0, 0, 2}),
              std::vector<uint32_t>({info.type, info.is_work, info.section_num, info.start_time1, info.end_time1,
                                     info.zero, info.start_time2, info.end_time2, info.total_mb, info.free_mb,
                                     info.err_status, info.disk_index}));
    pdp->start_cluster2 = 0;
    ASSERT_EQ(0, kx_get_driver_info(2, 0, &info));
    EXPECT_EQ(477u, info.free_mb);
    EXPECT_EQ(1, kx_get_driver_info(2, 1, &info));
    link_drivers(0);
    ASSERT_EQ(0, kx_get_driver_info(g_work_driver[0]->disk_no, 0, &info));
    EXPECT_EQ(1u, info.is_work);
    pdp->disk_no = 6;
    info.disk_index = 0xABCD;
    ASSERT_EQ(0, kx_get_driver_info(6, 0, &info));
    EXPECT_EQ(0xABCDu, info.disk_index);
}
