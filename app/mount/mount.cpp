// FUSE glue: every operation of the kernel's file system interface mapped
// onto the mount tree. Reads go straight into FUSE's buffer through one
// library call each (positional, under the library's lock); nothing is held
// while FUSE waits. Every operation that would change something answers
// EROFS, and the mount itself is read-only.
#define FUSE_USE_VERSION 35
#include "mount/mount.h"

#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "core/mounttree.h"
#include "core/startup.h"

namespace {

CMountTree* g_tree = nullptr;  // the tree served (one mount per process)

// Nothing changes while the mount lives: the kernel may keep names,
// attributes and file pages as long as it likes.
constexpr double kCacheSeconds = 86400;

// The files the kernel holds open, by handle. A close sends its release
// after close() has returned; a Ctrl-C just after it ends the loop before
// the release is served, and it never comes. What is left here when the
// loop ends is freed then.
std::mutex g_openLock;
std::map<uint64_t, std::unique_ptr<CSourceFile>> g_open;

void fill_stat(const CMountTree::Node& n, struct stat* st) {
    memset(st, 0, sizeof *st);
    st->st_mode = n.directory ? S_IFDIR | 0555 : S_IFREG | 0444;
    st->st_nlink = n.directory ? 2 : 1;
    st->st_size = static_cast<off_t>(n.size);
    st->st_blocks = static_cast<blkcnt_t>((n.size + 511) / 512);
    st->st_blksize = 1 << 20;
    st->st_mtim.tv_sec = st->st_ctim.tv_sec = st->st_atim.tv_sec = static_cast<time_t>(n.mtime);
    st->st_uid = getuid();
    st->st_gid = getgid();
}

// Reads of up to 1 MiB reach the library whole (its whole-cluster path).
constexpr unsigned kMaxRead = 1u << 20;

void* OnInit(fuse_conn_info* conn, fuse_config* cfg) {
    conn->max_read = kMaxRead;
    cfg->kernel_cache = 1;
    cfg->entry_timeout = cfg->attr_timeout = cfg->negative_timeout = kCacheSeconds;
    return nullptr;
}

int OnGetattr(const char* path, struct stat* st, fuse_file_info*) {
    CMountTree::Node n;
    const int r = g_tree->Lookup(path, &n);
    if (r == 0) fill_stat(n, st);
    return r;
}

int OnReaddir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, fuse_file_info*,
              fuse_readdir_flags) {
    std::vector<CMountTree::Node> entries;
    const int r = g_tree->List(path, &entries);
    if (r != 0) return r;
    filler(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    filler(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const CMountTree::Node& n : entries) {
        struct stat st;
        fill_stat(n, &st);
        if (filler(buf, n.name.c_str(), &st, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
    }
    return 0;
}

int OnOpen(const char* path, fuse_file_info* fi) {
    if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC) != 0) return -EROFS;
    std::unique_ptr<CSourceFile> file;
    const int r = g_tree->Open(path, &file);
    if (r != 0) return r;
    fi->fh = reinterpret_cast<uint64_t>(file.get());
    fi->keep_cache = 1;
    const std::lock_guard<std::mutex> hold(g_openLock);
    g_open[fi->fh] = std::move(file);
    return 0;
}

int OnRead(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
    if (offset < 0) return -EINVAL;
    if (size > INT_MAX) size = INT_MAX;
    const int64_t n = reinterpret_cast<CSourceFile*>(fi->fh)->Read(buf, size, static_cast<uint64_t>(offset));
    return n < 0 ? -EIO : static_cast<int>(n);
}

int OnRelease(const char*, fuse_file_info* fi) {
    const std::lock_guard<std::mutex> hold(g_openLock);
    g_open.erase(fi->fh);
    return 0;
}

int OnStatfs(const char*, struct statvfs* st) {
    memset(st, 0, sizeof *st);
    st->f_bsize = st->f_frsize = 512;
    st->f_namemax = 255;
    st->f_flag = ST_RDONLY;
    return 0;
}

// Every way of changing the tree.
int Refuse() {
    return -EROFS;
}
int OnPathOnly(const char*) {
    return Refuse();
}
int OnTwoPaths(const char*, const char*) {
    return Refuse();
}
int OnRename(const char*, const char*, unsigned) {
    return Refuse();
}
int OnMode(const char*, mode_t) {
    return Refuse();
}
int OnMknod(const char*, mode_t, dev_t) {
    return Refuse();
}
int OnChmod(const char*, mode_t, fuse_file_info*) {
    return Refuse();
}
int OnChown(const char*, uid_t, gid_t, fuse_file_info*) {
    return Refuse();
}
int OnTruncate(const char*, off_t, fuse_file_info*) {
    return Refuse();
}
int OnUtimens(const char*, const timespec*, fuse_file_info*) {
    return Refuse();
}
int OnCreate(const char*, mode_t, fuse_file_info*) {
    return Refuse();
}
int OnWrite(const char*, const char*, size_t, off_t, fuse_file_info*) {
    return Refuse();
}
int OnSetxattr(const char*, const char*, const char*, size_t, int) {
    return Refuse();
}
int OnRemovexattr(const char*, const char*) {
    return Refuse();
}
int OnFallocate(const char*, int, off_t, off_t, fuse_file_info*) {
    return Refuse();
}

fuse_operations Operations() {
    fuse_operations ops{};
    ops.init = OnInit;
    ops.getattr = OnGetattr;
    ops.readdir = OnReaddir;
    ops.open = OnOpen;
    ops.read = OnRead;
    ops.release = OnRelease;
    ops.statfs = OnStatfs;
    ops.mknod = OnMknod;
    ops.mkdir = OnMode;
    ops.unlink = OnPathOnly;
    ops.rmdir = OnPathOnly;
    ops.symlink = OnTwoPaths;
    ops.rename = OnRename;
    ops.link = OnTwoPaths;
    ops.chmod = OnChmod;
    ops.chown = OnChown;
    ops.truncate = OnTruncate;
    ops.utimens = OnUtimens;
    ops.create = OnCreate;
    ops.write = OnWrite;
    ops.setxattr = OnSetxattr;
    ops.removexattr = OnRemovexattr;
    ops.fallocate = OnFallocate;
    return ops;
}

// Why the mount point cannot take the mount, "" when it can.
std::string CheckMountPoint(const std::string& path) {
    struct stat here, parent;
    if (stat(path.c_str(), &here) != 0) return "the mount point " + path + " does not exist";
    if (!S_ISDIR(here.st_mode)) return "the mount point " + path + " is not a folder";
    if (stat((path + "/..").c_str(), &parent) == 0 &&
        (here.st_dev != parent.st_dev || here.st_ino == parent.st_ino))
        return "the mount point " + path + " is busy: something is mounted there already";
    return "";
}

}  // namespace

bool ServeMount(CMountTree& tree, const MountSettings& settings, std::string* why) {
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        *why = std::string("/dev/fuse cannot be opened (") + strerror(errno) +
               "): load the fuse module, or give the container the device";
        return false;
    }
    // The serving process leaves the working folder: the mount point must
    // be absolute for the unmount at its end.
    char* real = realpath(settings.mountPoint.c_str(), nullptr);
    const std::string mountPoint = real != nullptr ? real : settings.mountPoint;
    free(real);
    *why = CheckMountPoint(mountPoint);
    if (!why->empty()) return false;

    std::string options =
        "ro,fsname=tarvik,subtype=tarvik,default_permissions,max_read=" + std::to_string(kMaxRead);
    if (settings.allowOther) options += ",allow_other";
    const char* argv[] = {"tarvik", "-o", options.c_str()};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
    const fuse_operations ops = Operations();
    g_tree = &tree;
    fuse* fs = fuse_new(&args, &ops, sizeof ops, nullptr);
    // fuse_new copies what it keeps; the argument list it grew is ours to free.
    fuse_opt_free_args(&args);
    if (fs == nullptr) {
        *why = "FUSE refused the mount options";
        return false;
    }
    if (fuse_mount(fs, mountPoint.c_str()) != 0) {
        fuse_destroy(fs);
        *why = "the kernel or fusermount3 refused to mount at " + mountPoint;
        return false;
    }
    fuse_daemonize(settings.foreground ? 1 : 0);
    fuse_session* session = fuse_get_session(fs);
    // FUSE installs its handlers only over default ones.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    fuse_set_signal_handlers(session);
    UseLibraryMutex();
    fuse_loop_config loop{};
    loop.clone_fd = 0;
    loop.max_idle_threads = 10;
    fuse_loop_mt(fs, &loop);
    fuse_remove_signal_handlers(session);
    fuse_unmount(fs);
    fuse_destroy(fs);
    g_open.clear();
    g_tree = nullptr;
    return true;
}
