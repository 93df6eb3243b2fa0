// How a failed transfer is reported and recorded: parameter errors, the
// partition table sector, failures inside and outside a mounted driver.
//
// Disk 0 (8192 sectors) carries a partition table with partition 0 at
// 2048 + 1024 and partition 1 at 3072 + 1024. Slot 0 of the driver table
// stands for a driver mounted from partition 0 whose data area ends at
// 2048 + 256 + 10 x 64 = 2944; partition 1 has no driver.
#include <gtest/gtest.h>

#include <cstring>

#include "disk.h"
#include "platform/clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "volume/volume.h"

namespace {

const uint64_t k_capa = 8192;

class DiskError : public ::testing::Test {
protected:
    void SetUp() override {
        use_disks({make_sparse_image(m_dir.file("d0.img"), k_capa)});
        ide_getinfo64(&g_disk_info);
        pc_clock_set_fake({2009, 5, 31, 14, 17, 54}, 5000);
        init_buf_pool();
        disk_reset_state();
        kx_set_hooks(nullptr);
        const kx_partition parts[4] = {{2048, 1024}, {3072, 1024}, {0, 0}, {0, 0}};
        ASSERT_EQ(kx_write_partitions(0, parts), 0);

        for (kx_driver& d : g_drivers) d.type = KX_FREE_SLOT;
        m_pdp = &g_drivers[0];
        m_pdp->type = 0;
        m_pdp->disk_no = 0;
        m_pdp->part = 0;
        m_pdp->start_sector = 2048;
        m_pdp->data_off = 256;
        m_pdp->total_clus = 10;
        m_pdp->sector_per_clus = 64;
        m_pdp->err_status = 0;
        m_log.clear();
    }
    void TearDown() override { pc_clock_use_real(); }

    // A one-sector transfer of the given kind that the disk refuses.
    int fail(uint64_t lba, int kind) {
        int faults = kind == DISK_ERR_READ ? IDE_FAULT_READ : IDE_FAULT_WRITE;
        if (lba < k_capa) ide_inject_fault(0, lba, lba, faults);
        int rc = kind == DISK_ERR_READ ? disk_read(0, 1, lba, m_sector) : disk_write(0, 1, lba, m_sector);
        ide_clear_faults();
        return rc;
    }
    void expect_nothing_recorded() {
        EXPECT_EQ(read_err_disks | write_err_disks | err_disks, 0u);
        EXPECT_EQ(err_sector[0], 0u);
        EXPECT_EQ(m_pdp->err_status, 0u);
    }

    TempDir m_dir;
    LogCapture m_log;
    kx_driver* m_pdp = nullptr;
    uint8_t m_sector[SECTOR_SIZE] = {};
};

TEST_F(DiskError, ASectorBeyondTheCapacityIsAParameterError) {
    EXPECT_EQ(fail(k_capa + 1, DISK_ERR_READ), IDE_ERR_RANGE);
    EXPECT_EQ(m_log.text(), "disk access parameter error : disk 0, offset 8193,  error 2\n");
    // The capacity itself is not beyond it: it goes on to the partition
    // table, lies in no partition and passes silently.
    m_log.clear();
    EXPECT_EQ(fail(k_capa, DISK_ERR_WRITE), IDE_ERR_RANGE);
    EXPECT_EQ(m_log.text(), "");
    // A disk number the library has no records for.
    disk_error(40, 1, DISK_ERR_READ);
    EXPECT_EQ(m_log.text(), "disk access parameter error : disk 40, offset 1,  error 2\n");
    // A device type the transfer table does not have (only type 0 exists).
    m_log.clear();
    EXPECT_EQ(disk_write(0x10000, 1, 5, m_sector), IDE_ERR_NO_DISK);
    EXPECT_EQ(m_log.text(), "disk access parameter error : disk 0, offset 5,  error 1\n");
    expect_nothing_recorded();
}

TEST_F(DiskError, ThePartitionTableSectorIsRecordedWithoutMarkingADriver) {
    m_pdp->start_sector = 0;  // even a driver whose partition holds the label
    EXPECT_EQ(fail(KX_LABEL_SECTOR, DISK_ERR_READ), IDE_ERR_INJECTED);
    EXPECT_EQ(m_log.text(), "disk access io error : disk 0, offset 30,  error 2\n");
    EXPECT_EQ(read_err_disks, 1u);
    EXPECT_EQ(write_err_disks, 0u);
    EXPECT_EQ(err_disks, 1u);
    EXPECT_EQ(err_sector[0], 30u);
    EXPECT_EQ(m_pdp->err_status, 0u);
}

TEST_F(DiskError, AFailureInsideADriverTakesItOutOfUseOnce) {
    EXPECT_EQ(fail(2500, DISK_ERR_WRITE), IDE_ERR_INJECTED);
    EXPECT_EQ(m_log.text(), "disk access io error : disk 0, offset 2500,  error 1\n");
    EXPECT_EQ(write_err_disks, 1u);
    EXPECT_EQ(read_err_disks, 0u);
    EXPECT_EQ(err_disks, 1u);
    EXPECT_EQ(err_sector[0], 2500u);
    EXPECT_EQ(m_pdp->err_status, KX_ERR_STATUS_FAILED);

    // The driver is already out of use: a second failure says nothing.
    m_log.clear();
    EXPECT_EQ(fail(2600, DISK_ERR_READ), IDE_ERR_INJECTED);
    EXPECT_EQ(m_log.text(), "");
    EXPECT_EQ(err_sector[0], 2500u);
    EXPECT_EQ(read_err_disks, 0u);
}

TEST_F(DiskError, ASectorPastTheDriversDataAreaIsAParameterError) {
    EXPECT_EQ(fail(2944, DISK_ERR_READ), IDE_ERR_INJECTED);
    EXPECT_EQ(m_log.text(), "disk access parameter error : disk 0, offset 2944,  error 2\n");
    expect_nothing_recorded();

    // The last sector of the data area belongs to the driver.
    m_log.clear();
    fail(2943, DISK_ERR_READ);
    EXPECT_EQ(m_pdp->err_status, KX_ERR_STATUS_FAILED);
}

TEST_F(DiskError, FailuresNoDriverAnswersForPassSilently) {
    fail(100, DISK_ERR_READ);   // before the first partition
    fail(6000, DISK_ERR_READ);  // after the last one
    fail(3500, DISK_ERR_WRITE); // in partition 1, which is not mounted
    m_pdp->type = KX_FREE_SLOT;
    fail(2500, DISK_ERR_READ);  // partition 0 after its driver was freed
    EXPECT_EQ(m_log.text(), "");
    expect_nothing_recorded();
}

TEST_F(DiskError, AnUnreadableSignatureSectorIsReportedOnce) {
    // The table is of the kind that needs the signature, so reading it reads
    // sector 0 – the very sector whose failure is being reported.
    init_buf_pool();
    ide_inject_fault(0, 0, 0, IDE_FAULT_READ);
    kx_partition parts[4];
    EXPECT_EQ(kx_read_partitions(0, parts), 1);
    EXPECT_EQ(m_log.text(), "disk access io error : disk 0, offset 0,  error 2\n");
    EXPECT_EQ(read_err_disks, 1u);
    EXPECT_EQ(err_sector[0], 0u);
    EXPECT_EQ(m_pdp->err_status, 0u);
}

TEST_F(DiskError, AWriteBackThatFailsWhileABufferIsReusedStillFindsItsDriver) {
    // The dirty buffer of sector 2500 is the oldest; taking sector 30 reuses
    // it, its write fails, and the report reads sector 30 through the pool.
    init_buf_pool();
    buf_head* dirty = get_buf(0, 2500);
    ASSERT_NE(dirty, nullptr);
    memset(dirty->data, 0x11, SECTOR_SIZE);
    dirty->valid = dirty->dirty = 1;
    release_buf(dirty);
    for (uint64_t s = 0; s < BUF_POOL_SIZE - 1; s++) release_buf(get_buf(0, 4096 + s));
    ide_inject_fault(0, 2500, 2500, IDE_FAULT_WRITE);

    buf_head* table = read_buf(0, KX_LABEL_SECTOR);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(get_le32(table->data + 308), KX_CHECK_WORD);
    release_buf(table);
    EXPECT_EQ(m_log.text(), "disk access io error : disk 0, offset 2500,  error 1\n");
    EXPECT_EQ(m_pdp->err_status, KX_ERR_STATUS_FAILED);
    EXPECT_EQ(find_buf(0, 2500), dirty);  // clean now, and still under its sector
    EXPECT_EQ(dirty->dirty, 0);
}

}  // namespace
