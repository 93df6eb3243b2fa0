#include "core/copy_engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "DiskIOCtl.h"
#include "core/copysource.h"
#include "core/digest.h"
#include "core/folders.h"
#include "core/language.h"
#include "core/partfile.h"

namespace {

constexpr size_t kSector = 512;

std::string with_errno(const char* what, int error) {
    return error != 0 ? std::string(what) + ": " + strerror(error) : std::string(what);
}

// Names from the recorder's disk become PC paths: a destination must stay
// inside the engine's folder (relative, no empty, "." or ".." level).
bool safe_relative_path(const std::string& path) {
    size_t start = 0;
    for (;;) {
        const size_t slash = path.find('/', start);
        const std::string level = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (level.empty() || level == "." || level == "..") return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

void append_range(std::vector<UnreadableRange>& ranges, uint64_t offset, uint64_t bytes) {
    if (!ranges.empty() && ranges.back().offset + ranges.back().bytes == offset) {
        ranges.back().bytes += bytes;
    } else {
        ranges.push_back({offset, bytes});
    }
}

// Every disk is read front to back while a job runs: the kernel may read
// further ahead.
void hint_sequential(bool on) {
    disk_info info{};
    const int disks = ide_getinfo64(&info);
    for (int d = 0; d < disks; d++) ide_hint_sequential(d, on);
}

}  // namespace

// ------------------------------------------------------------ results

uint64_t FileCopyResult::UnreadableSectors() const {
    uint64_t n = 0;
    for (const UnreadableRange& r : unreadable) n += r.bytes / kSector;
    return n;
}

std::string FileCopyResult::Status() const {
    if (skipped) return "skipped (already copied)";
    if (!Whole()) return DescribeFailure(*this, 0);
    if (unreadable.empty()) return "copied";
    return "copied with " + std::to_string(UnreadableSectors()) + " unreadable sectors";
}

std::string DescribeFailure(const FileCopyResult& o, uint64_t expected) {
    switch (o.failure) {
        case CopyFailure::None: return "";
        case CopyFailure::SourceOpen: return "the recording cannot be opened on the recorder's disk";
        case CopyFailure::DestinationCreate: return with_errno("the destination cannot be created", o.error);
        case CopyFailure::Taken: return Translate("being copied by another run");
        case CopyFailure::Write:
            return with_errno("writing the destination failed", o.error) + " after " + std::to_string(o.bytes) +
                   " bytes";
        case CopyFailure::ShortRead:
            return "reading stopped after " + std::to_string(o.bytes) +
                   (expected != 0 ? " of " + std::to_string(expected) : std::string()) + " bytes";
        case CopyFailure::Sync: return with_errno("the copy cannot be forced to the PC's disk", o.error);
        case CopyFailure::Rename: return with_errno("the copy cannot take its final name", o.error);
        case CopyFailure::Stopped: return "stopped after " + std::to_string(o.bytes) + " bytes";
        case CopyFailure::Manifest: return with_errno("the copy is whole but its manifest line cannot be written", o.error);
    }
    return "";
}

std::string DescribeRanges(const std::vector<UnreadableRange>& ranges) {
    std::string text = "bytes ";
    for (size_t i = 0; i < ranges.size(); i++) {
        if (i > 0) text += ", ";
        text += std::to_string(ranges[i].offset) + "-" + std::to_string(ranges[i].offset + ranges[i].bytes - 1);
    }
    return text;
}

// ------------------------------------------------------------ the ring

// Buffers pass from the reader to the writer and, when the copy is hashed,
// to the hasher at the same time; a buffer returns to the reader once both
// are done with it. A buffer the reader hands over holds `bytes` of the file
// from `offset` on; one with `end` set says that the reader has finished (the
// end of the file, a read that failed, or a stop).
struct CCopyEngine::Ring {
    struct Slot {
        uint8_t* data = nullptr;
        size_t bytes = 0;
        uint64_t offset = 0;
        bool end = false;
        int users = 0;  // the writer and the hasher, until each is done
        std::vector<UnreadableRange> unreadable;
    };

    Slot slots[kBuffers];
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Slot*> free, unwritten, unhashed;
    bool hashing = false;
    bool cancelled = false;

    ~Ring() {
        for (Slot& s : slots) std::free(s.data);
    }

    bool Allocate() {
        for (Slot& s : slots) {
            // Aligned so that the library may read the disk straight into it.
            s.data = static_cast<uint8_t*>(std::aligned_alloc(4096, kBufferBytes));
            if (s.data == nullptr) return false;
        }
        return true;
    }

    void Reset(bool hash) {
        std::lock_guard<std::mutex> lock(mutex);
        free.clear();
        unwritten.clear();
        unhashed.clear();
        for (Slot& s : slots) free.push_back(&s);
        hashing = hash;
        cancelled = false;
    }

    // The next buffer of a queue, in order; null once the writer has given up.
    Slot* Take(std::deque<Slot*>& queue) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this, &queue] { return cancelled || !queue.empty(); });
        if (cancelled) return nullptr;
        Slot* s = queue.front();
        queue.pop_front();
        return s;
    }
    void Publish(Slot* s) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            s->users = hashing ? 2 : 1;
            unwritten.push_back(s);
            if (hashing) unhashed.push_back(s);
        }
        changed.notify_all();
    }
    void Release(Slot* s) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (--s->users == 0) free.push_back(s);
        }
        changed.notify_all();
    }
    void Cancel() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            cancelled = true;
        }
        changed.notify_all();
    }
};

namespace {

// Reads `want` bytes sector by sector into dst after a read of them failed,
// so that a bad sector costs no more than itself. Without `fill` the bytes
// before the first sector that still fails are delivered and the copy ends
// there; with it, such a sector is left as zeros and listed. Returns the
// bytes delivered, fewer than `want` when the source cannot be followed past
// a sector (its cluster chain is broken there, or it ends).
size_t read_sector_by_sector(CCopySource& src, uint8_t* dst, size_t want, uint64_t offset, bool fill,
                             std::vector<UnreadableRange>& unreadable) {
    size_t done = 0;
    while (done < want) {
        if (src.ReadSector(dst + done)) {
            done += kSector;
            continue;
        }
        if (!fill || !src.SkipSector()) break;
        memset(dst + done, 0, kSector);
        append_range(unreadable, offset + done, kSector);
        done += kSector;
    }
    return done;
}

}  // namespace

// ------------------------------------------------------------ the engine

CCopyEngine::CCopyEngine(std::string folder, CopyOptions options, const std::atomic<bool>& stop,
                         std::atomic<uint64_t>& copied)
    : m_folder(std::move(folder)), m_options(options), m_stop(stop), m_copied(copied), m_manifest(m_folder) {
    while (m_folder.size() > 1 && m_folder.back() == '/') m_folder.pop_back();
    if (m_options.resume) m_listed = m_manifest.Read();
    auto ring = std::make_unique<Ring>();
    if (ring->Allocate()) m_ring = std::move(ring);
    hint_sequential(true);
}

CCopyEngine::~CCopyEngine() { hint_sequential(false); }

std::vector<FileCopyResult> CCopyEngine::CopyAll(const std::vector<CopyItem>& items) {
    std::vector<FileCopyResult> results;
    for (const CopyItem& item : items) {
        if (m_stop.load()) break;
        results.push_back(Copy(item));
    }
    return results;
}

// A resumed job leaves a copy alone when it has the listed size and its bytes,
// read again, give the hash of its manifest line. A copy listed with a note
// (sectors that could not be read) is made again: the disk may read them now.
bool CCopyEngine::AlreadyCopied(const std::string& relative, const std::string& path, uint64_t size) {
    const auto listed = m_listed.find(relative);
    if (!m_options.resume || listed == m_listed.end() || !listed->second.note.empty()) return false;
    struct stat st{};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != size) return false;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    CDigest hash;
    uint8_t* buffer = m_ring->slots[0].data;
    uint64_t total = 0;
    ssize_t n;
    while ((n = read(fd, buffer, kBufferBytes)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || m_stop.load()) break;
        hash.Update(buffer, static_cast<size_t>(n));
        total += static_cast<uint64_t>(n);
    }
    close(fd);
    return n == 0 && total == size && hash.Hex() == listed->second.sha256;
}

FileCopyResult CCopyEngine::Copy(const CopyItem& item) {
    FileCopyResult out;
    out.path = m_folder + "/" + item.destination;
    if (!Ready()) {
        out.failure = CopyFailure::Write;
        out.error = ENOMEM;
        return out;
    }
    const uint64_t size = item.source.entry.size;
    if (AlreadyCopied(item.destination, out.path, size)) {
        out.skipped = true;
        out.bytes = size;
        m_copied.fetch_add(size);
        return out;
    }
    if (!safe_relative_path(item.destination)) {
        out.failure = CopyFailure::DestinationCreate;
        out.error = EINVAL;
        return out;
    }
    CCopySource src(item.source);
    if (!src.IsOpen()) {
        out.failure = CopyFailure::SourceOpen;
        return out;
    }
    CPartFile file;
    if (!MakeDirs(out.path.substr(0, out.path.rfind('/')), &out.error)) {
        out.failure = CopyFailure::DestinationCreate;
        return out;
    }
    if (const CPartFile::Fault fault = file.Open(out.path); fault != CPartFile::Fault::None) {
        out.failure = fault == CPartFile::Fault::Taken ? CopyFailure::Taken : CopyFailure::DestinationCreate;
        out.error = file.Error();
        return out;
    }
    Pump(src, size, file, out);
    if (out.failure != CopyFailure::None) {
        out.sha256.clear();
        return out;
    }
    // The copy about to be replaced loses its line first: a crash between the
    // two steps then leaves a line missing, never a line that is wrong.
    if (access(out.path.c_str(), F_OK) == 0) m_manifest.Remove(item.destination);
    if (const CPartFile::Fault fault = file.Commit(); fault != CPartFile::Fault::None) {
        out.failure = fault == CPartFile::Fault::Rename ? CopyFailure::Rename : CopyFailure::Sync;
        out.error = file.Error();
        out.sha256.clear();
        return out;
    }
    if (m_options.manifest) {
        const std::string note = out.unreadable.empty() ? "" : out.Status() + " at " + DescribeRanges(out.unreadable);
        if (!m_manifest.Record(item.destination, {out.sha256, note})) {
            out.failure = CopyFailure::Manifest;
            out.error = errno;
        }
    }
    return out;
}

// Moves the source's `size` bytes into file through the ring and fills out's
// byte count, hash, unreadable ranges and failure.
void CCopyEngine::Pump(CCopySource& src, uint64_t size, CPartFile& file, FileCopyResult& out) {
    Ring& ring = *m_ring;
    const bool hashing = m_options.manifest;
    ring.Reset(hashing);
    const bool fill = m_options.fillUnreadable;
    std::thread reader([&ring, &src, fill, size, this] {
        uint64_t offset = 0;
        for (;;) {
            Ring::Slot* s = ring.Take(ring.free);
            if (s == nullptr) return;
            s->offset = offset;
            s->unreadable.clear();
            s->bytes = m_stop.load() ? 0 : src.Read(s->data, kBufferBytes);
            // A source ends with 0 both at its end and on a read error: the
            // listed size tells the two apart.
            if (s->bytes == 0 && offset < size && !m_stop.load()) {
                const uint64_t left = (size - offset + kSector - 1) / kSector * kSector;
                s->bytes = read_sector_by_sector(src, s->data, left < kBufferBytes ? left : kBufferBytes, offset,
                                                 fill, s->unreadable);
            }
            s->end = s->bytes == 0;
            offset += s->bytes;
            ring.Publish(s);
            if (s->end) return;
        }
    });
    // The hash runs in its own thread, beside the writes: SHA-256 is about as
    // fast as a copy between two fast disks, so hashing between the writes
    // (or the reads) would nearly halve the rate. It takes every buffer read,
    // in order; its digest is used only when every one of them was written.
    CDigest hash;
    std::thread hasher;
    if (hashing) {
        hasher = std::thread([&ring, &hash] {
            while (Ring::Slot* s = ring.Take(ring.unhashed)) {
                if (s->end) return;
                hash.Update(s->data, s->bytes);
                ring.Release(s);
            }
        });
    }

    bool ended = false;
    for (;;) {
        Ring::Slot* s = ring.Take(ring.unwritten);
        if (s->end) {
            ended = true;
            break;
        }
        // A buffer read after the stop request is not written, unless it
        // completes the copy (the stop came during the last read).
        if (m_stop.load() && out.bytes + s->bytes != size) {
            out.failure = CopyFailure::Stopped;
            break;
        }
        size_t written = 0;
        const CPartFile::Fault fault = file.Write(s->data, s->bytes, &written);
        out.bytes += written;
        m_copied.fetch_add(written);
        if (fault != CPartFile::Fault::None) {
            out.failure = CopyFailure::Write;
            out.error = file.Error();
            break;
        }
        for (const UnreadableRange& r : s->unreadable) append_range(out.unreadable, r.offset, r.bytes);
        file.WriteBehind(out.bytes);
        ring.Release(s);
    }
    // At the end of the source the reader has finished and the hasher
    // finishes what is left; else both are told to give up.
    if (!ended) ring.Cancel();
    reader.join();
    if (hasher.joinable()) hasher.join();
    if (out.failure == CopyFailure::None && out.bytes != size)
        out.failure = m_stop.load() ? CopyFailure::Stopped : CopyFailure::ShortRead;
    if (out.failure == CopyFailure::None && hashing) out.sha256 = hash.Hex();
}
