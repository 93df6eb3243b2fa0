// The path adapter's tests: recordings laid out on a fresh disk as the
// recorder's writer leaves them, then listed, read and written by path.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "adapt/adapt.h"
#include "kxtime.h"
#include "platform/clock.h"
#include "support/record_layout.h"
#include "support/test_volume.h"

inline packed_time at(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return make_packed_time(y, mo, d, h, mi, s);
}

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = (uint8_t)((i * 131 + seed) ^ (i >> 9));
    return v;
}

inline layout_record rec(uint8_t channel, packed_time start, packed_time end, uint32_t clusters = 1,
                         uint16_t end_length = 0, uint16_t head_sectors = 0, uint8_t media_type = 2) {
    return {channel, start, end, clusters, end_length, media_type, 0, head_sectors};
}

// The host's lock hooks count how deep adapter operations nest; every test
// checks that each operation took the lock exactly once and gave it back on
// every way out (a non-recursive host lock would hang on a nested take).
inline int g_lock_depth, g_lock_max;

struct AdaptTest : ::testing::Test {
    std::unique_ptr<TestDisks> disk;
    std::unique_ptr<RecordLayout> layout;  // on partition 0

    // `parts` partitions of `size` sectors mounted in single-driver mode.
    bool mount(int parts, uint64_t size, uint32_t spc) {
        disk = std::make_unique<TestDisks>(std::vector<uint64_t>{2048 + parts * size + 64});
        disk->format(0, parts, size, spc);
        kx_set_fs_adapt(1);
        disk->start_up();
        static const kx_hooks hooks = {nullptr, [] { g_lock_max = std::max(g_lock_max, ++g_lock_depth); },
                                       [] { g_lock_depth--; }};
        g_lock_depth = g_lock_max = 0;
        kx_set_hooks(&hooks);
        layout = std::make_unique<RecordLayout>(pdp());
        log().clear();
        return disk->count == parts;
    }
    // One partition whose ring holds about `ring` clusters after the user-data area.
    bool mount_ring(uint32_t spc, uint32_t ring) { return mount(1, ring_part_sectors(spc, ring), spc); }
    void TearDown() override {
        kx_set_hooks(nullptr);
        EXPECT_EQ(0, g_lock_depth) << "a lock not given back";
        EXPECT_EQ(1, g_lock_max) << "no operation locked, or one locked twice";
    }
    kx_driver* pdp(int part = 0) { return get_pdp(0, part); }
    LogCapture& log() { return disk->log; }
    layout_record lay(layout_record r) {
        layout->write(r);
        return r;
    }
    // What a full read of a laid-out record delivers: its bytes after the header.
    std::vector<uint8_t> expected(const layout_record& r, uint32_t head_sectors) {
        return layout_expected(r, head_sectors * 512ull, (layout->sectors(r) - head_sectors) * 512ull);
    }
    // The path of a laid-out record as the listing of its start day names it.
    std::string path_of(const layout_record& r) {
        char dir[64], tag[16];
        snprintf(dir, sizeof dir, "/mnt/idea0/%04d-%02d-%02d/%03d/", (int)pt_year(r.start) + 2000,
                 (int)pt_month(r.start), (int)pt_day(r.start), r.channel + 1);
        snprintf(tag, sizeof tag, "[@%x]", r.chain.front());
        for (const std::string& n : names(std::string(dir) + "*"))
            if (n.find(tag) != std::string::npos) return dir + n;
        ADD_FAILURE() << "record at cluster " << r.chain.front() << " not listed";
        return "";
    }
};

// Channel 0 around the midnight of 2009-05-31 (32 KiB clusters): records
// across both midnights, odd lengths, two without data after their header
// (by the item's word, by "KXII"), kinds and media; one record of channel 1.
struct DayTest : AdaptTest {
    layout_record night, video, picture;

    void SetUp() override {
        ASSERT_TRUE(mount_ring(64, 200));
        lay(rec(1, at(2009, 5, 31, 12, 10), at(2009, 5, 31, 12, 20)));
        night = lay(rec(0, at(2009, 5, 30, 23, 50), at(2009, 5, 31, 0, 10), 2, 5));
        video = lay(rec(0, at(2009, 5, 31, 9), at(2009, 5, 31, 9, 10), 11, 9, 4));
        picture = lay(rec(0, at(2009, 5, 31, 10), at(2009, 5, 31, 10, 10), 3, 1, 1, 0));
        lay(rec(0, at(2009, 5, 31, 13), at(2009, 5, 31, 13, 1), 1, 4, 4));
        layout_record kxii = rec(0, at(2009, 5, 31, 14), at(2009, 5, 31, 14, 1), 1, 8),
                      late = rec(0, at(2009, 5, 31, 23, 59, 59), at(2009, 6, 1, 0, 5), 1, 9);
        kxii.kxii_bytes = 8 * 512;
        late.record_kind = 3;
        lay(kxii);
        lay(late);
        lay(rec(0, at(2009, 6, 1), at(2009, 6, 1, 0, 30), 1, 0, 0, 0));
        log().clear();
    }
};
