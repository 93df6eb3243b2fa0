// Recorder disks for the application's tests: partitions formatted and filled
// with recordings by the library's own writer, then mounted afresh by the
// application's start-up exactly as the tools do.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "core/results.h"
#include "core/startup.h"
#include "core/timevalue.h"
#include "kxtime.h"
#include "platform/clock.h"
#include "support/log_capture.h"
#include "support/record_layout.h"
#include "support/temp_dir.h"
#include "volume/volume.h"

namespace app_test {

// A partition whose recording ring holds `ring` clusters of `spc` sectors
// (the format puts the 16,384-sector user-data area in front of the ring).
inline uint64_t PartSectors(uint32_t spc, uint32_t ring) { return 6656 + (uint64_t)(16384 / spc + ring) * spc; }

inline packed_time At(int y, int mo, int d, int h, int mi, int s) { return make_packed_time(y, mo, d, h, mi, s); }

inline int64_t T(const char* text) {
    int64_t t = 0;
    EXPECT_TRUE(ParseDateTime(text, &t)) << text;
    return t;
}

// One recording of `clusters` clusters from start to end (packed local times).
inline layout_record Rec(int channel, packed_time start, packed_time end, uint32_t clusters = 1) {
    layout_record r;
    r.channel = (uint8_t)channel;
    r.start = start;
    r.end = end;
    r.clusters = clusters;
    return r;
}

// One disk; partition i gets sizes[i] sectors (0: an empty table entry).
class AppDisk {
public:
    explicit AppDisk(const std::vector<uint64_t>& sizes, uint32_t spc = 16) : m_spc(spc) {
        pc_clock_set_fake(pc_local_time{2009, 1, 1, 0, 0, 0}, 1000000);
        kx_set_fs_adapt(1);
        uint64_t next = 2048;
        kx_partition table[4] = {};
        for (size_t i = 0; i < sizes.size() && i < 4; i++) {
            if (sizes[i] == 0) continue;
            table[i] = kx_partition{next, sizes[i]};
            next += sizes[i];
        }
        image = make_sparse_image(dir.file("disk0.img"), next + 64);
        use_disks({image});
        init_buf_pool();
        EXPECT_EQ(0, kx_write_partitions(0, table));
        int count = 0;
        packed_time shutdown = 0;
        for (size_t i = 0; i < sizes.size(); i++) {
            if (sizes[i] != 0) {
                EXPECT_EQ(0, kx_format_driver(0, (int)i, spc));
            }
        }
        EXPECT_EQ(0, kx_file_sys_init(&count, &shutdown));
    }
    ~AppDisk() { pc_clock_use_real(); }

    // Lays out recordings on a partition one after the other (their times
    // must ascend); the records get their clusters filled in.
    void Record(int part, std::vector<layout_record>& recs) {
        kx_driver* pdp = get_pdp(0, part);
        ASSERT_NE(nullptr, pdp);
        RecordLayout layout(pdp);
        for (layout_record& r : recs) layout.write(r);
    }

    // Mounts the disk the way the application starts.
    void Mount() {
        const StartupReport report = InitLibrary(StartupOptions{{image}, false});
        EXPECT_EQ(1, report.diskCount);
    }

    uint32_t spc() const { return m_spc; }

    LogCapture log;
    TempDir dir;
    std::string image;

private:
    uint32_t m_spc;
};

// Every result of a search of disk 0 (channel 0-based).
inline std::vector<SearchResult> SearchAll(int channel, const char* start, const char* end) {
    CResultList list;
    list.Search(1, 0, channel, T(start), T(end));
    list.FetchAll();
    std::vector<SearchResult> out;
    for (const ResultItem& item : list.Items()) out.push_back(item.record);
    return out;
}

inline std::string Starts(const SearchResult& r) {
    return FormatDateTime(LocalDateTime{r.startYear, r.startMonth, r.startDay, r.startHour, r.startMinute, r.startSecond});
}
inline std::string Ends(const SearchResult& r) {
    return FormatDateTime(LocalDateTime{r.endYear, r.endMonth, r.endDay, r.endHour, r.endMinute, r.endSecond});
}

// Runs a test body in another time zone and puts the old one back.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone) {
        const char* old = getenv("TZ");
        m_had = old != nullptr;
        if (m_had) m_old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (m_had) setenv("TZ", m_old.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    bool m_had = false;
    std::string m_old;
};

}  // namespace app_test
