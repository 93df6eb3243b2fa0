// The PC-side file-system services of the application.
#include "platform/fs.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

std::string pc_module_file_name(void) {
    std::vector<char> buf(256);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return "";
        if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
        buf.resize(buf.size() * 2);  // the name may have been cut: try a larger buffer
    }
}

bool pc_is_directory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool pc_create_directory(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

namespace {

// The parent of a path that does not exist yet ("" when there is none).
std::string parent_of(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) return p == "." ? "" : ".";
    if (slash == 0) return p == "/" ? "" : "/";
    return p.substr(0, slash);
}

}  // namespace

bool pc_free_space(const std::string& path, uint64_t* free_bytes) {
    if (path.empty()) return false;
    std::string probe = path;
    struct statvfs vfs;
    while (statvfs(probe.c_str(), &vfs) != 0) {
        // The download folder is often created only when the copy starts: ask
        // the nearest level that exists, which is where it will be created.
        if (errno != ENOENT && errno != ENOTDIR) return false;
        probe = parent_of(probe);
        if (probe.empty()) return false;
    }
    // f_bavail, not f_bfree: f_bfree includes the blocks the file system keeps
    // back for root, which an ordinary user cannot fill. Counting them would
    // let a download start that then fails part-way with the disk full.
    if (free_bytes) *free_bytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    return true;
}

bool pc_write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}
