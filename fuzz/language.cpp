// The language table: the input is the whole "language.ini"; texts of the
// application are looked up in it, and sections and keys the input names.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/language.h"
#include "platform/ini.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("language.ini", 0);
    static const std::string file = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size) abort();
    SetLanguageFile(file);
    for (const char* text : {"Message", "No record.", "Download Completely!", "", "Search"}) Translate(text);
    Translate(std::string(reinterpret_cast<const char*>(data), size < 300 ? size : 300));
    char buf[256];
    get_private_profile_string("language", "Message", "default", buf, sizeof buf, file.c_str());
    get_private_profile_string("", "", "", buf, 1, file.c_str());
    get_private_profile_string("language", "", nullptr, buf, 0, file.c_str());
    SetLanguageFile("");
    return 0;
}
