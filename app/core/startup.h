// Start-up of the storage library, shared by both front ends: the language
// file, the disks, the mount of every recorder partition and the host hooks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Disks are opened read-only unless a repair is asked for: what mounting
// repairs and what reading stores then stays in an in-memory overlay, so
// every search and copy sees the same recordings and the disk is untouched.
// Writing repairs into a damaged disk that is being copied can destroy what
// is left of it, and a disk is often evidence.
struct StartupOptions {
    std::vector<std::string> diskPaths;  // empty: the disk-access library's own choice
    bool repair = false;                 // store the repairs on the disks that can be written
};

// Sectors written to one disk: mounting repairs a volume that was left open,
// and opening a record whose header word is unset stores that word.
struct DiskWrite {
    int disk = 0;           // 0-based
    std::string path;
    uint64_t sectors = 0;
    bool keptInMemory = false;  // the disk is read-only: the writes went to the overlay
    int refused = 0;            // errno when a repair was asked for but the disk refused it
};

// Counts the writes to every disk from the moment it is made.
class CDiskWriteWatch {
public:
    CDiskWriteWatch();
    std::vector<DiskWrite> Writes() const;

private:
    std::vector<uint64_t> m_base;
};

struct StartupReport {
    int result = 0;                 // kx_file_sys_init's: 0, or 7 without a usable recorder partition
    int usableDrivers = 0;
    int diskCount = 0;
    std::vector<DiskWrite> repairs;  // what mounting wrote
    bool writeRefused = false;       // a repair was asked for, but a disk cannot be written
};

// Names the language file ("language.ini" in /etc/tarvik/, else in the
// program directory), configures and starts the disk-access library, sets the
// library's single-driver flag, mounts every partition (shutdown time 0) and
// installs three empty hooks.
// The library's messages go wherever its sink points at the time.
StartupReport InitLibrary(const StartupOptions& options);

// Number of disks the disk-access library found (0 when none).
int DiskCount();

// Makes the library's lock hooks take one process-wide mutex, for a host
// that calls the library from several threads (the mount's file system).
void UseLibraryMutex();
