// Replays the recorder writer's library calls to lay out recordings.
#include "support/record_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "disk.h"
#include "kxtime.h"
#include "meta/meta.h"
#include "platform/clock.h"
#include "support/temp_dir.h"
#include "volume/volume.h"

namespace {

constexpr uint64_t PART_START = 2048;

// One step of the replay: record `rec` takes its cluster number `k`, or
// (k == CLOSE) is finished.
constexpr uint32_t CLOSE = UINT32_MAX;
struct step {
    int32_t when;  // seconds since 2000
    uint32_t rec;
    uint32_t k;
};

void set_clock(packed_time t) {
    pc_local_time lt{(int)pt_year(t) + 2000, (int)pt_month(t), (int)pt_day(t),
                     (int)pt_hour(t),        (int)pt_minute(t), (int)pt_second(t)};
    pc_clock_set_fake(lt, pc_tick_ms());
}

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint32_t last_cluster_sectors(const layout_record& r, uint32_t spc) {
    return r.end_length != 0 ? r.end_length : spc;
}

// Moment at which cluster k of the record is taken: the record's span shared
// evenly between its clusters.
packed_time cluster_time(const layout_record& r, uint32_t k) {
    const int32_t span = std::max(0, time_diff(r.end, r.start));
    return time_add(r.start, (int32_t)((int64_t)span * k / r.clusters));
}

// Takes the next cluster after the recording head as the writer does,
// restarting the ring when the partition is full.
bool take_cluster(kx_driver* pdp, uint32_t* out) {
    int r = search_clus(pdp, 1, pdp->current_cluster, 0, out, SEARCH_ANY_CHANNEL);
    if (r == KX_E_READ) {
        driver_full(pdp);
        r = search_clus(pdp, 1, pdp->current_cluster, 0, out, SEARCH_ANY_CHANNEL);
    }
    EXPECT_EQ(0, r) << "no cluster to take";
    return r == 0;
}

void write_data(kx_driver* pdp, const layout_record& r, uint32_t k, uint32_t clus) {
    const uint32_t spc = pdp->sector_per_clus;
    const uint32_t count = k + 1 == r.clusters ? last_cluster_sectors(r, spc) : spc;
    std::vector<uint8_t> buf((size_t)count * 512);
    layout_expected(r, (uint64_t)k * spc * 512, buf.data(), buf.size());
    EXPECT_EQ(0, disk_write(pdp->disk_no, count, clus_sector(pdp, clus), buf.data()));
}

void take_step(kx_driver* pdp, layout_record& r, uint32_t k, packed_time now) {
    uint32_t clus = 0;
    if (!take_cluster(pdp, &clus)) return;
    const bool first = k == 0;
    const uint32_t prev = first ? 0 : r.chain.back();
    if (!first) {
        set_dir_item_end_time(pdp, prev, now, 0);
        set_dir_item_down_clus(pdp, prev, clus, 1);
    }
    const uint32_t first_clus = first ? clus : r.chain.front();
    const uint8_t item_type = !first ? ITEM_FOLLOW : r.resumed ? ITEM_RESUME : ITEM_FIRST;
    const uint32_t clus_type = !first ? CLUS_TYPE_FOLLOW : r.resumed ? CLUS_TYPE_RESUME : CLUS_TYPE_START;
    kx_dir_item item{};
    make_dir_item(&item, r.channel, r.media_type, r.record_kind, r.img, item_type, prev, first_clus, (uint16_t)k,
                  r.head_sectors);
    set_dir_item_info(pdp, clus, &item, 1);
    uint8_t index = 0;
    make_index_item(&index, r.channel, clus_type);
    set_index_item_info(pdp, clus, &index, 0);
    set_dir_first_item(pdp, first_clus, 0, (uint16_t)k, item.end_time, 0);
    set_current_cluster(pdp, clus);
    if (first) r.seq = item.same_second_seq;
    r.chain.push_back(clus);
    if (r.write_data) write_data(pdp, r, k, clus);
}

// Finishes the record's items as the writer's close (or, for a record still
// open, its last write) leaves them.
void close_step(kx_driver* pdp, const layout_record& r) {
    if (r.chain.empty()) return;
    const uint16_t end_length = (uint16_t)last_cluster_sectors(r, pdp->sector_per_clus);
    const uint16_t item_num = (uint16_t)(r.chain.size() - 1);
    if (r.open) {
        set_dir_item_end_time(pdp, r.chain.back(), r.end, 0);
    } else {
        set_dir_last_item(pdp, r.chain.back(), end_length, r.end, 0);
        pdp->end_time1 = r.end;
    }
    set_dir_first_item(pdp, r.chain.front(), end_length, item_num, r.end, 0);
}

}  // namespace

void RecordLayout::write(std::vector<layout_record>& batch) {
    std::vector<step> steps;
    for (uint32_t i = 0; i < batch.size(); i++) {
        layout_record& r = batch[i];
        if (r.clusters == 0) r.clusters = 1;
        if (r.start == 0) get_local_time(&r.start);
        if (r.end == 0 || time_diff(r.end, r.start) < 0) r.end = time_add(r.start, (int32_t)r.clusters);
        r.chain.clear();
        for (uint32_t k = 0; k < r.clusters; k++) steps.push_back({time_seconds(cluster_time(r, k)), i, k});
        steps.push_back({time_seconds(r.end), i, CLOSE});
    }
    // In time order; at one moment clusters are taken before records close,
    // and records keep the order of the batch.
    std::stable_sort(steps.begin(), steps.end(), [](const step& a, const step& b) {
        if (a.when != b.when) return a.when < b.when;
        return (a.k == CLOSE) < (b.k == CLOSE);
    });
    for (const step& s : steps) {
        layout_record& r = batch[s.rec];
        const packed_time now = s.k == CLOSE ? r.end : cluster_time(r, s.k);
        set_clock(now);
        update_write_time(m_pdp, now);
        if (s.k == CLOSE)
            close_step(m_pdp, r);
        else
            take_step(m_pdp, r, s.k, now);
    }
    EXPECT_EQ(0, save_pdp(m_pdp));
}

uint32_t RecordLayout::write(layout_record& rec) {
    std::vector<layout_record> batch{rec};
    write(batch);
    rec = batch[0];
    return rec.chain.empty() ? 0 : rec.chain.front();
}

void RecordLayout::mark_bad(uint32_t clus, uint8_t channel) {
    const uint8_t index = (uint8_t)(INDEX_PROTECTED | (channel & 0x3F));
    EXPECT_EQ(0, set_index_item_info(m_pdp, clus, &index, 1));
}

uint32_t RecordLayout::sectors(const layout_record& rec) const {
    const uint32_t spc = m_pdp->sector_per_clus;
    return (rec.clusters - 1) * spc + last_cluster_sectors(rec, spc);
}

void layout_expected(const layout_record& rec, uint64_t off, uint8_t* buf, size_t len) {
    const uint64_t seed = rec.chain.empty() ? 0 : (uint64_t)rec.chain.front() << 40;
    for (size_t i = 0; i < len; i++) {
        const uint64_t o = off + i;
        buf[i] = (uint8_t)(mix(seed ^ (o >> 3)) >> ((o & 7) * 8));
    }
    if (rec.kxii_bytes == 0 || off >= 8) return;
    uint8_t header[8] = {'K', 'X', 'I', 'I'};
    put_le32(header + 4, rec.kxii_bytes);
    for (size_t i = 0; i < len && off + i < 8; i++) buf[i] = header[off + i];
}

std::vector<uint8_t> layout_expected(const layout_record& rec, uint64_t off, size_t len) {
    std::vector<uint8_t> out(len);
    layout_expected(rec, off, out.data(), len);
    return out;
}

LayoutVolume::LayoutVolume(uint64_t part_sectors, uint32_t spc) {
    image = make_sparse_image(dir.file("disk0.img"), PART_START + part_sectors + 64);
    use_disks({image});
    init_buf_pool();
    kx_partition parts[4] = {{PART_START, part_sectors}, {0, 0}, {0, 0}, {0, 0}};
    EXPECT_EQ(0, kx_write_partitions(0, parts));
    EXPECT_EQ(0, kx_format_driver(0, 0, spc));
    int count = 0;
    packed_time shutdown = 0;
    EXPECT_EQ(0, kx_file_sys_init(&count, &shutdown));
    pdp = get_pdp(0, 0);
    EXPECT_NE(nullptr, pdp) << "volume did not mount";
}

LayoutVolume::~LayoutVolume() { pc_clock_use_real(); }

KXFILE layout_read_handle(kx_driver* pdp) {
    for (kx_file& f : file_table) {
        if (f.state != FILE_FREE) continue;
        f = kx_file{};
        f.generation = file_generation;
        f.state = FILE_READING;
        f.pdp = pdp;
        return &f;
    }
    ADD_FAILURE() << "handle table full";
    return nullptr;
}
