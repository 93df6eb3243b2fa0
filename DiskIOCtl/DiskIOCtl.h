// Disk-access library: the five operations through which the recorder's
// file-system library reaches the disks, over image files and block devices.
//
// Sectors are 512 bytes. A disk address (LBA) is passed as two 32-bit halves,
// low half first. `dev` carries the disk number in its low 16 bits and the
// device type (always 0) in its high 16 bits. Every operation returns 0 for
// complete success; a short transfer, a transfer past the end of the disk or
// an I/O error is a nonzero code, never a partial success.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#define IDE_MAX_DISKS 32
#define IDE_SECTOR_SIZE 512

// Error codes of the transfer operations (any nonzero value is a failure).
#define IDE_ERR_NO_DISK 1     // disk number not configured or not open
#define IDE_ERR_RANGE 2       // transfer reaches past the end of the disk
#define IDE_ERR_IO 3          // the operating system reported an error
#define IDE_ERR_SHORT 4       // the transfer moved fewer bytes than asked
#define IDE_ERR_INJECTED 5    // a fault injected by a test
#define IDE_ERR_ARG 6         // bad argument (null buffer)

// Filled by ide_getinfo64. Disk number n is the n-th position (ascending,
// from 0) that is set in present_mask and not in skip_mask.
struct disk_info {
    uint32_t disk_num;       // disks found
    uint32_t channel_num;    // positions run 0 .. 2 * channel_num - 1
    uint32_t present_mask;   // bit p: position p holds a device
    uint32_t skip_mask;      // bit p: position p is passed over (mounted file system)
    uint64_t capa[32];       // capacity in sectors, by disk number
};

int ide_init(void);
int ide_getinfo64(disk_info* info);
int ide_read64(uint32_t dev, uint32_t count, uint32_t lba_lo, uint32_t lba_hi, void* buf);
int ide_write64(uint32_t dev, uint32_t count, uint32_t lba_lo, uint32_t lba_hi, const void* buf);
int ide_wakeup(int disk);

// ---- Host configuration (call before ide_init) ----

// The disks are these paths, in this order (image files or block devices).
// An empty list falls back to TARVIK_DISKS ("a:b:c"), then to the block
// devices of /sys/block that carry no mounted file system.
void ide_set_disk_paths(const std::vector<std::string>& paths);

// Read-only mode: no disk is ever opened for writing; written sectors are
// kept in an in-memory overlay that later reads return. Outside it, a disk
// that refuses writing (a read-only file or block device, a write blocker:
// EROFS, EPERM or EACCES on opening or on a write) falls back to the overlay.
void ide_set_read_only(bool on);

// Path of a disk ("" when the disk number is unknown), whether it could be
// opened at all, and whether its writes go to the overlay.
std::string ide_disk_path(int disk);
bool ide_disk_is_open(int disk);
bool ide_disk_is_read_only(int disk);
// The errno with which a disk refused writing outside read-only mode, 0 when
// it did not (or read-only mode was asked for).
int ide_disk_write_refused(int disk);

// The paths the disks come from when they are named (by the host or in
// TARVIK_DISKS); empty when the machine's block devices are searched.
std::vector<std::string> ide_named_paths(void);

// Tells the kernel that a disk is read front to back (a copy) or again at
// random (searches): it reads further ahead for the first.
void ide_hint_sequential(int disk, bool on);

// A path is a block device, a raw image, the first segment of a split raw
// image (NAME.001 or NAME.000, then NAME.002, ...) or an E01 image (NAME.E01,
// NAME.E02, ...). Split and E01 images are always read-only.
#define IDE_OPEN_UNREADABLE 1  // the path, or a file of its set, cannot be opened or read
#define IDE_OPEN_INCOMPLETE 2  // a segment of the set is missing, truncated or damaged
// Opens and closes a path as ide_init would: 0, or an IDE_OPEN_* code and a
// message naming the file at fault.
int ide_probe_image(const std::string& path, std::string* message);

// What a disk is, for reports.
struct ide_source {
    std::string path;
    std::string kind;                 // "block device", "raw image", "split raw image", "E01 image"
    std::vector<std::string> files;   // the files it is made of
    uint64_t bytes = 0;               // the bytes it holds
    std::string model, serial;        // a block device's, where the kernel gives them
    std::string stored_md5, stored_sha1;  // lowercase hex hashes an E01 image stores of its data
};
// False when the disk number is unknown or its path could not be opened.
bool ide_disk_source(int disk, ide_source* out);
// Reads bytes of a disk as they are on it, for hashing it whole: never the
// overlay's sectors. 0 or an IDE_ERR_* code.
int ide_read_image(int disk, uint64_t offset, void* buf, size_t bytes);
// Chunks of an E01 image whose stored checksum did not match, met so far.
uint32_t ide_disk_checksum_errors(int disk);

// ---- Test entries ----

#define IDE_FAULT_READ 1
#define IDE_FAULT_WRITE 2
#define IDE_FAULT_PROTECT 4  // a write is refused with EROFS, as a write blocker refuses it

// Sectors first..last (inclusive) of a disk fail to read and/or write. Any
// transfer touching one of them fails as a whole. Faults also come from the
// environment: TARVIK_FAULTS="disk:first[-last]:r|w|rw[,...]", read by ide_init.
void ide_inject_fault(int disk, uint64_t first, uint64_t last, int kinds);
void ide_clear_faults(void);

// Transfer counters, per disk, since the last reset (or ide_init).
struct ide_counters {
    uint64_t reads;            // ide_read64 calls that succeeded or failed
    uint64_t writes;           // ide_write64 calls
    uint64_t read_sectors;     // sectors requested by reads
    uint64_t written_sectors;  // sectors requested by writes
    uint64_t failed;           // calls that returned nonzero
    uint64_t wakeups;          // ide_wakeup calls
};
ide_counters ide_get_counters(int disk);
void ide_reset_counters(void);

// Discovery reads ROOT/sys/block, ROOT/proc/self/mounts and ROOT/proc/swaps
// ("" is the machine's own root), so that tests can give it a machine.
void ide_set_system_root(const std::string& root);
