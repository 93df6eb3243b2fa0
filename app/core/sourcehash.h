// Hashing a whole source disk, read-only, for the job report: SHA-256 of
// every byte it holds as it is on it (never the in-memory overlay), and for
// an E01 image the MD5 and SHA-1 it stores checked against its data.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "DiskIOCtl.h"

struct SourceHash {
    std::string sha256;        // lowercase hex; "" unless every byte was read
    std::string verification;  // an E01 image's stored hashes checked; "" for other kinds
    std::string error;         // why the hash is missing ("" when it is there)
};

// Reads the disk from its first byte to its last in 1 MiB steps, calling
// progress(bytes done, total) after each and giving up when stop() says so.
SourceHash HashSource(int disk, const std::function<void(uint64_t, uint64_t)>& progress,
                      const std::function<bool()>& stop);
