// Mount-time recovery of the open partition: its descriptor, items, index
// and user-data ring patched by the input, and the shutdown time taken from
// the input's first four bytes (whose low byte also picks what is walked);
// then the repaired partition listed and read.
#include <cstring>

#include "base.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz_layout& b = fuzz_base();
    fuzz_reset();
    packed_time shutdown = 0;
    if (size >= 4) {
        memcpy(&shutdown, data, 4);
        data += 4;
        size -= 4;
    }
    fuzz_patch(data, size, {b.descriptor[1], b.dir[1], b.index[1], b.user_data[1], b.second_dir[1]});
    fuzz_mount(shutdown);
    fuzz_walk(1, (uint8_t)shutdown);
    fuzz_end();
    return 0;
}
