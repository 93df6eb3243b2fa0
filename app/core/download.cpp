#include "core/download.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/copysource.h"
#include "core/folders.h"
#include "core/language.h"
#include "core/media.h"
#include "core/partfile.h"
#include "kxfs.h"
#include "platform/fs.h"

namespace {

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};

// A record name becomes a PC file name: it must stay inside its folder.
bool safe_file_name(const char* name) {
    return name[0] != '\0' && strchr(name, '/') == nullptr && strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

std::string with_errno(const char* what, int error) {
    return error != 0 ? std::string(what) + ": " + strerror(error) : std::string(what);
}

}  // namespace

std::string DescribeFailure(const CopyOutcome& o) {
    switch (o.failure) {
        case CopyFailure::None: return "";
        case CopyFailure::SourceOpen: return "the recording cannot be opened on the recorder's disk";
        case CopyFailure::DestinationCreate: return with_errno("the destination cannot be created", o.error);
        case CopyFailure::Taken: return Translate("being copied by another run");
        case CopyFailure::Write: return with_errno("writing the destination failed", o.error);
        case CopyFailure::ShortRead:
            return "reading stopped after " + std::to_string(o.bytes) + " of " + std::to_string(o.record.entry.size) +
                   " bytes";
        case CopyFailure::Sync: return with_errno("the copy cannot be forced to the PC's disk", o.error);
        case CopyFailure::Rename: return with_errno("the copy cannot take its final name", o.error);
        case CopyFailure::Stopped: return "stopped after " + std::to_string(o.bytes) + " bytes";
    }
    return "";
}

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

CDownloadJob::StartResult CDownloadJob::Start(std::vector<SearchResult> records, const std::string& folder) {
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

std::string CDownloadJob::CompletionMessage() const {
    if (m_stop.load()) return "";
    const int failed = NotCopiedCount();
    if (failed == 0) return Translate("Download Completely!");
    // The count is put in by hand: a translated text is not trusted as a
    // format string.
    std::string text = Translate("%d recording(s) could not be copied.");
    const size_t at = text.find("%d");
    if (at != std::string::npos) text.replace(at, 2, std::to_string(failed));
    return text;
}

void CDownloadJob::Run() {
    // Aligned so that the library may read the disk straight into it.
    std::unique_ptr<uint8_t, FreeDeleter> buffer(static_cast<uint8_t*>(std::aligned_alloc(4096, kChunkBytes)));
    if (buffer) {
        for (const SearchResult& r : m_records) {
            if (m_stop.load()) break;
            m_outcomes.push_back(CopyOne(r, buffer.get()));
            if (m_bPlayable && m_outcomes.back().Whole() && !m_stop.load()) AddPlayableCopy(m_outcomes.back(), &m_stop);
        }
    } else {
        for (const SearchResult& r : m_records) m_outcomes.push_back(CopyOutcome{r, "", 0, CopyFailure::Write, ENOMEM, "", ""});
    }
    {
        std::lock_guard<std::mutex> lock(m_endMutex);
        m_running.store(false);
    }
    m_ended.notify_all();
}

CopyOutcome CDownloadJob::CopyOne(const SearchResult& record, uint8_t* buffer) {
    CopyOutcome out;
    out.record = record;
    const std::string folder = DestinationFolder(m_folder, record);
    out.path = folder + record.entry.name;
    if (!safe_file_name(record.entry.name)) {
        out.failure = CopyFailure::DestinationCreate;
        out.error = EINVAL;
        return out;
    }
    CCopySource src(record);
    if (!src.IsOpen()) {
        out.failure = CopyFailure::SourceOpen;
        return out;
    }
    CPartFile file;
    if (!MakeDirs(folder, &out.error)) {
        out.failure = CopyFailure::DestinationCreate;
    } else if (const CPartFile::Fault fault = file.Open(out.path); fault != CPartFile::Fault::None) {
        out.failure = fault == CPartFile::Fault::Taken ? CopyFailure::Taken : CopyFailure::DestinationCreate;
        out.error = file.Error();
    } else {
        out.failure = CopyAll(src, file, buffer, out.bytes);
        out.error = file.Error();
    }
    // A source ends with 0 both at its end and on a read error:
    // only the listed size tells a whole copy from one cut short.
    if (out.failure == CopyFailure::None && out.bytes != record.entry.size) out.failure = CopyFailure::ShortRead;
    if (out.failure == CopyFailure::None) {
        const CPartFile::Fault fault = file.Commit();
        if (fault != CPartFile::Fault::None) {
            out.failure = fault == CPartFile::Fault::Rename ? CopyFailure::Rename : CopyFailure::Sync;
            out.error = file.Error();
        }
    }
    return out;
}

CopyFailure CDownloadJob::CopyAll(CCopySource& src, CPartFile& file, uint8_t* buffer, uint64_t& bytes) {
    for (;;) {
        const size_t n = src.Read(buffer, kChunkBytes);
        // The end of the source ends the copy even when a stop came during
        // that last, empty read: the copy is whole and is kept as such.
        if (n == 0) return CopyFailure::None;
        if (m_stop.load()) return CopyFailure::Stopped;  // a chunk read after the stop request is not written
        if (file.Write(buffer, n) != CPartFile::Fault::None) return CopyFailure::Write;
        bytes += n;
        m_copied.fetch_add(n);
    }
}
