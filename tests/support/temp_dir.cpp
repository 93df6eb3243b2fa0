#include "support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "DiskIOCtl.h"

TempDir::TempDir() {
    char tmpl[] = "/tmp/tarvik-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string TempDir::file(const std::string& name) const {
    return m_path + "/" + name;
}

TmpfsMount::TmpfsMount(const std::string& folder, const std::string& size) : m_folder(folder) {
    if (mount("tmpfs", folder.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) m_error = errno;
}

TmpfsMount::~TmpfsMount() {
    if (mounted() && umount2(m_folder.c_str(), MNT_DETACH) != 0)
        fprintf(stderr, "cannot unmount %s\n", m_folder.c_str());
}

std::string make_sparse_image(const std::string& path, uint64_t sectors) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + path);
    int rc = ftruncate(fd, static_cast<off_t>(sectors * IDE_SECTOR_SIZE));
    close(fd);
    if (rc != 0) throw std::runtime_error("cannot size " + path);
    return path;
}

uint64_t file_digest(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        ADD_FAILURE() << "cannot read " << path;
        return 0;
    }
    uint64_t hash = 14695981039346656037ull;
    unsigned char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) {
        for (size_t i = 0; i < got; i++) {
            hash ^= chunk[i];
            hash *= 1099511628211ull;
        }
    }
    fclose(f);
    return hash;
}

void use_disks(const std::vector<std::string>& paths, bool read_only) {
    ide_set_disk_paths(paths);
    ide_set_read_only(read_only);
    ide_clear_faults();
    ide_init();
}
