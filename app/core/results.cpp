#include "core/results.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/clockoffset.h"
#include "core/language.h"
#include "core/orphans.h"
#include "core/timevalue.h"

namespace {

// "hh:mm:ss" from the eight characters at pos of a record name ("hh.mm.ss").
std::string name_time(const char* name, size_t pos) {
    const size_t len = strnlen(name, sizeof(kx_find_record::name));
    std::string t = pos < len ? std::string(name + pos, std::min<size_t>(8, len - pos)) : std::string();
    for (size_t colon : {2, 5}) {
        if (colon < t.size()) t[colon] = ':';
    }
    return t;
}

std::string date_and(int year, int month, int day, const std::string& time) {
    char buf[160];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %s", year, month, day, time.c_str());
    return buf;
}

}  // namespace

void CResultList::Clear() {
    m_items.clear();
    m_orphans.clear();
    m_search.Release();
    m_bSearchDone = true;
    m_nPage = 0;
    m_nSelectedBytes = 0;
    m_rowFirst = 0;
    m_rowCount = 0;
}

CResultList::Outcome CResultList::Search(int diskCount, int disk, int channel, int64_t start, int64_t end,
                                         bool includeOrphans) {
    Clear();
    if (diskCount < 1) return Outcome::NoDisk;
    if (start > end) return Outcome::NoRecord;  // a window of one instant is searched
    start -= m_clockOffset;
    end -= m_clockOffset;
    if (includeOrphans) m_orphans = FindOrphans(OrphanQuery{disk, -1, channel, true, start, end}).chains;
    const int n = std::max(m_search.Begin(kPageSize, disk, start, end, channel), 0);
    if (n == 0 && m_orphans.empty()) return Outcome::NoRecord;
    m_bSearchDone = n != kPageSize;
    Append(n);
    FillPage();
    return Outcome::Found;
}

void CResultList::Append(int count) {
    const std::vector<SearchResult>& batch = m_search.Batch();
    for (int i = 0; i < count; i++) m_items.push_back(ResultItem{batch[static_cast<size_t>(i)], false});
    if (!m_bSearchDone) return;
    for (SearchResult& orphan : m_orphans) m_items.push_back(ResultItem{std::move(orphan), false});
    m_orphans.clear();
}

void CResultList::Fetch() {
    int n;
    try {
        n = m_search.Continue();
    } catch (const CalendarError&) {
        m_bSearchDone = true;  // the search cannot go on past the bad value
        throw;
    }
    m_bSearchDone = n != kPageSize;
    Append(n);
}

bool CResultList::FillPage() {
    const size_t first = static_cast<size_t>(m_nPage) * kPageSize;
    if (first >= m_items.size() && !m_bSearchDone) Fetch();
    if (first >= m_items.size()) return false;
    m_rowFirst = first;
    m_rowCount = std::min<size_t>(kPageSize, m_items.size() - first);
    return true;
}

bool CResultList::NextPage() {
    m_nPage++;
    bool shown = false;
    try {
        shown = FillPage();
    } catch (const CalendarError&) {
        m_nPage--;
        throw;
    }
    if (!shown) m_nPage--;
    return shown;
}

bool CResultList::PrevPage() {
    if (m_nPage == 0) return false;
    m_nPage--;
    if (FillPage()) return true;
    m_nPage++;
    return false;
}

void CResultList::FetchAll() {
    while (!m_bSearchDone) Fetch();
}

bool CResultList::SetSelected(size_t index, bool selected) {
    if (index >= m_items.size() || m_items[index].selected == selected) return false;
    ResultItem& item = m_items[index];
    item.selected = selected;
    if (selected) m_nSelectedBytes += item.record.entry.size;
    else m_nSelectedBytes -= item.record.entry.size;
    return true;
}

void CResultList::SelectAll() {
    if (m_rowCount == 0) return;
    const bool tick = !m_items[m_rowFirst].selected;
    for (size_t i = m_rowFirst; i < m_rowFirst + m_rowCount; i++) SetSelected(i, tick);
}

std::array<std::string, 5> CResultList::RowTexts(size_t index) const {
    const SearchResult& r = m_items.at(index).record;
    char size[32];
    // The list shows the size in KiB as a 32-bit number, rounded down.
    snprintf(size, sizeof size, "%dKb", static_cast<int32_t>(static_cast<uint32_t>(r.entry.size / 1024)));
    // An orphan's name has its times after "orphan_".
    const size_t at = r.orphan ? 7 : 0;
    std::string disk = Translate("Disk") + std::to_string(r.disk + 1);
    if (r.orphan) disk += " " + Translate("(orphaned)");
    if (m_clockOffset != 0) {
        return {std::to_string(index + 1), disk, FormatDateTime(TrueTime(RecorderStart(r), m_clockOffset)),
                FormatDateTime(TrueTime(RecorderEnd(r), m_clockOffset)), size};
    }
    return {std::to_string(index + 1), disk, date_and(r.startYear, r.startMonth, r.startDay, name_time(r.entry.name, at)),
            date_and(r.endYear, r.endMonth, r.endDay, name_time(r.entry.name, at + 9)), size};
}

std::vector<SearchResult> CResultList::SelectedRecords() const {
    std::vector<SearchResult> selected;
    for (const ResultItem& item : m_items) {
        if (item.selected) selected.push_back(item.record);
    }
    return selected;
}

bool CResultList::CanNextPage(bool downloading) const {
    const size_t n = m_items.size();
    const size_t lastPage = n == 0 ? 0 : (n + kPageSize - 1) / kPageSize - 1;
    return n > 0 && (!m_bSearchDone || static_cast<size_t>(m_nPage) < lastPage) && !downloading;
}

bool CResultList::CanPrevPage(bool downloading) const { return m_nPage > 0 && !downloading; }

bool CResultList::CanSelectAll(bool downloading) const { return m_rowCount > 0 && !downloading; }

bool CResultList::CanDownload(bool downloading) const { return m_nSelectedBytes > 0 && !downloading; }
