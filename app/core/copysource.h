// Where the bytes of one copy come from: a recording through the path
// adapter, or a chain of orphaned footage through the storage library's
// chain reader (every data sector of its clusters, no record header).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/search.h"

class CCopySource {
   public:
    // Opens the source of record (which must outlive the source).
    explicit CCopySource(const SearchResult& record);
    ~CCopySource();
    CCopySource(const CCopySource&) = delete;
    CCopySource& operator=(const CCopySource&) = delete;

    bool IsOpen() const;
    // The next bytes, up to size (a whole number of sectors); 0 at the end
    // and on a failed read, which leaves the position where it was: only the
    // expected size tells the two apart.
    size_t Read(uint8_t* buffer, size_t size);
    // The next sector alone, into sector (512 bytes): false when it cannot
    // be read, the position then unchanged.
    bool ReadSector(uint8_t* sector);
    // Moves past the next sector without reading it; false when the source
    // cannot be followed past it (its end, or a broken chain of clusters).
    bool SkipSector();

   private:
    const SearchResult& m_record;
    KXFILE m_file = nullptr;  // a recording
    uint64_t m_sector = 0;    // a chain: the next sector to read
};
