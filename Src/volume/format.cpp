// Volume format: lays an empty recorder volume over one partition of the
// partition table, and re-initialises a whole disk with one such volume.
//
// The areas are cleared with 16-sector bulk writes from io_buf that bypass
// the sector buffer pool; the reserved clusters are then marked item by item
// through the pool.
#include <cstring>

#include "log.h"
#include "meta/meta.h"
#include "volume/volume.h"

namespace {

// Each 49,152 clusters (a directory "extent") take 3072 directory sectors
// and 96 index sectors.
constexpr uint64_t kClusPerExtent = 49152;
constexpr uint32_t kDirSectorsPerExtent = 3072;
constexpr uint32_t kCollisionOff = 38;
constexpr uint32_t kUdItemSize = 16;
constexpr uint32_t kUdItemNum = 0x80000;
constexpr uint32_t kUdSectors = kUdItemNum * kUdItemSize / SECTOR_SIZE;  // 16,384
constexpr uint64_t kRevSectorCap = 262144;
constexpr uint32_t kResv1After = 16384, kResv1Sectors = 4096, kResv1Min = 20480;
constexpr uint32_t kResv2After = 20480, kResv2Sectors = 16384, kResv2Min = 36864;
constexpr uint8_t kReservedDirItem = 254;

uint64_t round_up_256(uint64_t v) { return (v + 255) & ~(uint64_t)255; }

bool is_power_of_two(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Area geometry of a partition, all offsets in sectors from its start.
struct format_geometry {
    uint32_t dir_size;
    uint32_t second_dir;
    uint32_t index_off;
    uint32_t index_size;
    uint32_t data_off;
    uint32_t rev_clus;
    uint32_t total_clus;
};

// Computes the geometry; false when the partition cannot hold the areas, the
// reserved clusters (which must cover the user-data area at data_off) and at
// least one recording cluster after them.
bool compute_geometry(uint64_t size, uint32_t spc, format_geometry* g) {
    uint64_t clusters = size / spc;  // fits in 32 bits: checked by the caller
    uint64_t extents = (clusters + kClusPerExtent - 1) / kClusPerExtent;
    g->dir_size = (uint32_t)(kDirSectorsPerExtent * extents);
    g->second_dir = (uint32_t)round_up_256(FIRST_DIR_START_SEC + (uint64_t)g->dir_size);
    g->index_off = (uint32_t)round_up_256((uint64_t)g->second_dir + g->dir_size);
    g->index_size = (uint32_t)((kClusPerExtent * extents + 511) / 512);
    uint64_t data_off = round_up_256((uint64_t)g->index_off + g->index_size);
    g->data_off = (uint32_t)data_off;

    uint32_t rev = (uint32_t)((size / 50 < kRevSectorCap ? size / 50 : kRevSectorCap) / spc);
    // The user-data area starts at data_off and must lie inside the reserved
    // clusters, or recordings in the first ring clusters would overwrite it.
    uint32_t ud_clus = (kUdSectors + spc - 1) / spc;
    if (rev < ud_clus) rev = ud_clus;
    g->rev_clus = rev;

    if (size <= data_off) return false;
    uint64_t total = (size - data_off) / spc;
    if (total < (uint64_t)rev + 1) return false;
    g->total_clus = (uint32_t)total;
    return true;
}

// Fills a freshly zeroed descriptor for the geometry.
void fill_descriptor(kx_driver* d, int disk_no, uint32_t spc, const format_geometry& g) {
    memset(d, 0, sizeof *d);
    d->current_cluster = 0;
    d->status = KX_STATUS_CLOSED;
    d->sector_size = SECTOR_SIZE;
    d->sector_per_clus = spc;
    d->rev_clus = g.rev_clus;
    d->index_off = g.index_off;
    d->temp_off = KX_TEMP_OFF;
    d->dir_off = FIRST_DIR_START_SEC;
    d->data_off = g.data_off;
    d->total_clus = g.total_clus;
    d->second_dir = g.second_dir;
    d->collision_off = kCollisionOff;
    d->collision_num = 0;
    d->collision_index = 0;
    d->disk_no = (uint32_t)disk_no;
    d->ud_off = g.data_off;
    d->ud_item_size = kUdItemSize;
    d->ud_item_num = kUdItemNum;
    d->ud_first_item = 1;
    d->ud_last_item = 1;
    uint32_t reserved_sectors = g.rev_clus * spc;
    if (reserved_sectors > kResv1Min) {
        d->resv1_off = g.data_off + kResv1After;
        d->resv1_sectors = kResv1Sectors;
    }
    if (reserved_sectors > kResv2Min) {
        d->resv2_off = g.data_off + kResv2After;
        d->resv2_sectors = kResv2Sectors;
    }
}

// Writes `count` zero sectors from `first`, 16 at a time from io_buf, and
// stops at the first failed write when `stop_on_error` is set. Returns the
// first write error (0 when all went through).
int write_zero_sectors(uint32_t dev, uint64_t first, uint64_t count, bool stop_on_error) {
    memset(io_buf, 0, IO_BUF_SECTORS * SECTOR_SIZE);
    int first_err = 0;
    for (uint64_t done = 0; done < count; done += IO_BUF_SECTORS) {
        uint32_t n = (uint32_t)(count - done < IO_BUF_SECTORS ? count - done : IO_BUF_SECTORS);
        int r = disk_write(dev, n, first + done, io_buf);
        forget_cached_sectors(dev, first + done, n);
        if (r != 0 && first_err == 0) first_err = r;
        if (r != 0 && stop_on_error) break;
    }
    return first_err;
}

// ORs `mask` into byte `byte` of every item 0..count-1 of an area whose
// items are `per_sector` to a sector, holding each sector while its items
// are set. 4 if a sector cannot be read.
int mark_items(uint32_t dev, uint64_t area, uint32_t count, uint32_t per_sector, uint32_t item_bytes,
               uint8_t mask) {
    for (uint32_t c = 0; c < count;) {
        buf_head* b = read_buf(dev, area + c / per_sector);
        if (!b) return 4;
        do {
            b->data[(c % per_sector) * item_bytes] |= mask;
            c++;
        } while (c < count && c % per_sector != 0);
        b->dirty = 1;
        release_buf(b);
    }
    return 0;
}

}  // namespace

void forget_cached_sectors(uint32_t dev, uint64_t first, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        buf_head* b = find_buf(dev, first + i);
        if (!b) continue;
        b->valid = 0;
        b->dirty = 0;
        release_buf(b);
    }
}

int clear_ud_area(const kx_driver* desc) {
    if (desc->sector_size == 0) return 1;
    uint64_t sectors = (uint64_t)desc->ud_item_num * desc->ud_item_size / desc->sector_size;
    return write_zero_sectors(desc->disk_no, desc->start_sector + desc->ud_off, sectors, true) ? 4 : 0;
}

int init_dir_area(int disk_no, uint64_t first, uint64_t second, uint32_t rev_clus, uint32_t dir_size) {
    const uint32_t per_sector = SECTOR_SIZE / 32;
    uint32_t marked = rev_clus;  // never beyond the area itself
    if ((uint64_t)marked > (uint64_t)dir_size * per_sector) marked = dir_size * per_sector;
    memset(io_buf, 0, IO_BUF_SECTORS * SECTOR_SIZE);
    for (uint64_t copy : {first, second}) {
        if (copy == 0) continue;
        sync_disk((uint32_t)disk_no);
        write_zero_sectors((uint32_t)disk_no, copy, dir_size, false);
        // Byte 0 of a directory item is its item_type; 0xFE marks a reserved cluster.
        int r = mark_items((uint32_t)disk_no, copy, marked, per_sector, 32, kReservedDirItem);
        if (r) return r;
    }
    return 0;
}

int init_index_area(int disk_no, uint64_t sector, uint32_t rev_clus, uint32_t index_size) {
    memset(io_buf, 0, IO_BUF_SECTORS * SECTOR_SIZE);
    if (sector == 0) return 0;
    sync_disk((uint32_t)disk_no);
    write_zero_sectors((uint32_t)disk_no, sector, index_size, false);
    uint32_t marked = rev_clus;
    if ((uint64_t)marked > (uint64_t)index_size * SECTOR_SIZE) marked = index_size * SECTOR_SIZE;
    // clus_type 3 in the index item: a reserved cluster, protected from change.
    return mark_items((uint32_t)disk_no, sector, marked, SECTOR_SIZE, 1, INDEX_PROTECTED);
}

int kx_format_driver(int disk_no, int part, uint32_t sector_per_clus) {
    kx_log("kx_format_driver(disk_no = %d, part = %d, sector_per_clus = %d)\n", disk_no, part,
           (int)sector_per_clus);
    if (disk_no < 0 || disk_no >= KX_MAX_DISKS) {
        kx_log("kx_format_driver bad parameter\n");
        return 1;
    }
    ide_wakeup(disk_no);
    disk_touch((uint32_t)disk_no);
    if (part < 0 || part > 3 || !is_power_of_two(sector_per_clus)) {
        kx_log("kx_format_driver bad parameter\n");
        return 1;
    }
    kx_partition parts[4];
    if (kx_read_partitions(disk_no, parts) != 0) {
        kx_log("kx_format_driver read partition failed\n");
        return 1;
    }
    uint64_t start = parts[part].start, size = parts[part].size;
    format_geometry g{};
    if (size == 0 || size / sector_per_clus > UINT32_MAX || !compute_geometry(size, sector_per_clus, &g)) {
        kx_log("kx_format_driver bad size of partition, %d\n", (int)(uint32_t)size);
        return 1;
    }

    // Keep the old cluster index in the partition's last cluster before
    // anything of the partition is overwritten.
    copy_index(disk_no, part, 1);

    const uint32_t dev = (uint32_t)disk_no;
    buf_head* desc_buf = read_buf(dev, start + KX_TEMP_OFF);
    if (!desc_buf) return 4;
    memset(desc_buf->data, 0, SECTOR_SIZE);

    kx_driver d;
    fill_descriptor(&d, disk_no, sector_per_clus, g);
    d.start_sector = start;  // for clear_ud_area; a memory-only word, not stored
    clear_ud_area(&d);
    d.start_sector = 0;
    pdp_encode(&d, desc_buf->data);
    desc_buf->dirty = 1;
    write_buf(desc_buf);
    release_buf(desc_buf);

    buf_head* coll_buf = read_buf(dev, start + kCollisionOff);
    if (!coll_buf) return 4;
    memset(coll_buf->data, 0, SECTOR_SIZE);
    coll_buf->dirty = 1;
    release_buf(coll_buf);

    int r = init_dir_area(disk_no, start + FIRST_DIR_START_SEC, start + g.second_dir, g.rev_clus, g.dir_size);
    if (r) {
        kx_log("Error %d : init_dir_area(disk_no, start_sector + FIRST_DIR_START_SEC, start_sector + second_dir, "
               "rev_clus, dir_size)\n",
               r);
        return r;
    }
    r = init_index_area(disk_no, start + g.index_off, g.rev_clus, g.index_size);
    if (r) {
        kx_log("Error %d : init_index_area(disk_no, start_sector + index_offset, rev_clus, index_size)\n", r);
        return r;
    }
    sync_disk(dev);
    return 0;
}

int kx_init_disk(int disk) {
    if (disk < 0 || disk >= KX_MAX_DISKS) return 1;
    for (int part = 0; part < 4; part++) free_driver(disk, part);
    kx_partition parts[4] = {{0, g_disk_info.capa[disk]}, {0, 0}, {0, 0}, {0, 0}};
    kx_write_partitions(disk, parts);
    kx_format_driver(disk, 0, 4096);
    kx_fs_mount(disk, 0);
    return 0;
}
