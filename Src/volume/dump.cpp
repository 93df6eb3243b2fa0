// The diagnostic tables: every loaded driver's geometry, its write position
// and time sections, a chart placing all drivers' sections on one time axis,
// and the list of time sections. Printed at the end of start-up and around
// every hand-over of the working driver.
#include <string>

#include "kxtime.h"
#include "log.h"
#include "meta/meta.h"
#include "volume/volume.h"

namespace {

// Places on the chart's time axis.
const int kChartColumns = 64;
const uint32_t kNoPosition = 0xFFFFFFFFu;

void dash_line(int dashes) {
    kx_log(" %s\n", std::string(dashes, '-').c_str());
}

bool loaded(const kx_driver& d) {
    return d.type < KX_MAX_TYPES;
}

bool is_work_driver(const kx_driver& d) {
    return g_work_driver[d.type] == &d;
}

// Whether the dump brings this driver's time data up to date first.
bool refreshed_by_dump(const kx_driver& d) {
    return (d.type == 0 || d.type == 3 || d.type == 4) && is_work_driver(d);
}

uint32_t section_count(const kx_driver& d) {
    return (d.collision_num < KX_MAX_COLLISIONS ? d.collision_num : KX_MAX_COLLISIONS) + 2;
}

// "|a.b -> c.d", the driver and the next one of its ring; `lead` replaces
// the first bar (table 2 marks the working driver with '*').
void print_link(const kx_driver& d, char lead) {
    if (d.next)
        kx_log("%c%u.%u -> %u.%u", lead, d.disk_no, d.part, d.next->disk_no, d.next->part);
    else
        kx_log("%c%u.%u -> ?.?", lead, d.disk_no, d.part);
}

void print_short_time(packed_time t) {
    kx_log("|%02d-%02d %02d:%02d:%02d", (int)pt_month(t), (int)pt_day(t), (int)pt_hour(t), (int)pt_minute(t),
           (int)pt_second(t));
}

void print_long_time(packed_time t) {
    kx_log("| %02d-%02d-%02d %02d:%02d:%02d ", (int)pt_year(t), (int)pt_month(t), (int)pt_day(t),
           (int)pt_hour(t), (int)pt_minute(t), (int)pt_second(t));
}

void print_basic_table(void) {
    kx_log("driver basic parameter:\n");
    dash_line(100);
    kx_log(
        "| dev.part |type|total_clus | temp_off | index_off | dir_off | data_off |"
        " rev_clus | sec/clus |status|\n");
    kx_log(
        "|----------|----|-----------|----------|-----------|---------|----------|"
        "----------|----------|------|\n");
    for (const kx_driver& d : g_drivers) {
        if (!loaded(d)) continue;
        print_link(d, '|');
        kx_log("|%4u|%11u|%10u|%11u|%9u|%10u|%10u|%10u|0x%04x|\n", d.type, d.total_clus, d.temp_off,
               d.index_off, d.dir_off, d.data_off, d.rev_clus, d.sector_per_clus, d.status);
    }
    dash_line(96);
}

void print_operation_table(void) {
    kx_log("driver operation parameter:\n");
    dash_line(121);
    kx_log(
        "| dev.part | F| S|  curr  |        start1         |         end1          |"
        "        start2         |        end2           |\n");
    kx_log(
        "|          |  |  |        |MM-DD HH:MM:SS|  clus  |MM-DD HH:MM:SS|  clus  |"
        "MM-DD HH:MM:SS|  clus  |MM-DD HH:MM:SS|  clus  |\n");
    kx_log(
        "|----------|--|--|--------|--------------|--------|--------------|--------|"
        "--------------|--------|--------------|--------|\n");
    for (kx_driver& d : g_drivers) {
        if (!loaded(d)) continue;
        // Section 2 shrinks as the writer advances; its start time follows.
        if (refreshed_by_dump(d)) refresh_start_time2(&d);
        print_link(d, is_work_driver(d) && g_fs_adapt == 0 ? '*' : '|');
        kx_log("|%2u| %c|%8u", d.fill_count, d.err_status != 0 ? 'X' : 'O', d.current_cluster);
        print_short_time(d.start_time1);
        kx_log("|%8u", d.rev_clus);
        print_short_time(d.end_time1);
        kx_log("|%8u", d.current_cluster);
        print_short_time(d.start_time2);
        kx_log("|%8u", d.start_cluster2);
        print_short_time(d.end_time2);
        kx_log("|%8u|\n", d.end_cluster2);
    }
    dash_line(122);
}

// The chart's time axis: up to 64 distinct nonzero times in ascending order,
// 0 marking empty places.
struct time_axis {
    packed_time points[kChartColumns] = {};

    void insert(packed_time t) {
        if (t == 0) return;
        for (int i = 0; i < kChartColumns; i++) {
            if (points[i] == t) return;
            if (points[i] == 0) {
                points[i] = t;
                return;
            }
            if (points[i] > t) {
                // The latest time falls off the end.
                for (int j = kChartColumns - 1; j > i; j--) points[j] = points[j - 1];
                points[i] = t;
                return;
            }
        }
    }

    uint32_t position(packed_time t) const {
        if (t == 0) return kNoPosition;
        for (int i = 0; i < kChartColumns; i++)
            if (points[i] == t) return (uint32_t)i;
        return kNoPosition;
    }
};

void print_time_chart(void) {
    time_axis axis;
    for (const kx_driver& d : g_drivers) {
        if (!loaded(d)) continue;
        axis.insert(d.start_time1);
        axis.insert(d.end_time1);
        axis.insert(d.start_time2);
        axis.insert(d.end_time2);
    }
    kx_log("driver time chart:\n");
    dash_line(74);
    kx_log("|dev.part | period of time                                                 |\n");
    kx_log("|---------|----------------------------------------------------------------|\n");
    for (const kx_driver& d : g_drivers) {
        if (!loaded(d)) continue;
        uint32_t a = axis.position(d.start_time1), b = axis.position(d.end_time1);
        uint32_t c = axis.position(d.start_time2), e = axis.position(d.end_time2);
        std::string row(kChartColumns, ' ');
        for (uint32_t i = 0; i < (uint32_t)kChartColumns; i++)
            if ((a <= i && i < b) || (c <= i && i < e)) row[i] = '_';
        kx_log("|  %2d.%2d  |%s|\n", (int)d.disk_no, (int)d.part, row.c_str());
    }
}

bool section_in_error(const time_section& s) {
    return s.start_clus != 0 && (s.end_clus < s.start_clus || s.start_time > s.end_time);
}

void print_section_table(void) {
    dash_line(72);
    kx_log("driver time sections:\n");
    dash_line(72);
    kx_log("|dev part |start_clus| end_clus |    start_time     |   end_time        |\n");
    for (const kx_driver& d : g_drivers) {
        if (!loaded(d) || !d.sections) continue;
        kx_log("|---------|----------|----------|-------------------|-------------------|\n");
        for (uint32_t k = 0; k < section_count(d); k++) {
            const time_section& s = d.sections[k];
            kx_log("|  %2d.%2d  |  %7d |  %7d ", (int)d.disk_no, (int)d.part, (int)s.start_clus,
                   (int)s.end_clus);
            print_long_time(s.start_time);
            print_long_time(s.end_time);
            kx_log("|%s\n", section_in_error(s) ? "  (error)" : "");
        }
    }
    dash_line(72);
}

}  // namespace

void kx_dump_drivers(void) {
    for (int t : {0, 3, 4})
        if (g_work_driver[t]) refresh_current_section(g_work_driver[t]);
    print_basic_table();
    print_operation_table();
    print_time_chart();
    print_section_table();
}
