// Private-profile (INI) lookup with the contract of the PC's
// GetPrivateProfileStringA: the value of `key` in `[section]` of `file`, or
// `def` when the file, the section or the key is missing; the result is
// NUL-terminated and cut to size - 1 characters. Returns the length copied.
#pragma once

#include <cstdint>

uint32_t get_private_profile_string(const char* section, const char* key, const char* def,
                                    char* buf, uint32_t size, const char* file);
