// A disk with every kind of file the mount and `workfiles` show: recordings of
// two channels over two days (one past midnight, one of over 1 MiB), two player
// files, and a log area of 20,000 sectors (past 8 MiB) in a known pattern.
#pragma once

#include "adapt/adapt.h"
#include "app/app_support.h"
#include "meta/meta.h"

namespace app_test {

struct AreaDisk {
    static constexpr uint32_t kLogSectors = 20000;
    static constexpr uint64_t kLogSeed = 77;

    AppDisk disk{{8400000}, 256};
    std::vector<layout_record> recs = {
        disk.Sized(0, At(2024, 2, 28, 23, 50), At(2024, 2, 29, 0, 10), (3u << 20) + 5 * 512),
        disk.Sized(1, At(2024, 2, 29, 8, 0), At(2024, 2, 29, 8, 30), 40 * 512),
        disk.Sized(0, At(2024, 2, 29, 9, 0), At(2024, 2, 29, 9, 5), 300 * 512),
    };
    std::vector<uint8_t> setup = Pattern(1000, 1), ui = Pattern(513, 2);

    AreaDisk() {
        disk.Record(0, recs);
        PutPlayerFile("setup.bin", setup);
        PutPlayerFile("ui.bin", ui);
        kx_driver* pdp = get_pdp(disk.disk, 0);
        pdp->resv2_sectors = kLogSectors;
        EXPECT_EQ(0, save_pdp(pdp));
        uint64_t area = 0;
        uint32_t sectors = 0;
        EXPECT_TRUE(log_area(pdp, &area, &sectors));
        std::vector<uint8_t> chunk(256 * 512);
        for (uint32_t s = 0; s < sectors; s += 256) {
            const uint32_t n = std::min<uint32_t>(256, sectors - s);
            pattern_bytes(kLogSeed, uint64_t(s) * 512, chunk.data(), n * 512);
            EXPECT_EQ(
                0, ide_write64(disk.disk, n, uint32_t(area + s), uint32_t((area + s) >> 32), chunk.data()));
        }
        disk.Mount(true);
    }

    static std::vector<uint8_t> Pattern(size_t n, uint64_t seed) {
        std::vector<uint8_t> v(n);
        pattern_bytes(seed, 0, v.data(), n);
        return v;
    }
    static std::vector<uint8_t> LogBytes() {
        std::vector<uint8_t> v(size_t(kLogSectors) * 512);
        pattern_bytes(kLogSeed, 0, v.data(), v.size());
        return v;
    }
    void PutPlayerFile(const std::string& name, const std::vector<uint8_t>& data) {
        KXFILE f = kx_fopen(("/mnt/idea0/player/" + name).c_str(), "wb");
        ASSERT_NE(nullptr, f);
        EXPECT_EQ(data.size(), kx_fwrite(data.data(), 1, data.size(), f));
        EXPECT_EQ(0, kx_fclose(f));
    }
};

}  // namespace app_test
