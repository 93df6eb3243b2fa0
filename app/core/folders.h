// PC-side folders: the program's own directory (where "language.ini" lies)
// and the creation of a download directory with every missing level.
#pragma once

#include <string>

struct ModulePath {
    std::string fullPath;   // the executable's full path
    std::string directory;  // the program directory, ending in "/"
    std::string fileName;   // the executable's name without its extension
    std::string extension;  // with its dot, or ""
};

// Filled on the first call and kept for the run.
const ModulePath& GetModulePath();

bool IsDirectory(const std::string& path);

// Creates path and every missing parent level; true when the directory exists
// at the end. A path shorter than 2 characters, a bare name without a
// separator, and one whose level exists as a file give false; the root "/"
// plays the part of a drive: it is never created, only tested. One trailing
// "/" is ignored. On failure *error (when given) holds the reason as an errno
// value: EACCES for a level that may not be written, EEXIST or ENOTDIR for a
// file in the way, EINVAL for a path of the wrong form.
bool MakeDirs(const std::string& path, int* error = nullptr);
