// The disk label: the input's first 512 bytes replace the head of the
// partition table sector (30), the next 512 the head of the signature
// sector (0). Then the table is read, the disk started (which re-initialises
// a disk whose label is not valid) and the partitions' roots listed.
#include <algorithm>

#include "base.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_reset();
    fuzz_put(30, 0, data, std::min<size_t>(size, 512));
    if (size > 512) fuzz_put(0, 0, data + 512, std::min<size_t>(size - 512, 512));
    kx_partition parts[4];
    kx_read_partitions(0, parts);
    fuzz_mount();
    fuzz_roots();
    fuzz_end();
    return 0;
}
