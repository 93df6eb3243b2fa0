// Inside of the disk-access library: one interface for every kind of disk
// image (a size and positional reads), with one small backend per kind. The
// rest of the library never knows which kind a disk is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class ide_image {
public:
    virtual ~ide_image() = default;
    // Bytes the image holds.
    virtual uint64_t size() const = 0;
    // Reads `bytes` bytes at `offset`: 0, or an IDE_ERR_* code when not every
    // byte could be had.
    virtual int read_at(uint64_t offset, void* buf, size_t bytes) = 0;
    // Only a plain file or block device opened for writing can be written;
    // every other image is read-only and its disk keeps writes in the overlay.
    virtual bool writable() const { return false; }
    virtual int write_at(uint64_t offset, const void* buf, size_t bytes);
    // The errno with which a disk the host asked to write refused it (a
    // write-protected device or file), else 0.
    virtual int write_refused() const { return 0; }
    // Tells the kernel that the disk is (or is no longer) read front to back.
    virtual void hint_sequential(bool) {}
    // What the image is, for reports ("block device", "raw image", ...), and
    // the files it is made of.
    virtual std::string kind() const = 0;
    virtual std::vector<std::string> files() const = 0;
    // Hashes the image stores of the data it holds (E01), as lowercase hex;
    // empty when it stores none.
    virtual std::string stored_md5() const { return {}; }
    virtual std::string stored_sha1() const { return {}; }
    // Chunks whose stored checksum did not match their data, so far.
    virtual uint32_t checksum_errors() const { return 0; }
};

// Why an image could not be opened: IDE_OPEN_UNREADABLE or IDE_OPEN_INCOMPLETE
// (from DiskIOCtl.h) and a message naming the file at fault.
struct ide_open_error {
    int code = 0;
    std::string message;
};

// Opens a path of any kind: an E01 set (by its signature), a split raw set
// (a first segment named NAME.000 or NAME.001), else a plain file or block
// device. `want_write` asks for a writable plain file; one that refuses is
// opened read-only. Null with `error` filled when it cannot be opened.
std::unique_ptr<ide_image> ide_open_image(const std::string& path, bool want_write, ide_open_error* error);

// The backends.
std::unique_ptr<ide_image> ide_open_plain(const std::string& path, bool want_write, ide_open_error* error);
std::unique_ptr<ide_image> ide_open_split(const std::string& first, ide_open_error* error);
std::unique_ptr<ide_image> ide_open_ewf(const std::string& path, ide_open_error* error);

// pread/pwrite until every byte has moved: a signal or a partial transfer
// continues, end of file or an error fails the whole transfer.
int ide_pread_all(int fd, void* buf, size_t bytes, uint64_t offset);
int ide_pwrite_all(int fd, const void* buf, size_t bytes, uint64_t offset);

// How one EWF segment file ends, found by walking its chain of sections from
// the file header: every segment but the last ends with a "next" section,
// the last with "done". A chain that leaves the file, runs backwards or
// never ends means the segment is truncated or damaged.
enum class ide_ewf_end { next, done, damaged };
struct ide_ewf_segment {
    ide_ewf_end end = ide_ewf_end::damaged;
    uint32_t number = 0;  // the segment's own number, from its file header
};
// `read(offset, buf, bytes)` reads from the segment file (0 on success) and
// `size` is its length in bytes.
ide_ewf_segment ide_ewf_check_segment(const std::function<int(uint64_t, void*, size_t)>& read, uint64_t size);
