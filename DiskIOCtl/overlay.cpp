// The read-only overlay: a disk that must not be written keeps the sectors
// written to it in memory, so that the library above behaves as if the write
// had happened (mount repairs, for instance) while the device stays untouched.
#include <cstring>

#include "disk_table.h"

void ide_overlay_store(ide_disk& disk, uint64_t lba, uint32_t count, const unsigned char* src) {
    for (uint32_t i = 0; i < count; i++) {
        std::memcpy(disk.overlay[lba + i].data(), src + static_cast<size_t>(i) * IDE_SECTOR_SIZE,
                    IDE_SECTOR_SIZE);
    }
}

void ide_overlay_patch(const ide_disk& disk, uint64_t lba, uint32_t count, unsigned char* dst) {
    if (disk.overlay.empty()) return;
    // Walk whichever is smaller: the sectors read or the sectors kept, so that
    // neither a large read over a small overlay nor the reverse gets slow.
    if (disk.overlay.size() < count) {
        for (const auto& [sector, bytes] : disk.overlay) {
            if (sector >= lba && sector - lba < count) {
                std::memcpy(dst + (sector - lba) * IDE_SECTOR_SIZE, bytes.data(), IDE_SECTOR_SIZE);
            }
        }
        return;
    }
    for (uint32_t i = 0; i < count; i++) {
        auto it = disk.overlay.find(lba + i);
        if (it != disk.overlay.end()) {
            std::memcpy(dst + static_cast<size_t>(i) * IDE_SECTOR_SIZE, it->second.data(),
                        IDE_SECTOR_SIZE);
        }
    }
}
