// Library start-up: enumerate the disks, reset the library's tables, mount
// every recorder partition, chain the drivers of each type into a ring and
// print the diagnostic tables. Start-up never formats a partition and never
// writes a partition table; it writes to a disk only to repair a volume that
// an interrupted recording left open.
#include "file/file.h"
#include "log.h"
#include "volume/volume.h"

namespace {

const char* const kRevision = "$Rev: 2937 $";
const char* const kBuildDate = "May 31 2009";
const char* const kBuildTime = "14:17:54";

// Every slot free, with its collision list and time-section table cleared:
// nothing of an earlier start-up survives into the new one.
void free_all_slots(void) {
    for (int i = 0; i < KX_MAX_DRIVERS; i++) {
        g_drivers[i] = kx_driver{};
        g_drivers[i].type = KX_FREE_SLOT;
        for (uint32_t& c : g_collision_buf[i]) c = 0;
        for (time_section& s : g_section_buf[i]) s = time_section{};
    }
    for (int t = 0; t < KX_MAX_TYPES; t++) {
        g_work_driver[t] = nullptr;
        g_driver_num[t] = 0;
    }
}

void mount_disk(int disk) {
    kx_log("disk %d:\n", disk);
    kx_partition parts[4];
    if (kx_read_partitions(disk, parts) != 0) {
        // Nothing of this disk is mounted and nothing is written to it.
        kx_log("read kxfs partitions failed.\n");
        return;
    }
    for (int j = 0; j < 4; j++) {
        if (parts[j].size == 0) continue;
        kx_log("partition %d:\n", j);
        if (kx_fs_mount(disk, j) != 0) {
            kx_log("mount kxfs partition failed.\n");
            free_driver(disk, j);
        }
    }
}

}  // namespace

void kx_set_fs_adapt(int flag) {
    g_fs_adapt = flag;
}

int kx_file_sys_init(int* count, packed_time* shutdown_time) {
    g_shutdown_time = shutdown_time ? *shutdown_time : 0;
    int disk_num = ide_getinfo64(&g_disk_info);
    if (disk_num < 1) disk_num = 0;
    if (disk_num > KX_MAX_DISKS) disk_num = KX_MAX_DISKS;
    if (count) *count = 0;

    kx_log("kx_file_sys_init() libKXFS.a %s, Build in:%s %s\n", kRevision, kBuildDate, kBuildTime);
    kx_log("disk_num = %d\n", disk_num);
    for (int i = 0; i < disk_num; i++) kx_log("DISK:%d, capa:%lld\n", i + 1, (long long)g_disk_info.capa[i]);

    init_buf_pool();
    disk_reset_state();
    free_all_slots();
    file_table_reset();

    for (int i = 0; i < disk_num; i++) mount_disk(i);

    for (int t = 0; t < KX_MAX_TYPES; t++) link_drivers(t);
    file_generation_advance();

    int usable = 0;
    for (const kx_driver& d : g_drivers)
        if (d.type == 0 && d.err_status == 0) usable++;
    if (count) *count = usable;
    kx_log("kx_file_sys_init() end============================\n\n");

    int result = usable == 0 ? 7 : 0;
    kx_dump_drivers();
    kx_log("\n");
    return result;
}
