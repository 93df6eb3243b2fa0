// Recorder volumes, laid-out recordings, written streams and read-back.
#include "support/record_layout.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "disk.h"
#include "kxtime.h"
#include "meta/meta.h"
#include "platform/clock.h"
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
    const uint8_t item_type = !first ? ITEM_FOLLOW : r.resumed ? ITEM_RESUME : ITEM_FIRST;
    const uint32_t clus_type = !first ? CLUS_TYPE_FOLLOW : r.resumed ? CLUS_TYPE_RESUME : CLUS_TYPE_START;
    kx_dir_item item{};
    make_dir_item(&item, r.channel, r.media_type, r.record_kind, r.img, item_type, prev, first_clus,
                  (uint16_t)k, r.head_sectors);
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

KXFILE free_handle() {
    for (kx_file& f : file_table) {
        if (f.state != FILE_FREE) continue;
        f = kx_file{};
        f.generation = file_generation;
        return &f;
    }
    ADD_FAILURE() << "handle table full";
    return nullptr;
}

KXFILE write_handle(uint8_t channel) {
    KXFILE h = free_handle();
    packed_time now;
    get_local_time(&now);
    if (h != nullptr) file_write_setup(h, channel, 2, 0, 2, now, 0, nullptr);
    return h;
}

}  // namespace

layout_record make_record(uint8_t channel, packed_time start, packed_time end, uint32_t clusters,
                          uint16_t end_length) {
    layout_record r;
    r.channel = channel;
    r.start = start;
    r.end = end;
    r.clusters = clusters;
    r.end_length = end_length;
    return r;
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

void RecordLayout::mark_bad(uint32_t clus, uint8_t channel) {
    const uint8_t index = (uint8_t)(INDEX_PROTECTED | (channel & 0x3F));
    EXPECT_EQ(0, set_index_item_info(m_pdp, clus, &index, 1));
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

LayoutVolume::LayoutVolume(const std::vector<uint64_t>& part_sectors, uint32_t spc, bool fs_adapt,
                           packed_time start) {
    uint64_t end = PART_START;
    kx_partition parts[4] = {};
    for (size_t i = 0; i < part_sectors.size() && i < 4; i++) {
        parts[i] = {end, part_sectors[i]};
        end += part_sectors[i];
    }
    image = make_sparse_image(dir.file("disk0.img"), end + 64);
    use_disks({image});
    set_clock(start != 0 ? start : make_packed_time(2009, 6, 1, 0, 0, 0), 1000000);
    init_buf_pool();
    EXPECT_EQ(0, kx_write_partitions(0, parts));
    for (size_t i = 0; i < part_sectors.size(); i++) EXPECT_EQ(0, kx_format_driver(0, (int)i, spc));
    kx_set_fs_adapt(fs_adapt ? 1 : 0);
    remount();
    EXPECT_EQ((int)part_sectors.size(), count) << "not every partition mounted";
}

LayoutVolume::~LayoutVolume() {
    pc_clock_use_real();
}

void LayoutVolume::remount() {
    packed_time shutdown = 0;
    EXPECT_EQ(0, kx_file_sys_init(&count, &shutdown));
}

KXFILE read_handle(kx_driver* pdp) {
    KXFILE h = free_handle();
    if (h != nullptr) {
        h->state = FILE_READING;
        h->pdp = pdp;
    }
    return h;
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

std::vector<std::pair<uint32_t, uint32_t>> list_channel(kx_driver* pdp, uint8_t ch, packed_time t) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    KXFILE h = read_handle(pdp);
    if (kx_file_open_by_time(h, ch, t, 2, 0, 255, 255, 0) == 0) {
        // More calls than the volume has clusters: a listing that repeats.
        for (uint32_t c; out.size() <= pdp->total_clus && (c = kx_file_find_next(h, ch, t, 0, 255)) != 0;)
            out.emplace_back(h->pdp->part, c);
    }
    kx_file_close(h);
    return out;
}

namespace {

// The record that starts at `first`, read whole (as long as its first item
// says) through the file layer's reader.
std::vector<uint8_t> read_record(kx_driver* pdp, uint32_t first) {
    KXFILE h = read_handle(pdp);
    std::vector<uint8_t> out;
    uint32_t sectors = 0;
    if (kx_file_goto_clus(h, 0, (int)pdp->part, first) != 0 || kx_file_get_sectors(h, &sectors) != 0) {
        ADD_FAILURE() << "no record at cluster " << first;
    } else if (sectors != 0) {
        out.resize((size_t)sectors * 512);
        EXPECT_EQ(0, kx_file_read(h, out.data(), sectors)) << "record at cluster " << first;
    }
    kx_file_close(h);
    return out;
}

}  // namespace

Stream::Stream(uint8_t channel, uint32_t id) : ch(channel), seed(1ull << 63 | id), h(write_handle(channel)) {}

int Stream::write(uint32_t sectors) {
    std::vector<uint8_t> data((size_t)sectors * 512);
    pattern_bytes(seed, offset, data.data(), data.size());
    const int r = kx_file_write(h, data.data(), sectors);
    if (r) return r;
    packed_time now;
    get_local_time(&now);
    // No first cluster after a write: a pack finished the record that the
    // write went into.
    const bool packed = h->first_cluster == 0;
    if (packed && segs.empty()) {
        ADD_FAILURE() << "the first write was packed at once: its record is not known";
        return 0;
    }
    if (!packed && (segs.empty() || h->first_cluster != segs.back().first || h->pdp != segs.back().pdp))
        segs.push_back(
            Segment{h->pdp, h->first_cluster, offset, 0, now, now, !segs.empty() || h->reopened, {}});
    Segment& s = segs.back();
    s.bytes += data.size();
    s.last = now;
    if (!packed && (s.clusters.empty() || s.clusters.back() != h->cur_clus))
        s.clusters.push_back(h->cur_clus);
    offset += data.size();
    return 0;
}

::testing::AssertionResult Stream::on_disk(size_t seg) const {
    const Segment& g = segs.at(seg);
    kx_driver* pdp = g.pdp;
    const uint64_t spc = pdp->sector_per_clus, sectors = g.bytes / 512;
    const uint32_t n = (uint32_t)((sectors + spc - 1) / spc), last = (uint32_t)(sectors - (n - 1) * spc);
    const bool resumed = g.resumed;
    auto fail = [&](uint32_t k) {
        return ::testing::AssertionFailure() << "record at " << g.first << ", item " << k << ": ";
    };
    kx_dir_item it{}, first{};
    for (uint32_t k = 0, c = g.first, up = 0; k < n; k++) {
        if (k != 0) {
            if (!dir_item_has_down(&it)) return fail(k) << "the chain ends";
            up = c;
            c = it.down_clus;
        }
        uint8_t index = 0;
        if (get_dir_item_info(pdp, c, &it) || get_index_item_info(pdp, c, &index))
            return fail(k) << "unreadable";
        if (k == 0) first = it;
        // The first item's up link names the record's user-data item, if any.
        const uint32_t item_type = k != 0 ? ITEM_FOLLOW : resumed ? ITEM_RESUME : ITEM_FIRST;
        const uint32_t clus_type = k != 0 ? CLUS_TYPE_FOLLOW : resumed ? CLUS_TYPE_RESUME : CLUS_TYPE_START;
        const auto want = std::make_tuple(item_type, k != 0 ? k : n - 1, (uint32_t)ch, (uint32_t)kind,
                                          (uint32_t)media, (uint32_t)img, k != 0 ? up : it.up_cluster_no,
                                          g.first, (ch & 63u) | clus_type << 6);
        const auto got =
            std::make_tuple((uint32_t)it.item_type, (uint32_t)it.item_num, dir_item_channel(&it),
                            dir_item_record_kind(&it), dir_item_media_type(&it), (uint32_t)it.img,
                            it.up_cluster_no, it.first_cluster_no, (uint32_t)index);
        if (got != want)
            return fail(k) << ::testing::PrintToString(got) << ", want " << ::testing::PrintToString(want);
    }
    if (it.down_clus != 0 || it.end_length != last || first.end_length != last || first.start_time != g.start)
        return fail(n - 1) << "not closed with " << last << " sectors from " << g.start;

    std::vector<uint8_t> want((size_t)g.bytes);
    pattern_bytes(seed, g.offset, want.data(), want.size());
    const std::vector<uint8_t> got = read_record(pdp, g.first);
    if (got.size() != want.size()) return fail(0) << got.size() << " bytes read back, want " << want.size();
    const auto diff = std::mismatch(want.begin(), want.end(), got.begin());
    if (diff.first != want.end()) return fail(0) << "differs at byte " << (diff.first - want.begin());
    return ::testing::AssertionSuccess();
}
