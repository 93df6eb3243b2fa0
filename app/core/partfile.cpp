#include "core/partfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// How often a run tries again when the NAME.part it opened was renamed away
// before it got the lock (another run finished it just then).
constexpr int kOpenAttempts = 3;

// True when fd is still the file that path names: the lock is only worth
// anything on the file that carries the name.
bool still_named(int fd, const std::string& path) {
    struct stat held, named;
    return fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Forces a folder's entries to disk, so that a rename in it survives a power
// cut. A file system that cannot sync folders says EINVAL; its entries are as
// safe as it makes them.
int sync_folder(const std::string& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int error = fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
    close(fd);
    return error;
}

}  // namespace

CPartFile::Fault CPartFile::Fail(Fault fault, int error) {
    m_error = error;
    return fault;
}

CPartFile::Fault CPartFile::Open(const std::string& finalPath) {
    Close();
    m_final = finalPath;
    m_part = finalPath + ".part";
    m_error = 0;
    for (int attempt = 0; attempt < kOpenAttempts; attempt++) {
        // No O_TRUNC: the file may be another run's copy in progress. It is
        // emptied only once the lock shows that nobody else writes it.
        const int fd = open(m_part.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) return Fail(Fault::Create, errno);
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(fd);
            return Fail(error == EWOULDBLOCK ? Fault::Taken : Fault::Create, error);
        }
        // Between our open and our lock another run may have renamed this
        // very file to its final name and let it go: it is a finished copy
        // now, and emptying it would destroy it. Open the name afresh.
        if (!still_named(fd, m_part)) {
            close(fd);
            continue;
        }
        if (ftruncate(fd, 0) != 0) {
            const int error = errno;
            close(fd);
            return Fail(Fault::Create, error);
        }
        m_fd = fd;
        m_started = m_dropped = 0;
        return Fault::None;
    }
    return Fail(Fault::Taken, EWOULDBLOCK);
}

CPartFile::Fault CPartFile::Write(const void* data, size_t size, size_t* written) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(m_fd, bytes + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (written != nullptr) *written = done;
            return Fail(Fault::Write, errno);
        }
        done += static_cast<size_t>(n);
    }
    if (written != nullptr) *written = done;
    return Fault::None;
}

void CPartFile::WriteBehind(uint64_t end) {
    if (end > m_started)
        sync_file_range(m_fd, static_cast<off_t>(m_started), static_cast<off_t>(end - m_started), SYNC_FILE_RANGE_WRITE);
    m_started = end > m_started ? end : m_started;
    if (end < m_dropped + kWriteBehindLag) return;
    const uint64_t upto = end - kWriteBehindLag;
    const off_t from = static_cast<off_t>(m_dropped), length = static_cast<off_t>(upto - m_dropped);
    sync_file_range(m_fd, from, length, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    posix_fadvise(m_fd, from, length, POSIX_FADV_DONTNEED);
    m_dropped = upto;
}

CPartFile::Fault CPartFile::Commit() {
    // The data first: a rename that reaches the disk before the data would
    // leave a final-named file with holes after a power cut. fdatasync also
    // reports a write-back error that the writes themselves could not see.
    if (fdatasync(m_fd) != 0) return Fail(Fault::Sync, errno);
    // Renamed while the lock is held: no other run can have emptied or
    // written the file in between.
    if (rename(m_part.c_str(), m_final.c_str()) != 0) return Fail(Fault::Rename, errno);
    const int error = sync_folder(folder_of(m_final));
    Close();
    return error == 0 ? Fault::None : Fail(Fault::Sync, error);
}

void CPartFile::Close() {
    if (m_fd >= 0) close(m_fd);  // gives the lock back
    m_fd = -1;
}
