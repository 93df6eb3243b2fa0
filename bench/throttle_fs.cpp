// A slow disk for the copy benchmark: a FUSE passthrough of a folder whose
// file reads are paced at one rate and writes at another, as a spinning
// recorder disk and a PC disk would deliver them. Each direction is served as
// one disk without a cache of its own would serve it: requests queue behind
// each other at the set rate, and the disk idles when none is queued.
// A file opened for reading is read through the kernel's page cache, as a
// block device is: the kernel reads ahead, with the same window for every
// program, and the cache is emptied at every open, so that every run reads
// its bytes through the pacing. Writes go straight to the daemon.
//
// Usage: bench_throttle_fs FOLDER MOUNTPOINT READ_MIB_S WRITE_MIB_S [FUSE options, e.g. -f]
#define FUSE_USE_VERSION 31
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One direction of the disk: a transfer of n bytes ends n / rate after the
// later of its arrival and the end of the transfer before it. The bytes are
// moved within that time, as a disk moves them while it reads or writes;
// `transfer` returns the bytes moved or -errno.
class Pace {
public:
    explicit Pace(double mibPerSecond) : m_bytesPerSecond(mibPerSecond * 1048576.0) {}
    template <class Transfer>
    ssize_t Serve(size_t bytes, Transfer transfer) {
        if (m_bytesPerSecond <= 0) return transfer();
        Clock::time_point done;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const Clock::time_point now = Clock::now();
            if (m_free < now) m_free = now;
            m_free += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(static_cast<double>(bytes) / m_bytesPerSecond));
            done = m_free;
        }
        const ssize_t n = transfer();
        std::this_thread::sleep_until(done);
        return n;
    }

private:
    double m_bytesPerSecond;
    std::mutex m_mutex;
    Clock::time_point m_free{};
};

std::string g_root;
Pace* g_reads = nullptr;
Pace* g_writes = nullptr;

std::string real(const char* path) { return g_root + path; }

int result(int r) { return r < 0 ? -errno : r; }

int fs_getattr(const char* path, struct stat* st, fuse_file_info*) { return result(lstat(real(path).c_str(), st)); }

int fs_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
    DIR* d = opendir(real(path).c_str());
    if (d == nullptr) return -errno;
    while (dirent* e = readdir(d)) {
        struct stat st{};
        st.st_ino = e->d_ino;
        st.st_mode = static_cast<mode_t>(e->d_type) << 12;
        fill(buf, e->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    closedir(d);
    return 0;
}

int fs_open(const char* path, fuse_file_info* fi) {
    const int fd = open(real(path).c_str(), fi->flags);
    if (fd < 0) return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    fi->direct_io = (fi->flags & O_ACCMODE) != O_RDONLY;
    fi->keep_cache = 0;
    return 0;
}

int fs_create(const char* path, mode_t mode, fuse_file_info* fi) {
    const int fd = open(real(path).c_str(), fi->flags, mode);
    if (fd < 0) return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    fi->direct_io = 1;  // written: every write reaches the pacing
    return 0;
}

int fs_read(const char*, char* buf, size_t size, off_t off, fuse_file_info* fi) {
    return static_cast<int>(g_reads->Serve(size, [&] {
        const ssize_t n = pread(static_cast<int>(fi->fh), buf, size, off);
        return n < 0 ? -errno : n;
    }));
}

int fs_write(const char*, const char* buf, size_t size, off_t off, fuse_file_info* fi) {
    return static_cast<int>(g_writes->Serve(size, [&] {
        const ssize_t n = pwrite(static_cast<int>(fi->fh), buf, size, off);
        return n < 0 ? -errno : n;
    }));
}

int fs_release(const char*, fuse_file_info* fi) { return result(close(static_cast<int>(fi->fh))); }
int fs_fsync(const char*, int datasync, fuse_file_info* fi) {
    const int fd = static_cast<int>(fi->fh);
    return result(datasync ? fdatasync(fd) : fsync(fd));
}
int fs_mkdir(const char* path, mode_t mode) { return result(mkdir(real(path).c_str(), mode)); }
int fs_unlink(const char* path) { return result(unlink(real(path).c_str())); }
int fs_rmdir(const char* path) { return result(rmdir(real(path).c_str())); }
int fs_rename(const char* from, const char* to, unsigned int flags) {
    if (flags != 0) return -EINVAL;
    return result(rename(real(from).c_str(), real(to).c_str()));
}
int fs_truncate(const char* path, off_t size, fuse_file_info* fi) {
    return result(fi != nullptr ? ftruncate(static_cast<int>(fi->fh), size) : truncate(real(path).c_str(), size));
}
int fs_statfs(const char* path, struct statvfs* st) { return result(statvfs(real(path).c_str(), st)); }
int fs_chmod(const char* path, mode_t mode, fuse_file_info*) { return result(chmod(real(path).c_str(), mode)); }
int fs_utimens(const char* path, const timespec tv[2], fuse_file_info*) {
    return result(utimensat(AT_FDCWD, real(path).c_str(), tv, AT_SYMLINK_NOFOLLOW));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: %s FOLDER MOUNTPOINT READ_MIB_S WRITE_MIB_S [FUSE options]\n", argv[0]);
        return 2;
    }
    char* root = realpath(argv[1], nullptr);
    if (root == nullptr) {
        perror(argv[1]);
        return 2;
    }
    g_root = root;
    free(root);
    Pace reads(atof(argv[3])), writes(atof(argv[4]));
    g_reads = &reads;
    g_writes = &writes;
    fuse_operations ops{};
    ops.getattr = fs_getattr;
    ops.readdir = fs_readdir;
    ops.open = fs_open;
    ops.create = fs_create;
    ops.read = fs_read;
    ops.write = fs_write;
    ops.release = fs_release;
    ops.fsync = fs_fsync;
    ops.mkdir = fs_mkdir;
    ops.unlink = fs_unlink;
    ops.rmdir = fs_rmdir;
    ops.rename = fs_rename;
    ops.truncate = fs_truncate;
    ops.statfs = fs_statfs;
    ops.chmod = fs_chmod;
    ops.utimens = fs_utimens;
    std::vector<char*> args = {argv[0], argv[2]};
    for (int i = 5; i < argc; i++) args.push_back(argv[i]);
    return fuse_main(static_cast<int>(args.size()), args.data(), &ops, nullptr);
}
