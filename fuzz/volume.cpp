// The volume descriptors and collision lists of both partitions and the
// partition table, patched by the input; then the start-up with its dumps,
// each partition's summary, work area and list of days.
#include "base.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz_layout& b = fuzz_base();
    fuzz_reset();
    fuzz_patch(data, size, {b.descriptor[0], b.descriptor[1], {30, 1}});
    fuzz_mount();
    fuzz_roots();
    fuzz_end();
    return 0;
}
