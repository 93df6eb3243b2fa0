// The player area's directory: its first sector holds "PLAYER2.0", an entry
// count and up to 17 entries of a 20-byte name, a length in bytes and a byte
// offset from the start of the area. Lookups, new entries and the listing
// all read the entries the same way, so that every name listed opens.
#include <cstring>

#include "adapt/adapt.h"
#include "disk.h"

namespace {

constexpr uint32_t ENTRY_LENGTH_OFF = PLAYER_NAME_BYTES;
constexpr uint32_t ENTRY_OFFSET_OFF = PLAYER_NAME_BYTES + 4;

uint8_t* player_entry(uint8_t* dir, uint32_t i) {
    return dir + PLAYER_ENTRY_OFF + i * PLAYER_ENTRY_BYTES;
}

bool entry_named(const uint8_t* entry, const char* name) {
    return strncmp(reinterpret_cast<const char*>(entry), name, PLAYER_NAME_BYTES) == 0;
}

uint32_t entry_count(const uint8_t* dir) {
    const uint32_t n = get_le32(dir + PLAYER_COUNT_OFF);
    return n < PLAYER_MAX_ENTRIES ? n : PLAYER_MAX_ENTRIES;
}

// The extent of an entry, when it lies wholly inside the area.
bool entry_extent(const uint8_t* e, uint64_t area, uint32_t area_sectors, uint64_t* lba, uint64_t* length) {
    const uint64_t len = get_le32(e + ENTRY_LENGTH_OFF), off = get_le32(e + ENTRY_OFFSET_OFF);
    if (off / SECTOR_SIZE + (len + SECTOR_SIZE - 1) / SECTOR_SIZE > area_sectors) return false;
    *lba = area + off / SECTOR_SIZE;
    *length = len;
    return true;
}

}  // namespace

bool player_lookup(uint8_t* dir, const char* name, uint64_t area, uint32_t area_sectors, uint64_t* lba,
                   uint64_t* length) {
    for (uint32_t i = 0; i < entry_count(dir); i++) {
        const uint8_t* e = player_entry(dir, i);
        if (entry_named(e, name)) return entry_extent(e, area, area_sectors, lba, length);
    }
    return false;
}

bool player_add(uint8_t* dir, const char* name, uint64_t area, uint32_t area_sectors, uint64_t* lba) {
    uint32_t count = entry_count(dir);
    for (uint32_t i = 0; i < count; i++)
        if (entry_named(player_entry(dir, i), name)) count = 0;
    if (count >= PLAYER_MAX_ENTRIES) return false;
    uint64_t off = SECTOR_SIZE;
    if (count > 0) {
        const uint8_t* prev = player_entry(dir, count - 1);
        const uint64_t end = (uint64_t)get_le32(prev + ENTRY_OFFSET_OFF) + get_le32(prev + ENTRY_LENGTH_OFF);
        off = (end + SECTOR_SIZE) / SECTOR_SIZE * SECTOR_SIZE;
    }
    if (off / SECTOR_SIZE >= area_sectors) return false;
    uint8_t* e = player_entry(dir, count);
    memset(e, 0, PLAYER_ENTRY_BYTES);
    memcpy(e, name, strlen(name));
    put_le32(e + ENTRY_OFFSET_OFF, (uint32_t)off);
    put_le32(dir + PLAYER_COUNT_OFF, count + 1);
    *lba = area + off / SECTOR_SIZE;
    return true;
}

bool player_listed(uint8_t* dir, uint32_t i, uint32_t area_sectors, char name[PLAYER_NAME_BYTES + 1],
                   uint64_t* length) {
    if (i >= entry_count(dir)) return false;
    const uint8_t* e = player_entry(dir, i);
    if (memchr(e, 0, PLAYER_NAME_BYTES) == nullptr) return false;  // a path names at most 19 characters
    memcpy(name, e, PLAYER_NAME_BYTES);
    name[PLAYER_NAME_BYTES] = '\0';
    // The name must be one the open can find: not empty, no path separator,
    // nothing that the path grammar would take for another kind of file, and
    // the first entry of that name (the one a lookup finds).
    if (name[0] == '\0' || strchr(name, '/') != nullptr || strcmp(name, ".") == 0 ||
        strcmp(name, "..") == 0 || strstr(name, ".mvr") || strstr(name, ".jpg") || strstr(name, ".idx"))
        return false;
    for (uint32_t j = 0; j < i; j++)
        if (entry_named(player_entry(dir, j), name)) return false;
    uint64_t lba;
    return entry_extent(e, 0, area_sectors, &lba, length);
}
