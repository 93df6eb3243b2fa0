// User-data area: a ring of 16-byte items inside the reserved clusters, one
// item per record file that carries user data (a card number). Items are
// appended at ud_last_item; items whose files the recording ring has already
// overwritten are deleted from the front (ud_first_item).
//
// Item i lies in sector start_sector + ud_off + i / 32 at byte (i mod 32) * 16:
// bytes 0-10 the record's data, byte 11 the generation (fill_count when it
// was written), bytes 12-15 fir_clus (0 = empty). Index 0 is never used; a
// step past ud_item_num - 1 continues at 1.
//
// The ring's size and indices come from the descriptor on disk: every index
// is kept inside 1..ud_item_num - 1 and every loop is bounded by the ring's
// size, whatever the descriptor says.
#include <cstring>

#include "log.h"
#include "meta/meta.h"
#include "volume/volume.h"

namespace {

constexpr uint32_t kItemBytes = 16;
constexpr uint32_t kItemsPerSector = SECTOR_SIZE / kItemBytes;
constexpr uint32_t kGenerationByte = 11;
constexpr uint32_t kFirClusOff = 12;

uint32_t ud_next(const kx_driver* pdp, uint32_t i) { return i + 1 >= pdp->ud_item_num ? 1 : i + 1; }

bool ud_index_ok(const kx_driver* pdp, uint32_t i) { return i >= 1 && i < pdp->ud_item_num; }

// The ring must hold at least one usable index and lie inside the data area
// (where the format puts it, in the reserved clusters): a damaged descriptor
// must not make user-data writes land on the volume's metadata.
bool ud_area_ok(const kx_driver* pdp) {
    if (pdp->ud_item_num < 2 || pdp->ud_off < pdp->data_off) return false;
    uint64_t area_end = (uint64_t)pdp->ud_off + ((uint64_t)pdp->ud_item_num + kItemsPerSector - 1) / kItemsPerSector;
    uint64_t data_end = (uint64_t)pdp->data_off + (uint64_t)pdp->total_clus * pdp->sector_per_clus;
    return area_end <= data_end;
}

// Checks the ring before use. Indices out of range are repaired: the write
// position restarts at 1 and the front moves to the write position (the ring
// is taken as empty; its old items are overwritten in turn). False, with
// nothing changed, when the area itself is unusable.
bool ud_ring_ready(kx_driver* pdp) {
    if (!ud_area_ok(pdp)) {
        kx_log("ud area error!!!!\n");
        return false;
    }
    if (ud_index_ok(pdp, pdp->ud_first_item) && ud_index_ok(pdp, pdp->ud_last_item)) return true;
    kx_log("ud area error!!!!\n");
    if (!ud_index_ok(pdp, pdp->ud_last_item)) pdp->ud_last_item = 1;
    pdp->ud_first_item = pdp->ud_last_item;
    return true;
}

// Walks items through the pool, holding one sector at a time.
struct ud_cursor {
    kx_driver* pdp;
    buf_head* b = nullptr;
    uint64_t sector = 0;

    explicit ud_cursor(kx_driver* p) : pdp(p) {}
    ~ud_cursor() { release_buf(b); }

    // The 16 bytes of item i, or null if its sector cannot be read.
    uint8_t* item(uint32_t i) {
        uint64_t s = pdp->start_sector + pdp->ud_off + i / kItemsPerSector;
        if (!b || s != sector) {
            release_buf(b);
            b = read_buf(pdp->disk_no, s);
            sector = s;
            if (!b) return nullptr;
        }
        return b->data + (i % kItemsPerSector) * kItemBytes;
    }
};

uint32_t fir_clus_of(const uint8_t* item) { return get_le32(item + kFirClusOff); }

}  // namespace

int ud_add_item(kx_driver* pdp, uint32_t fir_clus, const uint8_t* ud, uint32_t* out) {
    if (!ud_ring_ready(pdp)) return 1;
    uint32_t a = pdp->ud_last_item;
    int r;
    {
        ud_cursor cur(pdp);
        uint8_t* item = cur.item(a);
        if (!item) return 4;
        memcpy(item, ud, USER_DATA_BYTES);
        put_le32(item + kFirClusOff, fir_clus);
        item[kGenerationByte] = pdp->fill_count;
        *out = a;
        kx_log("ud_add_item() ud_first_item:%u, ud_last_item:%u, offset:%u\n", pdp->ud_first_item, a,
               a % kItemsPerSector);
        cur.b->dirty = 1;
        r = write_buf(cur.b);
    }
    pdp->ud_last_item = ud_next(pdp, a);
    clean_ud_area(pdp);
    save_pdp(pdp);
    return r;
}

int clean_ud_area(kx_driver* pdp) {
    if (pdp->fill_count == 0) return 0;  // the recording ring has never wrapped
    if (!ud_ring_ready(pdp)) return 1;
    uint32_t i = pdp->ud_first_item;
    {
        ud_cursor cur(pdp);
        // At most one pass over the ring, whatever the items hold.
        for (uint32_t steps = 0; i != pdp->ud_last_item && steps < pdp->ud_item_num; steps++) {
            uint8_t* item = cur.item(i);
            if (!item) return 4;
            // An item expires once it belongs to an earlier pass of the ring
            // and the writer has moved past its file's first cluster.
            uint32_t fir_clus = fir_clus_of(item);
            if (fir_clus >= pdp->current_cluster || item[kGenerationByte] == pdp->fill_count) break;
            kx_log("del ud fir_clus=%u\n", fir_clus);
            memset(item, 0, kItemBytes);
            cur.b->dirty = 1;
            i = ud_next(pdp, i);
        }
    }
    sync_disk(pdp->disk_no);
    pdp->ud_first_item = i;
    return 0;
}

int restore_ud_area(kx_driver* pdp) {
    kx_log("restore_ud_area add %u-->", pdp->ud_last_item);
    if (!ud_ring_ready(pdp)) {
        kx_log("%u\n", pdp->ud_first_item);
        return 1;
    }
    ud_cursor cur(pdp);
    // An append writes its item at once and saves the descriptor right
    // after; power lost in between leaves a written item at ud_last_item.
    // Items beyond the write position are otherwise empty (never written or
    // deleted), so step over written ones, but never into the ring's front.
    uint32_t last = pdp->ud_last_item;
    for (uint32_t steps = 0; last != pdp->ud_first_item && steps < pdp->ud_item_num; steps++) {
        const uint8_t* item = cur.item(last);
        if (!item) return 4;
        if (fir_clus_of(item) == 0) break;
        last = ud_next(pdp, last);
    }
    pdp->ud_last_item = last;

    // The front moves past items that are already empty.
    uint32_t i = pdp->ud_first_item;
    for (uint32_t steps = 0; i != pdp->ud_last_item && steps < pdp->ud_item_num; steps++) {
        const uint8_t* item = cur.item(i);
        if (!item) return 4;
        if (fir_clus_of(item) != 0) break;
        i = ud_next(pdp, i);
    }
    pdp->ud_first_item = i;
    kx_log("%u\n", i);
    return 0;
}

void CardNO(const uint8_t* ud) {
    kx_log("CardNO: %02d %02x%02x%02x%02x%02x%02x%02x%02x%02x%02x\n", ud[10], ud[9], ud[8], ud[7], ud[6], ud[5],
           ud[4], ud[3], ud[2], ud[1], ud[0]);
}
