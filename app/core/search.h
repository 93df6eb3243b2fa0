// The record search: every recording of one channel on one disk whose time
// meets a time window (it starts no later than the window's end and ends no
// earlier than the window's start), each once, delivered in batches, walking
// the path adapter's tree partition by partition, day by day (the days the
// partition lists), entry by entry of the channel's day directory. The search
// keeps its place between batches so that the result list fetches the next
// batch only when the user pages on.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "kxfs.h"

struct OrphanChain;

// One recording found, or a chain of orphaned footage (core/orphans.h).
struct SearchResult {
    int channel = 0;  // 0-based; paths and folders use channel + 1
    // The recording's real start: the date of the listing entry's own start
    // time, the time of day from its name.
    int startYear = 0, startMonth = 0, startDay = 0;
    int startHour = 0, startMinute = 0, startSecond = 0;
    // The recording's real end: the date of the listing entry's own end
    // time, the time of day from its name.
    int endYear = 0, endMonth = 0, endDay = 0;
    int endHour = 0, endMinute = 0, endSecond = 0;
    int partition = 0;  // 0-3
    int disk = 0;       // 0-based
    kx_find_record entry{};  // name (the record file name), start time, size in bytes
    // Orphaned footage: the chain its bytes come from; null for a recording.
    std::shared_ptr<const OrphanChain> orphan;
};

class SearchContext {
public:
    SearchContext() = default;
    ~SearchContext();
    SearchContext(const SearchContext&) = delete;
    SearchContext& operator=(const SearchContext&) = delete;

    // Starts a search and collects its first batch; returns the number of
    // records in it (0 when nothing matches). Throws CalendarError when a
    // partition summary or an entry name holds a date or time that does not
    // exist; the search is then over.
    int Begin(int capacity, int disk, int64_t start, int64_t end, int channel);
    // The next batch, overwriting the previous one; 0 once the search is
    // exhausted. Throws CalendarError as Begin does.
    int Continue();
    // Ends the search: closes an open listing and releases the batch buffer.
    void Release();

    const std::vector<SearchResult>& Batch() const { return m_items; }
    int Count() const { return m_count; }

private:
    int OpenPartition();
    void ListDays(int64_t firstDay, int64_t lastDay);
    bool NextDay();
    bool NextEntry();
    bool Accept(SearchResult& slot);
    void CloseListing();

    std::vector<SearchResult> m_items;  // the current batch (capacity records)
    int m_count = 0;
    int m_disk = 0;
    int64_t m_start = 0, m_end = 0;
    int m_channel = 0;
    int m_capacity = 0;
    int m_partition = 0;
    kx_partition m_partitions[4]{};
    int64_t m_dayCursor = 0;      // local midnight of the day being listed
    std::vector<int64_t> m_days;  // local midnights of the partition's listed days to walk, ascending
    size_t m_dayIndex = 0;        // of m_dayCursor in m_days
    intptr_t m_find = 0;      // open listing of the current day; 0 when none
    bool m_exhausted = true;
    // Recordings already delivered, by (partition, first cluster): a
    // recording that runs past midnight is listed again under the next day.
    std::set<std::pair<int, uint32_t>> m_delivered;
};

// The first cluster a record file name carries in its "[@%x]" part; false
// when the name has none.
bool RecordFirstCluster(const char* name, uint32_t* cluster);
