// Copies files off the recorder's disk at the speed of the slower of the two
// disks. A reader thread fills a small ring of large buffers from the
// recorder's disk while the calling thread writes each buffer to the PC and a
// hasher thread hashes it: the source disk never idles while the PC writes.
// The written pages are handed to the disk as the copy goes and then dropped
// from the page cache, so that a long job neither evicts everything else nor
// leaves a large write-back for the final data sync.
//
// Every copy is written to NAME.part (see CPartFile) and takes its final name
// only when it is whole (or whole but for unreadable sectors filled with
// zeros, when asked); its SHA-256 then goes into the folder's manifest. A stop takes effect
// within one buffer, and the byte counter counts only bytes written.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/manifest.h"
#include "core/search.h"

class CCopySource;
class CPartFile;

enum class CopyFailure {
    None,
    SourceOpen,         // the recording cannot be opened on the recorder's disk
    DestinationCreate,  // its folder or file cannot be created
    Taken,              // another run is copying it into the same file
    Write,              // writing failed (the disk is full, an I/O error)
    ShortRead,          // the recorder's disk gave fewer bytes than the recording holds
    Sync,               // the copy could not be forced to the PC's disk
    Rename,             // the whole copy could not take its final name
    Stopped,            // a stop was requested while it was copied
    Manifest,           // the copy is whole, but its manifest line could not be written
};

// Bytes of a copy that could not be read and hold zeros: [offset, offset + bytes).
struct UnreadableRange {
    uint64_t offset = 0;
    uint64_t bytes = 0;
};

// What became of one file.
struct FileCopyResult {
    std::string path;    // the final name; a failed copy's bytes are in path + ".part"
    uint64_t bytes = 0;  // bytes written (for a skipped copy: its size)
    CopyFailure failure = CopyFailure::None;
    int error = 0;       // errno of a failed PC file operation, else 0
    std::string sha256;  // of the copy's bytes, when it took its final name
    std::vector<UnreadableRange> unreadable;  // filled with zeros, in order
    bool skipped = false;  // a resumed job found it copied already

    bool Whole() const { return failure == CopyFailure::None; }
    uint64_t UnreadableSectors() const;
    // "copied", "copied with N unreadable sectors", "skipped (already copied)"
    // or the failure's description.
    std::string Status() const;
};

// A short description of a failure ("" for None); English, except the words
// that the dialog shows as they are (through the language table).
std::string DescribeFailure(const FileCopyResult& result, uint64_t expectedBytes);
// "bytes 1024-1535, 8192-9215" (inclusive ranges of the copy).
std::string DescribeRanges(const std::vector<UnreadableRange>& ranges);

struct CopyOptions {
    bool resume = false;          // skip a copy that exists and matches its manifest line
    bool fillUnreadable = false;  // zeros for sectors that cannot be read, instead of failing
    bool manifest = true;         // hash every copy into the folder's manifest
};

// One file to copy: a recording (or a chain of orphaned footage) with its
// listed size, and where it goes, relative to the engine's folder.
struct CopyItem {
    SearchResult source;
    std::string destination;
};

class CCopyEngine {
public:
    static constexpr size_t kBufferBytes = 4u << 20;
    static constexpr size_t kBuffers = 4;

    // stop and copied belong to the caller: a stop request from any thread,
    // and the running count of bytes written.
    CCopyEngine(std::string folder, CopyOptions options, const std::atomic<bool>& stop,
                std::atomic<uint64_t>& copied);
    ~CCopyEngine();
    CCopyEngine(const CCopyEngine&) = delete;
    CCopyEngine& operator=(const CCopyEngine&) = delete;

    // False when the buffers could not be had.
    bool Ready() const { return m_ring != nullptr; }

    // Copies one file. The storage library must be left alone meanwhile: the
    // engine's reader is its only user.
    FileCopyResult Copy(const CopyItem& item);
    // Copies a list in order, ending early after a stop request (the files
    // never reached are not listed).
    std::vector<FileCopyResult> CopyAll(const std::vector<CopyItem>& items);

private:
    struct Ring;
    bool AlreadyCopied(const std::string& relative, const std::string& path, uint64_t size);
    void Pump(CCopySource& src, uint64_t size, CPartFile& file, FileCopyResult& out);

    std::string m_folder;
    CopyOptions m_options;
    const std::atomic<bool>& m_stop;
    std::atomic<uint64_t>& m_copied;
    CManifest m_manifest;
    std::map<std::string, CManifest::Entry> m_listed;  // the manifest as it was when the engine started
    std::unique_ptr<Ring> m_ring;
};
