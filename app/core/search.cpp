#include "core/search.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/timevalue.h"

namespace {

// The decimal number of the two characters at pos of a name, stopping at the
// first non-digit: "7." gives 7, ".5" gives 0. Nothing past the name's end is
// looked at.
int name_pair(const char* name, size_t len, size_t pos) {
    int v = 0;
    for (size_t i = pos; i < pos + 2 && i < len && name[i] >= '0' && name[i] <= '9'; i++) v = v * 10 + (name[i] - '0');
    return v;
}

std::string partition_root(int disk, int partition) {
    char root[32];
    snprintf(root, sizeof root, "/mnt/ide%c%d", 'a' + disk, partition);
    return root;
}

}  // namespace

bool RecordFirstCluster(const char* name, uint32_t* cluster) {
    const char* at = strstr(name, "[@");
    if (at == nullptr) return false;
    uint32_t v = 0;
    int digits = 0;
    const char* p = at + 2;
    for (; *p != ']'; p++, digits++) {
        const char c = *p;
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;  // also the end of the name: no closing bracket
        if (digits == 8) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    if (digits == 0) return false;
    *cluster = v;
    return true;
}

SearchContext::~SearchContext() { Release(); }

void SearchContext::CloseListing() {
    if (m_find != 0) kx_findclose(m_find);
    m_find = 0;
}

void SearchContext::Release() {
    CloseListing();
    m_items.clear();
    m_items.shrink_to_fit();
    m_count = 0;
    m_delivered.clear();
    m_exhausted = true;
}

int SearchContext::Begin(int capacity, int disk, int64_t start, int64_t end, int channel) {
    Release();
    m_capacity = capacity;
    m_disk = disk;
    m_start = start;
    m_end = end;
    m_channel = channel;
    m_items.assign(static_cast<size_t>(std::max(capacity, 0)), SearchResult{});
    m_partition = 0;
    m_exhausted = false;
    // Without a partition table there is nothing to search.
    if (kx_read_partitions(disk, m_partitions) != 0) memset(m_partitions, 0, sizeof m_partitions);
    try {
        if (OpenPartition() != 0) m_exhausted = true;
    } catch (const CalendarError&) {
        m_exhausted = true;
        throw;
    }
    return Continue();
}

int SearchContext::Continue() {
    m_count = 0;
    if (m_capacity <= 0) return 0;
    try {
        while (!m_exhausted && m_count < m_capacity && NextEntry()) m_count++;
    } catch (const CalendarError&) {
        // The command that met the bad value is abandoned, and so is the search.
        CloseListing();
        m_exhausted = true;
        m_count = 0;
        throw;
    }
    return m_count;
}

int SearchContext::OpenPartition() {
    if (m_partition >= 4) return -3;
    for (; m_partition < 4; m_partition++) {
        if (m_partitions[m_partition].size == 0) continue;
        // A partition is searched when it is mounted and its summary reads.
        const std::string path = partition_root(m_disk, m_partition) + "/DVRWorkDirectory";
        KXFILE f = kx_fopen(path.c_str(), "rb");
        if (f == nullptr) continue;  // not mounted
        uint8_t summary[300];
        const size_t items = kx_fread(summary, sizeof summary, 1, f);
        kx_fclose(f);
        if (items != 1) continue;
        // The summary's spans bound nothing for certain, so no partition is
        // ruled out by them. A clock set back by ten seconds or less starts no
        // new time section, and such steps add up: a recording may begin any
        // time before its section's start, or after its section's end (that of
        // its newest cluster). The walk begins on the day before the window's
        // first day: a recording that ends at exactly the window's first
        // midnight is not running at that day's start, so only the day before
        // lists it.
        const int64_t firstDay = PreviousLocalMidnight(m_start);
        const int64_t lastDay = std::max(firstDay, LocalMidnight(m_end));
        // Only the days the partition lists hold recordings: walking those
        // alone keeps a wide window from costing a listing for every calendar
        // day.
        ListDays(firstDay, lastDay);
        // The days listed are those on which recordings start. The first day
        // is walked in any case: its listing holds the recordings that began
        // earlier and still run then (one may run for days).
        if (m_days.empty() || m_days[0] != firstDay) m_days.insert(m_days.begin(), firstDay);
        m_dayIndex = 0;
        m_dayCursor = m_days[0];
        return 0;
    }
    return -1;
}

void SearchContext::ListDays(int64_t firstDay, int64_t lastDay) {
    m_days.clear();
    kx_find_record day{};
    const intptr_t h = kx_findfirst(partition_root(m_disk, m_partition).c_str(), &day);
    if (h == -1) return;
    do {
        LocalDateTime t;
        day.name[sizeof day.name - 1] = '\0';
        if (sscanf(day.name, "%4d-%2d-%2d", &t.year, &t.month, &t.day) != 3) continue;
        const int64_t midnight = MakeTimeValue(t, "a day of the partition");
        if (midnight >= firstDay && midnight <= lastDay) m_days.push_back(midnight);
    } while (kx_findnext(h, &day) == 0);
    kx_findclose(h);
    std::sort(m_days.begin(), m_days.end());
    m_days.erase(std::unique(m_days.begin(), m_days.end()), m_days.end());
}

bool SearchContext::NextDay() {
    if (++m_dayIndex < m_days.size()) {
        m_dayCursor = m_days[m_dayIndex];
        return true;
    }
    m_partition++;
    if (OpenPartition() != 0) {
        m_exhausted = true;
        return false;
    }
    return true;
}

bool SearchContext::NextEntry() {
    for (;;) {
        SearchResult& slot = m_items[static_cast<size_t>(m_count)];
        if (m_find == 0) {
            const LocalDateTime day = BreakTimeValue(m_dayCursor);
            char pattern[64];
            snprintf(pattern, sizeof pattern, "%s/%4d-%02d-%02d/%03d/*", partition_root(m_disk, m_partition).c_str(),
                     day.year, day.month, day.day, m_channel + 1);
            const intptr_t h = kx_findfirst(pattern, &slot.entry);
            if (h <= 0) {  // no recordings of the channel on that day
                if (!NextDay()) return false;
                continue;
            }
            m_find = h;
        } else if (kx_findnext(m_find, &slot.entry) != 0) {
            CloseListing();
            if (!NextDay()) return false;
            continue;
        }
        if (Accept(slot)) return true;
    }
}

bool SearchContext::Accept(SearchResult& slot) {
    kx_find_record& e = slot.entry;
    e.name[sizeof e.name - 1] = '\0';
    const size_t len = strlen(e.name);
    const std::string what = std::string("the record ") + e.name + " on partition " + std::to_string(m_partition);

    // The recording's own start and end, not the day directory it was listed
    // under: a recording that runs past midnight is listed under every day it
    // touches, and one may run for more than a day. The dates come from the
    // entry's times, the times of day from the name.
    const LocalDateTime startDay = BreakTimeValue(e.start_time64);
    const LocalDateTime endDay = BreakTimeValue(e.end_time64);
    const LocalDateTime start{startDay.year,          startDay.month,         startDay.day,
                              name_pair(e.name, len, 0), name_pair(e.name, len, 3), name_pair(e.name, len, 6)};
    const LocalDateTime end{endDay.year,              endDay.month,           endDay.day,
                            name_pair(e.name, len, 9), name_pair(e.name, len, 12), name_pair(e.name, len, 15)};
    const int64_t a = MakeTimeValue(start, what.c_str());
    const int64_t b = MakeTimeValue(end, what.c_str());
    // Found when its time meets the window at all, bounds included: one that
    // begins before the window and ends after it holds footage of the window.
    // An end stamped before the start (the clock was set back while it
    // recorded) says nothing of how long it ran: it has footage of its start.
    if (a > m_end || std::max(a, b) < m_start) return false;

    uint32_t cluster = 0;
    if (RecordFirstCluster(e.name, &cluster)) {
        if (!m_delivered.insert({m_partition, cluster}).second) return false;  // met again under a later day
    }
    slot.channel = m_channel;
    slot.disk = m_disk;
    slot.partition = m_partition;
    slot.startYear = start.year;
    slot.startMonth = start.month;
    slot.startDay = start.day;
    slot.startHour = start.hour;
    slot.startMinute = start.minute;
    slot.startSecond = start.second;
    slot.endYear = end.year;
    slot.endMonth = end.month;
    slot.endDay = end.day;
    slot.endHour = end.hour;
    slot.endMinute = end.minute;
    slot.endSecond = end.second;
    return true;
}
