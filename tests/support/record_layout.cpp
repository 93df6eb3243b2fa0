// Recorder volumes, laid-out recordings, written streams and read-back.
#include "support/record_layout.h"

#include <algorithm>

#include "disk.h"
#include "kxtime.h"
#include "meta/meta.h"
#include "platform/clock.h"
#include "volume/volume.h"

namespace {

// One step of the replay: record `rec` takes its cluster number `k`, or
// (k == CLOSE) is finished.
constexpr uint32_t CLOSE = UINT32_MAX;
struct step {
    int32_t when;  // seconds since 2000
    uint32_t rec;
    uint32_t k;
};

void set_clock(packed_time t, uint32_t tick) {
    pc_local_time lt{(int)pt_year(t) + 2000, (int)pt_month(t),  (int)pt_day(t),
                     (int)pt_hour(t),        (int)pt_minute(t), (int)pt_second(t)};
    pc_clock_set_fake(lt, tick);
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
    const std::vector<uint8_t> buf = layout_expected(r, (uint64_t)k * spc * 512, (size_t)count * 512);
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
    kx_dir_item item{};
    make_dir_item(&item, r.channel, r.media_type, r.record_kind, 2, first ? ITEM_FIRST : ITEM_FOLLOW, prev,
                  first_clus, (uint16_t)k, r.head_sectors);
    set_dir_item_info(pdp, clus, &item, 1);
    uint8_t index = 0;
    make_index_item(&index, r.channel, first ? CLUS_TYPE_START : CLUS_TYPE_FOLLOW);
    set_index_item_info(pdp, clus, &index, 0);
    set_dir_first_item(pdp, first_clus, 0, (uint16_t)k, item.end_time, 0);
    set_current_cluster(pdp, clus);
    r.chain.push_back(clus);
    if (r.write_data) write_data(pdp, r, k, clus);
}

// Finishes the record's items as the writer's close (or, for a record still
// open, its last write) leaves them.
void close_step(kx_driver* pdp, const layout_record& r) {
    if (r.chain.empty()) return;
    const uint16_t end_length = (uint16_t)last_cluster_sectors(r, pdp->sector_per_clus);
    if (r.open) {
        set_dir_item_end_time(pdp, r.chain.back(), r.end, 0);
    } else {
        set_dir_last_item(pdp, r.chain.back(), end_length, r.end, 0);
        pdp->end_time1 = r.end;
    }
    set_dir_first_item(pdp, r.chain.front(), end_length, (uint16_t)(r.chain.size() - 1), r.end, 0);
}

}  // namespace

layout_record make_record(uint8_t channel, packed_time start, packed_time end, uint32_t clusters,
                          uint16_t end_length) {
    return {channel, start, end, clusters, end_length};
}

void RecordLayout::write(std::vector<layout_record>& batch) {
    if (m_pdp == nullptr) {
        ADD_FAILURE() << "no volume to lay records out on";
        return;
    }
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
        set_clock(now, pc_tick_ms());
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

uint32_t RecordLayout::sectors(const layout_record& rec) const {
    const uint32_t spc = m_pdp->sector_per_clus;
    return (rec.clusters - 1) * spc + last_cluster_sectors(rec, spc);
}

void pattern_bytes(uint64_t seed, uint64_t off, uint8_t* buf, size_t len) {
    for (size_t i = 0; i < len; i++) {
        const uint64_t o = off + i;
        buf[i] = (uint8_t)(mix(seed ^ (o >> 3)) >> ((o & 7) * 8));
    }
}

std::vector<uint8_t> layout_expected(const layout_record& rec, uint64_t off, size_t len) {
    std::vector<uint8_t> out(len);
    pattern_bytes(rec.chain.empty() ? 0 : (uint64_t)rec.chain.front() << 40, off, out.data(), len);
    if (rec.kxii_bytes == 0 || off >= 8) return out;
    uint8_t header[8] = {'K', 'X', 'I', 'I'};
    put_le32(header + 4, rec.kxii_bytes);
    for (size_t i = 0; i < len && off + i < 8; i++) out[i] = header[off + i];
    return out;
}

LayoutVolume::LayoutVolume(uint64_t sectors, uint32_t spc, bool fs_adapt, packed_time start)
    : TestDisks({2048 + sectors + 64}) {
    set_clock(start != 0 ? start : make_packed_time(2009, 6, 1, 0, 0, 0), 1000000);
    format(0, 1, sectors, spc);
    kx_set_fs_adapt(fs_adapt ? 1 : 0);
    remount();
    EXPECT_EQ(1, count) << "the partition did not mount";
}

void LayoutVolume::remount() {
    packed_time shutdown = 0;
    EXPECT_EQ(0, kx_file_sys_init(&count, &shutdown));
}

KXFILE read_handle(kx_driver* pdp) {
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

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

kx_dir_item item_of(kx_driver* pdp, uint32_t clus) {
    kx_dir_item it{};
    EXPECT_EQ(0, get_dir_item_info(pdp, clus, &it)) << "item of cluster " << clus;
    return it;
}

std::vector<uint32_t> list_channel(kx_driver* pdp, uint8_t ch, packed_time t) {
    std::vector<uint32_t> out;
    KXFILE h = read_handle(pdp);
    if (kx_file_open_by_time(h, ch, t, 2, 0, 255, 255, 0) == 0) {
        // More calls than the volume has clusters: a listing that repeats.
        for (uint32_t c; out.size() <= pdp->total_clus && (c = kx_file_find_next(h, ch, t, 0, 255)) != 0;)
            out.push_back(c);
    }
    kx_file_close(h);
    return out;
}

std::vector<kx_find_record> listing(const std::string& path) {
    std::vector<kx_find_record> out(1);
    const intptr_t h = kx_findfirst(path.c_str(), &out[0]);
    if (h == -1) return {};
    for (kx_find_record f{}; kx_findnext(h, &f) == 0;) out.push_back(f);
    EXPECT_EQ(0, kx_findclose(h));
    return out;
}

std::vector<std::string> names(const std::string& path) {
    std::vector<std::string> out;
    for (const kx_find_record& f : listing(path)) out.push_back(f.name);
    return out;
}

std::vector<uint8_t> read_all(KXFILE f, const std::vector<size_t>& sizes) {
    std::vector<uint8_t> out, chunk;
    for (size_t i = 0, got = 0; got == chunk.size(); i++) {
        chunk.resize(sizes[i % sizes.size()]);
        got = kx_fread(chunk.data(), 1, chunk.size(), f);
        out.insert(out.end(), chunk.begin(), chunk.begin() + got);
    }
    return out;
}

std::vector<uint8_t> read_path(const std::string& path, const std::vector<size_t>& sizes) {
    KXFILE f = kx_fopen(path.c_str(), "rb");
    EXPECT_NE(nullptr, f) << path;
    std::vector<uint8_t> got = f ? read_all(f, sizes) : std::vector<uint8_t>{};
    EXPECT_EQ(0, f ? kx_fclose(f) : 0);
    return got;
}
