// The media calls of core/media.h, answered by the media module when it loads
// and by "no media support, and why" when it does not (or when this build has
// no module at all). The module is loaded once, on the first call, and stays
// loaded for the life of the process.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "core/media/module.h"

namespace {

struct LoadedModule {
    const MediaModule* table = nullptr;
    std::string missing;  // why there is no table, for the user
};

#ifdef TARVIK_MEDIA_FROM_BINDIR
constexpr const char* kModuleName = "tarvik-media.so";

std::string ExecutableFolder() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    const std::string exe(path, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/'));
}

// Where the module is looked for: the file TARVIK_MEDIA_MODULE names, when
// set (a module kept elsewhere, such as the build tree's for programs built
// in its subfolders); else beside the program (a build tree), then in the
// installed module folder, found from the program's own (such as
// /usr/bin/../lib/tarvik), so that a package installed under another prefix
// than the build's still finds it.
std::vector<std::string> ModulePaths() {
    const char* named = getenv("TARVIK_MEDIA_MODULE");
    if (named != nullptr && *named != '\0') return {named};
    const std::string folder = ExecutableFolder();
    return {folder + "/" + kModuleName, folder + "/" TARVIK_MEDIA_FROM_BINDIR "/" + kModuleName};
}

// The table of the module at path, or null with the reason in failure.
const MediaModule* Open(const std::string& path, std::string* failure) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        *failure = dlerror();
        return nullptr;
    }
    using Entry = const MediaModule* (*)();
    const auto entry = reinterpret_cast<Entry>(dlsym(handle, kMediaModuleEntry));
    const MediaModule* table = entry != nullptr ? entry() : nullptr;
    if (table != nullptr && table->abi == kMediaModuleAbi) return table;
    dlclose(handle);
    *failure = path + ": not the media module of this tarvik";
    return nullptr;
}

LoadedModule Load() {
    LoadedModule loaded;
    std::string failures;
    for (const std::string& path : ModulePaths()) {
        std::string failure;
        loaded.table = Open(path, &failure);
        if (loaded.table != nullptr) return loaded;
        failures += (failures.empty() ? "" : "; ") + failure;
    }
    loaded.missing = "no media support (" + failures + ")";
    return loaded;
}
#else
LoadedModule Load() { return {nullptr, "this build of tarvik has no media support"}; }
#endif

const LoadedModule& Module() {
    static const LoadedModule loaded = Load();
    return loaded;
}

}  // namespace

bool MediaSupported() { return Module().table != nullptr; }

std::string MediaMissingReason() { return Module().missing; }

std::string DescribeStream(const uint8_t* data, size_t size) {
    const MediaModule* m = Module().table;
    return m != nullptr ? m->describe(data, size) : "unknown";
}

RemuxResult RemuxToMp4(const std::string& rawPath, const std::string& mp4Path, int64_t creationTime,
                       const std::atomic<bool>* stop) {
    if (const MediaModule* m = Module().table) return m->remux(rawPath, mp4Path, creationTime, stop);
    RemuxResult r;
    r.notice = Module().missing + ": no MP4";
    return r;
}

bool DecodePreview(const uint8_t* data, size_t size, int maxWidth, int maxHeight, PreviewImage* out) {
    const MediaModule* m = Module().table;
    return m != nullptr && m->preview(data, size, maxWidth, maxHeight, out);
}
