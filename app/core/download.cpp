#include "core/download.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/copysource.h"
#include "core/folders.h"
#include "core/language.h"
#include "kxfs.h"
#include "platform/fs.h"

namespace {

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};

// Writes all of data, resuming after interruptions and short writes.
bool write_all(int fd, const uint8_t* data, size_t size, int* error) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = errno;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

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
        case CopyFailure::Write: return with_errno("writing the destination failed", o.error);
        case CopyFailure::ShortRead:
            return "reading stopped after " + std::to_string(o.bytes) + " of " + std::to_string(o.record.entry.size) +
                   " bytes";
        case CopyFailure::Close: return with_errno("closing the destination failed", o.error);
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
    uint64_t freeBytes = 0;
    if (pc_free_space(folder, &freeBytes) && freeBytes < total) return StartResult::NoSpace;
    m_records = std::move(records);
    m_folder = folder;
    m_total = total;
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
        }
    } else {
        for (const SearchResult& r : m_records) m_outcomes.push_back(CopyOutcome{r, "", 0, CopyFailure::Write, ENOMEM});
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
    const std::string partial = out.path + ".part";
    if (!safe_file_name(record.entry.name)) {
        out.failure = CopyFailure::DestinationCreate;
        out.error = EINVAL;
        return out;
    }
    MakeDirs(folder);  // a level that cannot be made shows when the file is created
    CCopySource src(record);
    if (!src.IsOpen()) {
        out.failure = CopyFailure::SourceOpen;
        return out;
    }
    const int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        out.failure = CopyFailure::DestinationCreate;
        out.error = errno;
        return out;
    }
    for (;;) {
        const size_t n = src.Read(buffer, kChunkBytes);
        if (m_stop.load()) {  // a chunk read after the stop request is not written
            out.failure = CopyFailure::Stopped;
            break;
        }
        if (n == 0) break;
        if (!write_all(fd, buffer, n, &out.error)) {
            out.failure = CopyFailure::Write;
            break;
        }
        out.bytes += n;
        m_copied.fetch_add(n);
    }
    if (close(fd) != 0 && out.failure == CopyFailure::None) {
        out.failure = CopyFailure::Close;
        out.error = errno;
    }
    // A source ends with 0 both at its end and on a read error:
    // only the listed size tells a whole copy from one cut short.
    if (out.failure == CopyFailure::None && out.bytes != record.entry.size) out.failure = CopyFailure::ShortRead;
    if (out.failure == CopyFailure::None && rename(partial.c_str(), out.path.c_str()) != 0) {
        out.failure = CopyFailure::Rename;
        out.error = errno;
    }
    return out;
}
