// The PC-side file-system services the application needs: the program's own
// path, directory tests and creation, and free space of a download folder.
#pragma once

#include <cstdint>
#include <string>

// Full path of the running executable (/proc/self/exe), "" if unknown.
std::string pc_module_file_name(void);

// True when path names an existing directory.
bool pc_is_directory(const std::string& path);

// Creates one directory level (mode 0777 minus umask); true on success.
bool pc_create_directory(const std::string& path);

// Free bytes of the file system that holds path, or its nearest existing
// parent (statvfs, bytes available to the caller). False when no such file
// system can be queried.
bool pc_free_space(const std::string& path, uint64_t* free_bytes);

// Writes all of text to fd (at its offset, or its end with O_APPEND),
// resuming after signals and short writes. False on an error.
bool pc_write_all(int fd, const std::string& text);
