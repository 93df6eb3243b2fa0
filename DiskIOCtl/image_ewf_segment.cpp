// Walking the sections of an EWF segment file: how it ends tells a whole set
// from one that lacks its tail or holds a truncated segment.
#include <cstring>

#include "image.h"

// File header: 8 bytes of signature, one byte, the segment number (16 bits,
// little-endian), two bytes. Each section begins with a 76-byte descriptor:
// its type (16 bytes, NUL-padded), the file offset of the next section
// (64 bits) and the section's size (64 bits), then padding and a checksum.
// "next" and "done" point at themselves.
ide_ewf_segment ide_ewf_check_segment(const std::function<int(uint64_t, void*, size_t)>& read, uint64_t size) {
    constexpr uint64_t k_header = 13, k_descriptor = 76;
    ide_ewf_segment result;
    unsigned char header[k_header];
    if (size < k_header || read(0, header, sizeof header) != 0) return result;
    result.number = header[9] | static_cast<uint32_t>(header[10]) << 8;
    uint64_t at = k_header;
    // Offsets only grow, so the walk ends after at most size / 76 steps.
    while (at <= size && size - at >= k_descriptor) {
        unsigned char d[k_descriptor];
        if (read(at, d, sizeof d) != 0) return result;
        uint64_t next = 0;
        for (int i = 7; i >= 0; i--) next = next << 8 | d[16 + i];
        const bool self = next == at;
        if (self && std::memcmp(d, "next\0", 5) == 0) result.end = ide_ewf_end::next;
        if (self && std::memcmp(d, "done\0", 5) == 0) result.end = ide_ewf_end::done;
        if (self || next < at + k_descriptor) return result;
        at = next;
    }
    return result;
}
