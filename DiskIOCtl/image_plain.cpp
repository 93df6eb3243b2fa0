// A plain raw image file or a block device: the only kind that can be
// written (when the user allows it and the file permits it).
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "DiskIOCtl.h"
#include "disk_table.h"

namespace {

class plain_image : public ide_image {
public:
    plain_image(std::string path, int fd, bool writable, int refused, bool block, uint64_t size)
        : m_path(std::move(path)), m_fd(fd), m_refused(refused), m_writable(writable), m_block(block), m_size(size) {}
    ~plain_image() override { close(m_fd); }
    plain_image(const plain_image&) = delete;
    plain_image& operator=(const plain_image&) = delete;

    uint64_t size() const override { return m_size; }
    int read_at(uint64_t offset, void* buf, size_t bytes) override { return ide_pread_all(m_fd, buf, bytes, offset); }
    bool writable() const override { return m_writable; }
    int write_at(uint64_t offset, const void* buf, size_t bytes) override {
        return m_writable ? ide_pwrite_all(m_fd, buf, bytes, offset) : IDE_ERR_IO;
    }
    int write_refused() const override { return m_refused; }
    void hint_sequential(bool on) override {
        posix_fadvise(m_fd, 0, 0, on ? POSIX_FADV_SEQUENTIAL : POSIX_FADV_NORMAL);
    }
    std::string kind() const override { return m_block ? "block device" : "raw image"; }
    std::vector<std::string> files() const override { return {m_path}; }

private:
    std::string m_path;
    int m_fd;
    int m_refused;
    bool m_writable;
    bool m_block;
    uint64_t m_size;
};

// True when a block device is set read-only (a write blocker, a read-only
// loop device): it opens for writing, but every write fails.
bool device_read_only(int fd) {
    struct stat st;
    int ro = 0;
    return fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && ioctl(fd, BLKROGET, &ro) == 0 && ro != 0;
}

}  // namespace

std::unique_ptr<ide_image> ide_open_plain(const std::string& path, bool want_write, ide_open_error* error) {
    int fd = -1;
    int refused = 0;
    if (want_write) {
        fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0 && device_read_only(fd)) {
            close(fd);
            fd = -1;
            errno = EROFS;
        }
        if (fd < 0 && !ide_write_refusal(errno)) {
            *error = {IDE_OPEN_UNREADABLE, path + ": " + std::strerror(errno)};
            return nullptr;
        }
        if (fd < 0) refused = errno;
    }
    const bool writable = fd >= 0;
    if (fd < 0) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        *error = {IDE_OPEN_UNREADABLE, path + ": " + std::strerror(errno)};
        if (fd >= 0) close(fd);
        return nullptr;
    }
    uint64_t size = 0;
    if (S_ISREG(st.st_mode)) size = static_cast<uint64_t>(st.st_size);
    else if (!S_ISBLK(st.st_mode) || ioctl(fd, BLKGETSIZE64, &size) != 0) size = 0;
    return std::make_unique<plain_image>(path, fd, writable, refused, S_ISBLK(st.st_mode), size);
}
