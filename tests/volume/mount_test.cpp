// Loading a descriptor into a driver slot, mounting, and the driver summary.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kxtime.h"
#include "meta/meta.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

const uint64_t kPartSize = 1u << 20;  // 64 sectors per cluster: 16280 clusters, 327 reserved
const uint64_t kFirstPart = 2048;

packed_time at(int hour, int minute) {
    return make_packed_time(2009, 5, 31, hour, minute, 0);
}

class Mount : public ::testing::Test {
   protected:
    // `disks` images, each with `parts` formatted volumes from sector 2048.
    void make(int disks, int parts) {
        std::vector<std::string> paths;
        for (int i = 0; i < disks; i++)
            paths.push_back(make_sparse_image(m_dir.file("disk" + std::to_string(i) + ".img"),
                                              kFirstPart + parts * kPartSize));
        use_disks(paths);
        start_up();
        for (int i = 0; i < disks; i++) {
            kx_partition table[4] = {};
            for (int j = 0; j < parts; j++) table[j] = {kFirstPart + j * kPartSize, kPartSize};
            ASSERT_EQ(0, kx_write_partitions(i, table));
            for (int j = 0; j < parts; j++) ASSERT_EQ(0, kx_format_driver(i, j, 64));
        }
        start_up();
    }
    void start_up() {
        m_log.clear();
        int count = 0;
        packed_time shutdown = 0;
        kx_file_sys_init(&count, &shutdown);
    }
    // Changes a word of a sector on the disk, past the buffer pool, which is
    // then started afresh.
    void patch(int disk, uint64_t sector, size_t off, uint32_t value) {
        std::vector<uint8_t> s(SECTOR_SIZE);
        ASSERT_EQ(0, ide_read64(disk, 1, (uint32_t)sector, 0, s.data()));
        put_le32(s.data() + off, value);
        ASSERT_EQ(0, ide_write64(disk, 1, (uint32_t)sector, 0, s.data()));
        init_buf_pool();
    }

    TempDir m_dir;
    LogCapture m_log;
};

TEST_F(Mount, LoadingTakesTheDescriptorAndSetsTheMemoryWords) {
    make(2, 1);
    const uint64_t desc = kFirstPart + KX_TEMP_OFF;
    patch(1, desc, 108, 0);           // disk_no as another disk wrote it
    patch(1, desc, 152, 15);          // a transfer error recorded in an earlier run
    patch(1, desc, 156, 0);           // collision_off 0: the sector after the descriptor's + 4
    patch(1, desc, 164, 77);          // collision_index: found again at mount
    patch(1, desc, 180, 0xDEADBEEF);  // the word the recorder clears
    patch(1, desc, 224, 0);           // start_sector
    patch(1, desc, 160, 2);           // two collisions, stored little-endian
    patch(1, kFirstPart + 38, 0, 0x00000401);
    patch(1, kFirstPart + 38, 4, 0x00010002);

    ASSERT_EQ(0, kx_fs_mount(1, 0));
    kx_driver* pdp = get_pdp(1, 0);
    ASSERT_NE(nullptr, pdp);
    const int slot = driver_slot(pdp);
    EXPECT_EQ(1u, pdp->disk_no);
    EXPECT_EQ(0u, pdp->part);
    EXPECT_EQ(kFirstPart, pdp->start_sector);
    EXPECT_EQ(0u, pdp->err_status);
    EXPECT_EQ(38u, pdp->collision_off);
    EXPECT_EQ(0u, get_le32(pdp->raw + 180));
    EXPECT_EQ(g_collision_buf[slot], pdp->collision);
    EXPECT_EQ(g_section_buf[slot], pdp->sections);
    EXPECT_EQ(0x401u, pdp->collision[0]);
    EXPECT_EQ(0x10002u, pdp->collision[1]);
    EXPECT_EQ(0u, pdp->collision_index) << "a fresh volume has no write position yet";
    EXPECT_EQ(nullptr, pdp->next);

    // Mounted again, the partition keeps its slot and buffers; another one
    // takes the next free slot.
    ASSERT_EQ(0, kx_fs_mount(1, 0));
    EXPECT_EQ(pdp, get_pdp(1, 0));
    EXPECT_EQ(g_collision_buf[slot], pdp->collision);
    ASSERT_EQ(0, kx_fs_mount(0, 0));
    EXPECT_NE(slot, driver_slot(get_pdp(0, 0)));
}

TEST_F(Mount, WhatCannotBeMountedFails) {
    make(1, 1);
    EXPECT_EQ(-1, kx_fs_mount(0, 1)) << "an empty table entry";
    EXPECT_EQ(-1, kx_fs_mount(0, 4));
    EXPECT_EQ(-1, kx_fs_mount(5, 0)) << "no such disk";
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
    m_log.clear();
    EXPECT_EQ(-1, kx_fs_mount(0, 0));
    EXPECT_EQ("get_empty_driver failed!!!!!!!!!!!!!\n", m_log.text());
}

// The layout a whole-disk initialisation gives: the partition starts at
// sector 0 and holds the disk label ahead of its descriptor.
TEST_F(Mount, AVolumeHoldingTheDiskLabelMounts) {
    use_disks({make_sparse_image(m_dir.file("whole.img"), kPartSize)});
    start_up();
    kx_partition table[4] = {{0, kPartSize}, {0, 0}, {0, 0}, {0, 0}};
    ASSERT_EQ(0, kx_write_partitions(0, table));
    ASSERT_EQ(0, kx_format_driver(0, 0, 64));
    EXPECT_EQ(0, kx_fs_mount(0, 0));
}

// An open volume is repaired in order: the directory scan, the user-data
// ring, then the descriptor save. Types 1 and 2 are never repaired.
TEST_F(Mount, OpenVolumesOfTypesZeroThreeAndFourAreRepaired) {
    make(1, 1);
    const uint64_t desc = kFirstPart + KX_TEMP_OFF;
    patch(0, desc, 12, 0);
    for (uint32_t type : {0u, 3u, 4u}) {
        patch(0, desc, 84, type);
        m_log.clear();
        ASSERT_EQ(0, kx_fs_mount(0, 0)) << type;
        size_t scan = m_log.text().find("restore_fs41() ");
        size_t ring = m_log.text().find("restore_ud_area add ");
        size_t save = m_log.text().find("save_pdp,0 dev-- ");
        ASSERT_NE(std::string::npos, scan) << type;
        ASSERT_NE(std::string::npos, ring) << type;
        ASSERT_NE(std::string::npos, save) << type;
        EXPECT_LT(scan, ring);
        EXPECT_LT(ring, save);
    }
    for (uint32_t type : {1u, 2u}) {
        patch(0, desc, 84, type);
        ide_reset_counters();
        m_log.clear();
        ASSERT_EQ(0, kx_fs_mount(0, 0)) << type;
        EXPECT_EQ("", m_log.text()) << type;
        EXPECT_EQ(0u, ide_get_counters(0).writes) << type;
    }
}

TEST_F(Mount, TheSummaryWidensItsSpansWithTheTimeSections) {
    make(3, 1);
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
    EXPECT_EQ(0u, info.type);
    EXPECT_EQ(0u, info.is_work);
    EXPECT_EQ(4u, info.section_num);
    EXPECT_EQ(at(8, 0), info.start_time1) << "widened by section 2's entry";
    EXPECT_EQ(at(9, 30), info.end_time1);
    EXPECT_EQ(0u, info.zero);
    EXPECT_EQ(at(8, 0), info.start_time2);
    EXPECT_EQ(at(11, 0), info.end_time2) << "cleared, then widened by the entries before the writer";
    EXPECT_EQ(508u, info.total_mb);
    EXPECT_EQ(0u, info.free_mb) << "no free space while section 2 exists";
    EXPECT_EQ(0u, info.err_status);
    EXPECT_EQ(2u, info.disk_index);

    pdp->start_cluster2 = 0;
    ASSERT_EQ(0, kx_get_driver_info(2, 0, &info));
    EXPECT_EQ(477u, info.free_mb);
    EXPECT_EQ(1, kx_get_driver_info(2, 1, &info));
    link_drivers(0);
    ASSERT_EQ(0, kx_get_driver_info(g_work_driver[0]->disk_no, 0, &info));
    EXPECT_EQ(1u, info.is_work);
}

// A driver whose disk the disk-access library does not report keeps the
// caller's disk_index.
TEST_F(Mount, TheDevicePositionIsOnlyWrittenForAReportedDisk) {
    make(1, 1);
    kx_driver* pdp = get_pdp(0, 0);
    pdp->disk_no = 6;
    driver_info info;
    info.disk_index = 0xABCD;
    ASSERT_EQ(0, kx_get_driver_info(6, 0, &info));
    EXPECT_EQ(0xABCDu, info.disk_index);
}

}  // namespace
