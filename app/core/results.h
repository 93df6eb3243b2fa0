// The result list: a copy of every recording the current search delivered,
// in search order, each with its tick, shown twelve to a page. Paging past
// the held records asks the search for its next batch, so the search reads
// the disk only as far as the user looks. A front end draws the rows of the
// current page and forwards the user's ticks; everything else lives here.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/search.h"

struct ResultItem {
    SearchResult record;
    bool selected = false;
};

class CResultList {
public:
    static constexpr int kPageSize = 12;  // rows per page, and the search's batch size

    enum class Outcome { Found, NoDisk, NoRecord };

    // The recorder clock's offset (true time minus the recorder's time, 0 by
    // default): Search then takes its window in true time and the rows show
    // true times. The records keep the recorder's times.
    void SetClockOffset(int64_t offset) { m_clockOffset = offset; }
    int64_t ClockOffset() const { return m_clockOffset; }

    // The Search command: empties the list and the previous search, then
    // searches disk (0-based) and channel (0-based) from start to end and
    // shows the first page. NoDisk without any disk, NoRecord when the window
    // is reversed or nothing matches. Throws CalendarError (the list then
    // stays empty) when the disk holds a date or time that does not exist.
    // With includeOrphans, the channel's orphaned footage whose span meets
    // the window follows the recordings (core/orphans.h).
    Outcome Search(int diskCount, int disk, int channel, int64_t start, int64_t end, bool includeOrphans = false);
    // Releases the held copies and the search.
    void Clear();

    // Makes page Page() current, fetching the next batch when the page lies
    // past the held records and the search is not done; false (rows
    // unchanged) when the page holds no record.
    bool FillPage();
    // Page changes; false when the page did not change. A fetch that meets a
    // bad date throws CalendarError; the page then stays and the search ends.
    bool NextPage();
    bool PrevPage();
    // Fetches every remaining batch (a front end that shows all at once).
    void FetchAll();

    // Ticks or unticks one held record; false when nothing changed.
    bool SetSelected(size_t index, bool selected);
    // Ticks every row of the page when its first row is unticked, else
    // unticks them all.
    void SelectAll();

    // The rows on screen: held records PageFirst() .. PageFirst() + PageRows() - 1.
    size_t PageFirst() const { return m_rowFirst; }
    size_t PageRows() const { return m_rowCount; }
    int Page() const { return m_nPage; }
    bool SearchDone() const { return m_bSearchDone; }

    // Texts of the five columns of a held record: Index, Disk Name, Start
    // Time, End Time (true times with a clock offset), File Size. Orphaned footage says so beside its disk.
    std::array<std::string, 5> RowTexts(size_t index) const;

    const std::vector<ResultItem>& Items() const { return m_items; }
    uint64_t SelectedBytes() const { return m_nSelectedBytes; }
    std::vector<SearchResult> SelectedRecords() const;

    // Which commands the dialog offers, given whether a download runs.
    bool CanNextPage(bool downloading) const;
    bool CanPrevPage(bool downloading) const;
    bool CanSelectAll(bool downloading) const;
    bool CanDownload(bool downloading) const;

private:
    void Append(int count);
    void Fetch();

    SearchContext m_search;
    std::vector<SearchResult> m_orphans;  // shown once the recordings are all fetched
    std::vector<ResultItem> m_items;
    bool m_bSearchDone = true;
    int m_nPage = 0;
    uint64_t m_nSelectedBytes = 0;
    size_t m_rowFirst = 0;
    size_t m_rowCount = 0;
    int64_t m_clockOffset = 0;
};
