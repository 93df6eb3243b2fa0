// The adapter's path grammar: each input line is an operation letter and a
// path ('r' open and read, 'w' open for writing, write and close, 'l' list,
// 'n' a listed name for the application's cluster reader). The names the
// adapter lists come back through the same grammar in every target's walk.
#include <cstring>
#include <string>

#include "base.h"
#include "core/search.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_reset();
    fuzz_mount();
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (size_t at = 0, n = 0; at < text.size() && n < 16; n++) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.empty()) continue;
        const std::string path = line.c_str() + 1;  // a NUL ends the path, as it does for the host
        switch (line[0]) {
            case 'r':
                fuzz_read_path(path);
                break;
            case 'w':
                if (KXFILE f = kx_fopen(path.c_str(), "wb")) {
                    kx_fwrite(path.data(), 1, path.size(), f);
                    kx_fseek(f, 0, SEEK_SET);
                    kx_fclose(f);
                }
                break;
            case 'l':
                fuzz_list(path);
                break;
            case 'n': {
                uint32_t cluster;
                RecordFirstCluster(path.c_str(), &cluster);
                break;
            }
        }
    }
    fuzz_end();
    return 0;
}
