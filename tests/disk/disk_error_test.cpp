// How a failed transfer is reported and recorded: parameter errors, the
// partition table sector, failures inside and outside a mounted driver.
//
// Disk 0 (8192 sectors) has partition 0 at 2048 + 1024 and partition 1 at
// 3072 + 1024. Slot 0 of the driver table stands for a driver of partition 0
// whose data area ends at 2048 + 256 + 10 x 64 = 2944; partition 1 has none.
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
        init_buf_pool();
        kx_set_hooks(nullptr);
        const kx_partition parts[4] = {{2048, 1024}, {3072, 1024}, {0, 0}, {0, 0}};
        ASSERT_EQ(kx_write_partitions(0, parts), 0);
        for (kx_driver& d : g_drivers) d.type = KX_FREE_SLOT;
        m_pdp->type = m_pdp->disk_no = m_pdp->part = 0;
        m_pdp->start_sector = 2048;
        m_pdp->data_off = 256;
        m_pdp->total_clus = 10;
        m_pdp->sector_per_clus = 64;
        reset();
    }
    void reset() {
        disk_reset_state();
        m_pdp->err_status = 0;
        m_log.clear();
    }
    // A one-sector transfer of the given kind that the disk refuses.
    int fail(uint64_t lba, int kind) {
        if (lba < k_capa) ide_inject_fault(0, lba, lba, kind == DISK_ERR_READ ? IDE_FAULT_READ : IDE_FAULT_WRITE);
        int rc = kind == DISK_ERR_READ ? disk_read(0, 1, lba, m_sector) : disk_write(0, 1, lba, m_sector);
        ide_clear_faults();
        return rc;
    }
    // read_err_disks, write_err_disks, err_disks, err_sector[0], err_status.
    std::vector<uint64_t> records() {
        return {read_err_disks, write_err_disks, err_disks, err_sector[0], m_pdp->err_status};
    }

    TempDir m_dir;
    LogCapture m_log;
    kx_driver* m_pdp = &g_drivers[0];
    uint8_t m_sector[SECTOR_SIZE] = {};
};

}  // namespace

// Catches failures blamed on the wrong driver (or none), parameter errors
// recorded as disk failures, and a driver taken out of use by a sector
// outside its data area.
TEST_F(DiskError, EachFailureIsReportedAndRecordedByWhereItLies) {
    const std::string io = "disk access io error : disk 0, offset ", param = "disk access parameter error : disk 0, offset ";
    struct {
        uint64_t lba;
        int kind, rc;
        std::string log;
        std::vector<uint64_t> records;
    } rows[] = {
        {k_capa + 1, DISK_ERR_READ, IDE_ERR_RANGE, param + "8193,  error 2\n", {0, 0, 0, 0, 0}},
        {k_capa, DISK_ERR_WRITE, IDE_ERR_RANGE, "", {0, 0, 0, 0, 0}},  // in no partition: silent
        {KX_LABEL_SECTOR, DISK_ERR_READ, IDE_ERR_INJECTED, io + "30,  error 2\n", {1, 0, 1, 30, 0}},
        {2500, DISK_ERR_WRITE, IDE_ERR_INJECTED, io + "2500,  error 1\n", {0, 1, 1, 2500, KX_ERR_STATUS_FAILED}},
        {2943, DISK_ERR_READ, IDE_ERR_INJECTED, io + "2943,  error 2\n", {1, 0, 1, 2943, KX_ERR_STATUS_FAILED}},
        {2944, DISK_ERR_READ, IDE_ERR_INJECTED, param + "2944,  error 2\n", {0, 0, 0, 0, 0}},
        {100, DISK_ERR_READ, IDE_ERR_INJECTED, "", {0, 0, 0, 0, 0}},    // before the first partition
        {3500, DISK_ERR_WRITE, IDE_ERR_INJECTED, "", {0, 0, 0, 0, 0}},  // partition 1: not mounted
        {6000, DISK_ERR_READ, IDE_ERR_INJECTED, "", {0, 0, 0, 0, 0}},   // after the last one
    };
    for (const auto& r : rows) {
        m_pdp->start_sector = r.lba == KX_LABEL_SECTOR ? 0 : 2048;  // the label is no driver's sector
        reset();
        EXPECT_EQ(fail(r.lba, r.kind), r.rc) << r.lba;
        EXPECT_EQ(m_log.text(), r.log) << r.lba;
        EXPECT_EQ(records(), r.records) << r.lba;
    }
    // A driver already out of use says nothing more; a freed one never did.
    reset();
    fail(2500, DISK_ERR_WRITE);
    m_log.clear();
    EXPECT_EQ(fail(2600, DISK_ERR_READ), IDE_ERR_INJECTED);
    EXPECT_EQ(m_log.text(), "");
    EXPECT_EQ(records(), std::vector<uint64_t>({0, 1, 1, 2500, KX_ERR_STATUS_FAILED}));
    reset();
    m_pdp->type = KX_FREE_SLOT;
    fail(2500, DISK_ERR_READ);
    EXPECT_EQ(m_log.text(), "");
    EXPECT_EQ(err_disks, 0u);
}

// Catches out-of-bounds indexing by a disk number or device type the library
// has no records for.
TEST_F(DiskError, UnknownDisksAndDeviceTypesAreParameterErrors) {
    disk_error(40, 1, DISK_ERR_READ);
    EXPECT_EQ(m_log.text(), "disk access parameter error : disk 40, offset 1,  error 2\n");
    m_log.clear();
    EXPECT_EQ(disk_write(0x10000, 1, 5, m_sector), IDE_ERR_NO_DISK);
    EXPECT_EQ(m_log.text(), "disk access parameter error : disk 0, offset 5,  error 1\n");
    EXPECT_EQ(records(), std::vector<uint64_t>({0, 0, 0, 0, 0}));
}

// Mended: reporting a failed read of sector 0 reads the label again, which
// reads sector 0 again (endless recursion). It is recorded once instead.
TEST_F(DiskError, AnUnreadableSignatureSectorIsReportedOnce) {
    init_buf_pool();
    ide_inject_fault(0, 0, 0, IDE_FAULT_READ);
    kx_partition parts[4];
    EXPECT_EQ(kx_read_partitions(0, parts), 1);
    EXPECT_EQ(m_log.text(), "disk access io error : disk 0, offset 0,  error 2\n");
    EXPECT_EQ(records(), std::vector<uint64_t>({1, 0, 1, 0, 0}));
}

// Mended: the dirty buffer of sector 2500 is the oldest; taking sector 30
// reuses it, its write-back fails, and the report reads sector 30 through the
// pool. That must not leave two buffers for one sector, and the failure must
// still find its driver.
TEST_F(DiskError, AWriteBackThatFailsWhileABufferIsReusedStillFindsItsDriver) {
    init_buf_pool();
    buf_head* dirty = get_buf(0, 2500);
    ASSERT_NE(dirty, nullptr);
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
