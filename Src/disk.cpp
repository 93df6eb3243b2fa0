// Sector transfers over the disk-access library, the per-disk spin-up
// bookkeeping, the host hooks and the records of failed transfers.
//
// Every sector the library moves passes through disk_read / disk_write (or
// the buffer pool, which uses them one sector at a time). A disk that has been
// idle for more than half its stand-by time may have spun down; before the
// next transfer it is woken with the host's lock released, so that other host
// threads are not blocked for the seconds a spin-up takes.
#include "disk.h"

#include "log.h"
#include "platform/clock.h"
#include "volume/volume.h"

const disk_op disk_ops[1] = {{ide_read64, ide_write64}};

disk_access_rec disk_access[KX_MAX_DISKS];
kx_hooks g_hooks;
disk_info g_disk_info;

uint32_t read_err_disks;
uint32_t write_err_disks;
uint32_t err_disks;
uint64_t err_sector[KX_MAX_DISKS];

namespace {

const char k_param_error[] = "disk access parameter error : disk %d, offset %d,  error %d\n";
const char k_io_error[] = "disk access io error : disk %d, offset %d,  error %d\n";

// Nonzero while disk_error reads a partition table to find the failing
// driver. That reading goes through the pool and may fail itself (a bad
// signature sector, or a dirty buffer written back on reuse); the nested
// report must not look the table up again, or a disk whose sector 0 cannot
// be read would recurse without end.
int g_table_lookup_depth = 0;

uint32_t disk_of(uint32_t dev) { return dev & 0xFFFFu; }

bool known_disk(uint32_t disk) { return disk < KX_MAX_DISKS; }

// Messages print the low 32 bits of the sector number as a signed value, as
// the recorder's tools always have.
int low_word(uint64_t lba) { return (int)(uint32_t)lba; }

// The transfer operations of a device value's type, or null for a type the
// table does not have (the recorder only ever uses type 0).
const disk_op* ops_of(uint32_t dev) {
    uint32_t type = dev >> 16;
    return type < sizeof disk_ops / sizeof disk_ops[0] ? &disk_ops[type] : nullptr;
}

void record_error(uint32_t disk, uint64_t lba, int kind) {
    kx_log(k_io_error, (int)disk, low_word(lba), kind);
    if (kind == DISK_ERR_READ)
        read_err_disks |= 1u << disk;
    else
        write_err_disks |= 1u << disk;
    err_sector[disk] = lba;
    err_disks |= 1u << disk;
}

// The driver mounted from the partition of `disk` that holds `lba`, or null
// when the table cannot be read, no entry holds the sector or the partition
// is not mounted.
kx_driver* driver_at(uint32_t disk, uint64_t lba) {
    kx_partition parts[4];
    g_table_lookup_depth++;
    int rc = kx_read_partitions((int)disk, parts);
    g_table_lookup_depth--;
    if (rc != 0) return nullptr;
    for (int i = 0; i < 4; i++) {
        // lba - start < size rather than lba < start + size: the table comes
        // from the disk and start + size may not fit in 64 bits.
        if (parts[i].start <= lba && lba - parts[i].start < parts[i].size) return get_pdp((int)disk, i);
    }
    return nullptr;
}

// The shared steps of a transfer: wake the disk if it may be asleep, run the
// operation, and either record the failure or the time of the access.
template <typename Buf, typename Op>
int transfer(uint32_t dev, uint32_t count, uint64_t lba, Buf buf, int kind, Op pick) {
    uint32_t disk = disk_of(dev);
    const disk_op* ops = ops_of(dev);
    if (!ops) {
        kx_log(k_param_error, (int)disk, low_word(lba), kind);
        return IDE_ERR_NO_DISK;
    }
    disk_check_wakeup(disk);
    int rc = pick(*ops)(dev, count, (uint32_t)lba, (uint32_t)(lba >> 32), buf);
    if (rc != 0) {
        disk_error(disk, lba, kind);
        return rc;
    }
    disk_touch(disk);
    return 0;
}

}  // namespace

int disk_read(uint32_t dev, uint32_t count, uint64_t lba, void* buf) {
    return transfer(dev, count, lba, buf, DISK_ERR_READ, [](const disk_op& o) { return o.read; });
}

int disk_write(uint32_t dev, uint32_t count, uint64_t lba, const void* buf) {
    return transfer(dev, count, lba, buf, DISK_ERR_WRITE, [](const disk_op& o) { return o.write; });
}

void disk_touch(uint32_t disk) {
    if (known_disk(disk)) disk_access[disk].last_access = pc_tick_ms();
}

void disk_check_wakeup(uint32_t disk) {
    if (!known_disk(disk)) return;
    const disk_access_rec& rec = disk_access[disk];
    if (rec.standby_ms == 0 && rec.last_access != 0) return;
    // Unsigned 32-bit difference: the tick count wraps after 49.7 days.
    if ((uint32_t)(pc_tick_ms() - rec.last_access) <= rec.standby_ms / 2) return;
    // The spin-up may take seconds: let the host's other threads run. Without
    // both lock hooks the host cannot be released, so the disk is left as is
    // and the transfer wakes it by itself.
    if (!g_hooks.lock || !g_hooks.unlock) return;
    g_hooks.unlock();
    ide_wakeup((int)disk);
    g_hooks.lock();
}

void wakeup_next_driver(kx_driver* pdp) {
    if (!pdp) return;
    if (g_hooks.wakeup) {
        g_hooks.wakeup((int)pdp->disk_no);
        return;
    }
    uint32_t disk = disk_of(pdp->disk_no);
    ide_wakeup((int)disk);
    disk_touch(disk);
}

void disk_error(uint32_t disk, uint64_t lba, int kind) {
    if (!known_disk(disk) || lba > g_disk_info.capa[disk]) {
        kx_log(k_param_error, (int)disk, low_word(lba), kind);
        return;
    }
    // The partition table sector belongs to no driver; neither does a sector
    // that failed while a table was being looked up (see g_table_lookup_depth).
    if (lba == KX_LABEL_SECTOR || g_table_lookup_depth > 0) {
        record_error(disk, lba, kind);
        return;
    }
    kx_driver* pdp = driver_at(disk, lba);
    if (!pdp || pdp->err_status != 0) return;
    // The product wraps in 32 bits as the recorder computes it; the sum is 64.
    uint64_t end = pdp->start_sector + pdp->data_off + (uint32_t)(pdp->total_clus * pdp->sector_per_clus);
    if (lba >= end) {
        kx_log(k_param_error, (int)disk, low_word(lba), kind);
        return;
    }
    record_error(disk, lba, kind);
    pdp->err_status = KX_ERR_STATUS_FAILED;
}

void disk_reset_state(void) {
    uint32_t now = pc_tick_ms();
    for (disk_access_rec& rec : disk_access) {
        rec.last_access = now;
        rec.standby_ms = 0;
    }
    read_err_disks = 0;
    write_err_disks = 0;
    err_disks = 0;
    for (uint64_t& s : err_sector) s = 0;
}

void kx_set_hooks(const kx_hooks* hooks) {
    if (hooks)
        g_hooks = *hooks;
    else
        g_hooks = kx_hooks{};
}
