// The volume descriptors and collision lists of both partitions and the
// partition table, patched by the input; then the start-up with its dumps,
// each partition's summary and its list of days.
#include "base.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz_layout& b = fuzz_base();
    fuzz_reset();
    fuzz_patch(data, size, {b.descriptor[0], b.descriptor[1], {30, 1}});
    fuzz_mount();
    for (int p = 0; p < 4; p++) {
        driver_info info;
        kx_get_driver_info(0, p, &info);
        fuzz_read_path("/mnt/idea" + std::to_string(p) + "/DVRWorkDirectory");
        fuzz_list("/mnt/idea" + std::to_string(p));
    }
    fuzz_end();
    return 0;
}
