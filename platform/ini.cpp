// Private-profile (INI) lookup, as the application's language table uses it:
//
//   ; comment
//   [language]
//   Search = Suchen
//   Disk Name: = "Plattenname:"
//
// Section and key names are matched without regard to ASCII case; blanks
// around names and values are dropped; a value wrapped in a pair of double
// quotes loses them (so that a translation may keep leading or trailing
// blanks). The first matching key wins. The file is read anew at every call.
#include "platform/ini.h"

#include <cstring>
#include <fstream>
#include <string>

namespace {

std::string trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    size_t first = s.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

bool same_name(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; i++) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// The value of key in section, or false when the file, section or key is
// missing. An empty key never matches: a nameless entry is no entry.
bool find_value(const char* section, const char* key, const char* file, std::string* value) {
    if (!section || !key || !*key || !file) return false;
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::string line;
    bool in_section = false;
    bool first_line = true;
    while (std::getline(in, line)) {
        if (first_line && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);  // UTF-8 mark
        first_line = false;
        std::string text = trim(line);
        if (text.empty() || text[0] == ';') continue;
        if (text[0] == '[') {
            size_t close = text.find(']');
            in_section = close != std::string::npos && same_name(trim(text.substr(1, close - 1)), section);
            continue;
        }
        size_t equals = text.find('=');
        if (!in_section || equals == std::string::npos) continue;
        std::string name = trim(text.substr(0, equals));
        if (name.empty() || !same_name(name, key)) continue;
        std::string v = trim(text.substr(equals + 1));
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        *value = v;
        return true;
    }
    return false;
}

}  // namespace

uint32_t get_private_profile_string(const char* section, const char* key, const char* def,
                                    char* buf, uint32_t size, const char* file) {
    if (!buf || size == 0) return 0;
    std::string value;
    if (!find_value(section, key, file, &value)) value = def ? def : "";
    size_t n = value.size() < size - 1 ? value.size() : size - 1;
    std::memcpy(buf, value.data(), n);
    buf[n] = '\0';
    return static_cast<uint32_t>(n);
}
