#include "core/folders.h"

#include <cerrno>

#include "platform/fs.h"

namespace {

ModulePath split_module_path(const std::string& full) {
    ModulePath m;
    m.fullPath = full;
    const size_t slash = full.rfind('/');
    m.directory = slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? full : full.substr(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        m.fileName = name;
    } else {
        m.fileName = name.substr(0, dot);
        m.extension = name.substr(dot);
    }
    return m;
}

bool root_exists(int* error) {
    if (IsDirectory("/")) return true;
    *error = ENOENT;
    return false;
}

}  // namespace

const ModulePath& GetModulePath() {
    static const ModulePath path = split_module_path(pc_module_file_name());
    return path;
}

bool IsDirectory(const std::string& path) { return pc_is_directory(path); }

bool MakeDirs(const std::string& path, int* error) {
    int ignored = 0;
    int& why = error ? *error : ignored;
    why = EINVAL;
    if (path.size() < 2) return false;
    std::string p = path;
    if (p.back() == '/') p.pop_back();
    // The root (all that is left of "//") is never created, only tested.
    if (p.empty() || p == "/") return root_exists(&why);
    if (IsDirectory(p)) return true;
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos) return false;
    // The parent of a level just below the root is the root itself, which
    // plays the part of a drive: it is tested, never created.
    if (slash == 0 ? !root_exists(&why) : !MakeDirs(p.substr(0, slash), &why)) return false;
    if (pc_create_directory(p)) return true;
    // A level that another process created meanwhile is as good as ours;
    // otherwise the reason is mkdir's (EACCES, EROFS, ENOSPC, ENOTDIR), which
    // the stat of the test must not overwrite.
    why = errno;
    return IsDirectory(p);
}
