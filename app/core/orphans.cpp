#include "core/orphans.h"

#include <algorithm>
#include <cstdio>
#include <tuple>

#include "core/disks.h"
#include "core/timevalue.h"

namespace {

struct ScanContext {
    const OrphanQuery* query;
    int partition;
    OrphanReport* report;
};

// The result of one chain; false when its times are no real date.
bool MakeResult(const ScanContext& ctx, const kx_orphan& o, const uint32_t* clusters, SearchResult* r) {
    const LocalDateTime s = PackedDateTime(o.start_time), e = PackedDateTime(o.end_time);
    int64_t start = 0, end = 0;
    try {
        start = MakeTimeValue(s, "an orphaned chain");
        end = MakeTimeValue(e, "an orphaned chain");
    } catch (const CalendarError&) {
        return false;
    }
    const OrphanQuery& q = *ctx.query;
    if (q.window && (start > q.end || end < q.start)) return true;
    auto chain = std::make_shared<OrphanChain>();
    chain->firstCluster = o.first_cluster;
    chain->oldFirstCluster = o.old_first_cluster;
    chain->lastSectors = o.last_sectors;
    chain->clusters.assign(clusters, clusters + o.clusters);
    r->channel = static_cast<int>(o.channel);
    r->startYear = s.year, r->startMonth = s.month, r->startDay = s.day;
    r->startHour = s.hour, r->startMinute = s.minute, r->startSecond = s.second;
    r->endYear = e.year, r->endMonth = e.month, r->endDay = e.day;
    r->endHour = e.hour, r->endMinute = e.minute, r->endSecond = e.second;
    r->partition = ctx.partition;
    r->disk = q.disk;
    snprintf(r->entry.name, sizeof r->entry.name, "orphan_%02d.%02d.%02d-%02d.%02d.%02d[@%x].mvr", s.hour,
             s.minute, s.second, e.hour, e.minute, e.second, o.first_cluster);
    r->entry.start_time64 = start;
    r->entry.size = o.sectors * 512;
    r->orphan = std::move(chain);
    return true;
}

int TakeChain(void* p, const kx_orphan* o, const uint32_t* clusters) {
    ScanContext& ctx = *static_cast<ScanContext*>(p);
    if (ctx.query->channel >= 0 && o->channel != static_cast<uint32_t>(ctx.query->channel)) return 0;
    SearchResult r;
    if (!MakeResult(ctx, *o, clusters, &r))
        ctx.report->badTimes++;
    else if (r.orphan)
        ctx.report->chains.push_back(std::move(r));
    return 0;
}

}  // namespace

OrphanReport FindOrphans(const OrphanQuery& query) {
    OrphanReport report;
    for (int p = 0; p < 4; p++) {
        if (query.partition >= 0 && p != query.partition) continue;
        driver_info info{};
        if (kx_get_driver_info(query.disk, p, &info) != 0) {
            if (query.partition >= 0) report.unmounted = p + 1;
            continue;
        }
        ScanContext ctx{&query, p, &report};
        if (kx_orphan_scan(query.disk, p, TakeChain, &ctx) != 0) report.failed++;
    }
    std::stable_sort(
        report.chains.begin(), report.chains.end(), [](const SearchResult& a, const SearchResult& b) {
            return std::tie(a.partition, a.entry.start_time64) < std::tie(b.partition, b.entry.start_time64);
        });
    return report;
}
