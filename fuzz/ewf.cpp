// An EWF segment file: the input is the whole file, its chain of sections
// walked from the file header as opening an E01 set does before libewf sees
// it.
#include <cstring>

#include "image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto read = [&](uint64_t at, void* buf, size_t n) {
        if (at > size || n > size - at) return 1;
        std::memcpy(buf, data + at, n);
        return 0;
    };
    ide_ewf_check_segment(read, size);
    return 0;
}
