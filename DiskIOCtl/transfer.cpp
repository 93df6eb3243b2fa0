// Sector transfers. A transfer either moves every sector asked for or fails;
// the library above never sees a partial success.
#include <cerrno>

#include "disk_table.h"

namespace {

uint64_t lba_of(uint32_t lo, uint32_t hi) { return (static_cast<uint64_t>(hi) << 32) | lo; }

// The device part of `dev`: only device type 0 exists.
ide_disk* disk_of(uint32_t dev) { return (dev >> 16) == 0 ? ide_find_disk(dev & 0xFFFF) : nullptr; }

// Checks shared by reads and writes; 0 when the transfer may go ahead.
int check_transfer(const ide_disk* disk, uint32_t count, uint64_t lba, const void* buf) {
    if (!disk || !disk->image) return IDE_ERR_NO_DISK;
    if (!buf) return IDE_ERR_ARG;
    if (lba > disk->capacity || count > disk->capacity - lba) return IDE_ERR_RANGE;
    return 0;
}

int count_result(ide_disk* disk, int rc) {
    if (rc != 0 && disk) disk->counters.failed++;
    return rc;
}

}  // namespace

int ide_read64(uint32_t dev, uint32_t count, uint32_t lba_lo, uint32_t lba_hi, void* buf) {
    ide_disk* disk = disk_of(dev);
    uint64_t lba = lba_of(lba_lo, lba_hi);
    if (disk) {
        disk->counters.reads++;
        disk->counters.read_sectors += count;
    }
    if (count == 0 && disk && disk->image) return 0;
    int rc = check_transfer(disk, count, lba, buf);
    if (rc == 0 && ide_fault_hits(dev & 0xFFFF, lba, count, IDE_FAULT_READ)) rc = IDE_ERR_INJECTED;
    if (rc != 0) return count_result(disk, rc);

    auto* bytes = static_cast<unsigned char*>(buf);
    rc = disk->image->read_at(lba * IDE_SECTOR_SIZE, bytes, static_cast<size_t>(count) * IDE_SECTOR_SIZE);
    if (rc == 0) ide_overlay_patch(*disk, lba, count, bytes);
    return count_result(disk, rc);
}

int ide_write64(uint32_t dev, uint32_t count, uint32_t lba_lo, uint32_t lba_hi, const void* buf) {
    ide_disk* disk = disk_of(dev);
    uint64_t lba = lba_of(lba_lo, lba_hi);
    if (disk) {
        disk->counters.writes++;
        disk->counters.written_sectors += count;
    }
    if (count == 0 && disk && disk->image) return 0;
    int rc = check_transfer(disk, count, lba, buf);
    if (rc == 0 && ide_fault_hits(dev & 0xFFFF, lba, count, IDE_FAULT_WRITE)) rc = IDE_ERR_INJECTED;
    if (rc != 0) return count_result(disk, rc);

    const auto* bytes = static_cast<const unsigned char*>(buf);
    if (disk->read_only) {
        ide_overlay_store(*disk, lba, count, bytes);
        return 0;
    }
    if (ide_fault_hits(dev & 0xFFFF, lba, count, IDE_FAULT_PROTECT)) {
        rc = IDE_ERR_IO;
        errno = EROFS;
    } else {
        rc = disk->image->write_at(lba * IDE_SECTOR_SIZE, bytes, static_cast<size_t>(count) * IDE_SECTOR_SIZE);
    }
    if (rc == IDE_ERR_IO && ide_write_refusal(errno)) {
        // The disk opened for writing but refuses it (a write blocker that
        // only says so on the first write): from now on it is read with the
        // overlay, so that the library above goes on as on a read-only disk
        // instead of taking its partitions for broken.
        disk->write_refused = errno;
        disk->read_only = true;
        ide_overlay_store(*disk, lba, count, bytes);
        return 0;
    }
    return count_result(disk, rc);
}
