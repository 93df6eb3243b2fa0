#include "core/download.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/folders.h"
#include "core/language.h"
#include "core/media.h"
#include "platform/fs.h"

std::string DescribeFailure(const CopyOutcome& o) { return DescribeFailure(o, o.record.entry.size); }

CDownloadJob::~CDownloadJob() { Stop(); }

std::string CDownloadJob::DestinationFolder(const std::string& folder, const SearchResult& r) {
    std::string base = folder;
    if (!base.empty() && base.back() == '/') base.pop_back();
    char tail[96];
    snprintf(tail, sizeof tail, "/Disk%02d_Part%02d/%4d-%02d-%02d/%03d/", r.disk, r.partition, r.startYear,
             r.startMonth, r.startDay, r.channel + 1);
    return base + tail;
}

std::string CDownloadJob::SourcePath(const SearchResult& r) {
    char path[256];
    snprintf(path, sizeof path, "/mnt/ide%c%d/%4d-%02d-%02d/%03d/%s", 'a' + r.disk, r.partition, r.startYear,
             r.startMonth, r.startDay, r.channel + 1, r.entry.name);
    return path;
}

CDownloadJob::StartResult CDownloadJob::Start(std::vector<SearchResult> records, const std::string& folder,
                                              CopyOptions options) {
    if (m_running.load()) return StartResult::Busy;
    Wait();  // a finished worker is joined before the next one
    uint64_t total = 0;
    for (const SearchResult& r : records) total += r.entry.size;
    if (records.empty() || total == 0) return StartResult::NothingSelected;
    m_total = total;
    m_free = 0;
    m_folderError = 0;
    if (pc_free_space(folder, &m_free) && m_free < total) return StartResult::NoSpace;
    if (!MakeDirs(folder, &m_folderError)) return StartResult::FolderUnusable;
    // A folder that exists but may not be written would fail every copy
    // alike: said once, with its reason, before anything starts.
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        m_folderError = errno;
        return StartResult::FolderUnusable;
    }
    m_records = std::move(records);
    m_folder = folder;
    m_options = options;
    m_outcomes.clear();
    m_copied.store(0);
    m_stop.store(false);
    m_running.store(true);
    m_worker = std::thread(&CDownloadJob::Run, this);
    return StartResult::Started;
}

void CDownloadJob::Wait() {
    if (m_worker.joinable()) m_worker.join();
}

bool CDownloadJob::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_endMutex);
    return m_ended.wait_for(lock, timeout, [this] { return !m_running.load(); });
}

void CDownloadJob::Stop() {
    RequestStop();
    Wait();
}

int CDownloadJob::Percent() const {
    if (m_total == 0) return 0;
    return static_cast<int>(static_cast<double>(m_copied.load()) / static_cast<double>(m_total) * 100.0);
}

int CDownloadJob::CopiedCount() const {
    int n = 0;
    for (const CopyOutcome& o : m_outcomes) n += o.Whole() ? 1 : 0;
    return n;
}

int CDownloadJob::SkippedCount() const {
    int n = 0;
    for (const CopyOutcome& o : m_outcomes) n += o.skipped ? 1 : 0;
    return n;
}

namespace {

// The count is put in by hand: a translated text is not trusted as a format
// string.
std::string with_count(const char* english, int count) {
    std::string text = Translate(english);
    const size_t at = text.find("%d");
    if (at != std::string::npos) text.replace(at, 2, std::to_string(count));
    return text;
}

}  // namespace

int CDownloadJob::FilledCount() const {
    int n = 0;
    for (const CopyOutcome& o : m_outcomes) n += o.Whole() && !o.unreadable.empty() ? 1 : 0;
    return n;
}

std::string CDownloadJob::CompletionMessage() const {
    if (m_stop.load()) return "";
    const int failed = NotCopiedCount();
    if (failed != 0) return with_count("%d recording(s) could not be copied.", failed);
    const int filled = FilledCount();
    if (filled != 0) return with_count("%d recording(s) copied with unreadable sectors filled with zeros.", filled);
    return Translate("Download Completely!");
}

std::string CDownloadJob::SkippedMessage() const {
    const int skipped = SkippedCount();
    return skipped == 0 ? "" : with_count("%d recording(s) already copied were skipped.", skipped);
}

void CDownloadJob::Run() {
    {
        CCopyEngine engine(m_folder, m_options, m_stop, m_copied);
        for (const SearchResult& r : m_records) {
            if (m_stop.load()) break;
            CopyOutcome outcome;
            outcome.record = r;
            // The record name becomes a file name: it must stay in its folder.
            const std::string name = r.entry.name;
            const std::string folder = DestinationFolder("", r).substr(1);
            if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
                outcome.path = m_folder + "/" + folder + name;
                outcome.failure = CopyFailure::DestinationCreate;
                outcome.error = EINVAL;
            } else {
                static_cast<FileCopyResult&>(outcome) = engine.Copy({r, folder + name});
            }
            m_outcomes.push_back(std::move(outcome));
            if (m_bPlayable && m_outcomes.back().Whole() && !m_stop.load()) AddPlayableCopy(m_outcomes.back(), &m_stop);
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_endMutex);
        m_running.store(false);
    }
    m_ended.notify_all();
}
