// One file of the recorder's disk opened for reading at any offset: a
// recording, a player file or the log area through a path adapter handle, or
// a text made in memory (a partition's summary as JSON). Each read is one
// operation of the library under its lock; no seek position is shared
// between two readers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kxfs.h"

class CSourceFile {
   public:
    // Opens a virtual path of the adapter whose listed size is `size`. Null
    // when it cannot be opened, or when what opens is not `size` bytes long
    // (the recording under that name is no longer the one listed).
    static std::unique_ptr<CSourceFile> OpenPath(const std::string& adapterPath, uint64_t size);
    static std::unique_ptr<CSourceFile> FromText(std::string text);
    ~CSourceFile();
    CSourceFile(const CSourceFile&) = delete;
    CSourceFile& operator=(const CSourceFile&) = delete;

    uint64_t Size() const { return m_size; }
    // Up to n bytes at offset into buf: all n unless the file ends first (0
    // at or past its end); -1 when the disk could not give them.
    int64_t Read(void* buf, size_t n, uint64_t offset);

   private:
    CSourceFile() = default;

    KXFILE m_file = nullptr;
    std::string m_text;
    uint64_t m_size = 0;
};
