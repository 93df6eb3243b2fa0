// Start-up of the storage library, shared by both front ends: the language
// file, the disks, the mount of every recorder partition and the host hooks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct StartupOptions {
    std::vector<std::string> diskPaths;  // empty: the disk-access library's own choice
    bool readOnly = false;               // keep every write in memory, never on a disk
};

// Sectors written to one disk: mounting repairs a volume that was left open,
// and opening a record whose header word is unset stores that word.
struct DiskWrite {
    int disk = 0;           // 0-based
    std::string path;
    uint64_t sectors = 0;
    bool keptInMemory = false;  // the disk is read-only: the writes went to the overlay
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
