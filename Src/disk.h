// Sector transfers over the disk-access library, wake-up bookkeeping, the
// host hooks and the error records.
#pragma once

#include <cstdint>

#include "kxfs.h"

struct kx_driver;

#define SECTOR_SIZE 512
#define KX_MAX_DISKS 32

// One entry per device type; entry 0 is the disk-access library.
struct disk_op {
    int (*read)(uint32_t dev, uint32_t count, uint32_t lba_lo, uint32_t lba_hi, void* buf);
    int (*write)(uint32_t dev, uint32_t count, uint32_t lba_lo, uint32_t lba_hi, const void* buf);
};
extern const disk_op disk_ops[1];

struct disk_access_rec {
    uint32_t last_access;  // tick count of the last completed transfer
    uint32_t standby_ms;   // idle time after which the disk sleeps; 0 = never
};
extern disk_access_rec disk_access[KX_MAX_DISKS];

extern kx_hooks g_hooks;
extern disk_info g_disk_info;  // the library's own, filled by kx_file_sys_init

// Error records: only ever set.
extern uint32_t read_err_disks;
extern uint32_t write_err_disks;
extern uint32_t err_disks;
extern uint64_t err_sector[KX_MAX_DISKS];

int disk_read(uint32_t dev, uint32_t count, uint64_t lba, void* buf);
int disk_write(uint32_t dev, uint32_t count, uint64_t lba, const void* buf);
void disk_check_wakeup(uint32_t disk);
void disk_touch(uint32_t disk);
void wakeup_next_driver(kx_driver* pdp);
void disk_error(uint32_t disk, uint64_t lba, int kind);  // kind 2 read, 1 write

// Resets the access records and error records (start-up).
void disk_reset_state(void);

#define DISK_ERR_READ 2
#define DISK_ERR_WRITE 1
