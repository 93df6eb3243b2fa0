// Temporary folders and disk images for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A fresh folder under /tmp (mkdtemp), removed with everything in it when the
// object goes out of scope.
class TempDir {
   public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    // Path of `name` inside the folder (nothing is created).
    std::string file(const std::string& name) const;

   private:
    std::string m_path;
};

// A tmpfs of `size` (mount's "size=" option, e.g. "2m") mounted on an
// existing folder for the life of the object: a test that fails half-way
// never leaves the mount behind. Mounting needs root; a test checks
// mounted() and skips without it (error() says why).
class TmpfsMount {
   public:
    TmpfsMount(const std::string& folder, const std::string& size);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    bool mounted() const { return m_error == 0; }
    int error() const { return m_error; }

   private:
    std::string m_folder;
    int m_error = 0;
};

// Creates (or truncates) a sparse file of `sectors` 512-byte sectors, all
// zero, and returns its path.
std::string make_sparse_image(const std::string& path, uint64_t sectors);

// 64-bit FNV-1a of a whole file's bytes, for "the file is unchanged" checks.
// Fails the current test (and returns 0) when the file cannot be read.
uint64_t file_digest(const std::string& path);

// Points the disk-access library at exactly these disks and starts it afresh:
// disk paths set, read-only mode as given, no injected faults, ide_init.
void use_disks(const std::vector<std::string>& paths, bool read_only = false);
