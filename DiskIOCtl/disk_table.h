// Inside of the disk-access library: the table of open disks shared by its
// units (discovery and opening, transfers, the read-only overlay, faults).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "DiskIOCtl.h"
#include "image.h"

using ide_sector = std::array<unsigned char, IDE_SECTOR_SIZE>;

// One disk number's device.
struct ide_disk {
    std::string path;
    std::unique_ptr<ide_image> image;  // null: the path could not be opened; every transfer fails
    ide_open_error open_error;         // why, when it could not
    uint64_t capacity = 0;    // sectors
    bool read_only = false;   // writes go to `overlay`, never to the file
    int write_refused = 0;    // errno: the host let it be written, the disk refused
    std::unordered_map<uint64_t, ide_sector> overlay;  // written sectors by LBA
    ide_counters counters{};
};

// True for the errno values with which a disk refuses to be written (a
// write-protected device or image): the disk is then read with the overlay.
bool ide_write_refusal(int error);

// The disk of a disk number, or null when there is none.
ide_disk* ide_find_disk(uint32_t disk_no);

// Read-only overlay: keep written sectors, and lay them over sectors read
// from the device.
void ide_overlay_store(ide_disk& disk, uint64_t lba, uint32_t count, const unsigned char* src);
void ide_overlay_patch(const ide_disk& disk, uint64_t lba, uint32_t count, unsigned char* dst);

// True when sectors lba .. lba + count - 1 of a disk meet an injected fault of
// kind IDE_FAULT_READ or IDE_FAULT_WRITE.
bool ide_fault_hits(uint32_t disk_no, uint64_t lba, uint32_t count, int kind);

// Replaces the faults that came from TARVIK_FAULTS with its current value.
void ide_load_env_faults(void);

// A device position found on the machine: its device node, and whether it is
// passed over because it (or a partition of it) carries a file system in use.
struct ide_position {
    std::string path;
    bool skipped = false;
};

// The block devices of /sys/block, sorted by name, without RAM disks and
// devices of size 0.
std::vector<ide_position> ide_discover_block_devices(void);
