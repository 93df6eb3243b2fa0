// Virtual paths and record file names.
//
// A partition is the root "/mnt/ide%c%d" (disk letter from 'a', partition
// number); below it a day directory "YYYY-MM-DD", below that a channel
// directory "%03d" counted from 1, and in it the records, named
// "HH.MM.SS-HH.MM.SS[K][@cluster][seq].ext". Paths are taken apart from
// their end, one component at a time. Every component is read with a bounded
// pattern over the path's own characters: a component that is too long, too
// short or malformed simply does not match, whatever the path holds.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "adapt/adapt.h"
#include "kxtime.h"
#include "log.h"

namespace {

using sv = std::string_view;

// The component `back` places from the end of path (0 = the last one); false
// when the path has fewer components.
bool component_back(sv path, int back, sv* out) {
    size_t end = path.size();
    for (int k = 0;; k++) {
        const size_t slash = path.rfind('/', end == 0 ? 0 : end - 1);
        if (end == 0 || slash == sv::npos) return false;
        if (k == back) {
            *out = path.substr(slash + 1, end - slash - 1);
            return true;
        }
        end = slash;
    }
}

int digit_value(char c, int base) {
    if (c >= '0' && c <= '9') return c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads 1 to max_digits digits of the base from the front of s.
bool take_number(sv* s, int max_digits, int base, uint32_t* value) {
    uint64_t v = 0;
    int n = 0;
    while (n < (int)s->size() && digit_value((*s)[n], base) >= 0) {
        if (++n > max_digits) return false;
        v = v * base + digit_value((*s)[n - 1], base);
    }
    if (n == 0) return false;
    s->remove_prefix(n);
    *value = (uint32_t)v;
    return true;
}

bool take_char(sv* s, char c) {
    if (s->empty() || s->front() != c) return false;
    s->remove_prefix(1);
    return true;
}

// "ide" + disk letter + partition number 0-3, the whole component.
bool parse_root(sv c, int* disk, int* part) {
    if (c.size() < 5 || c.substr(0, 3) != "ide") return false;
    const unsigned letter = (unsigned char)c[3];
    if (letter < 'a' || letter >= 'a' + KX_MAX_DRIVERS) return false;
    c.remove_prefix(4);
    uint32_t p;
    if (!take_number(&c, 2, 10, &p) || !c.empty() || p > 3) return false;
    *disk = (int)(letter - 'a');
    *part = (int)p;
    return true;
}

// "YYYY-MM-DD" (numbers of 4, 1-2 and 1-2 digits), a date the packed time
// can hold.
bool parse_date(sv c, int* year, int* month, int* day) {
    uint32_t y, m, d;
    if (!take_number(&c, 4, 10, &y) || !take_char(&c, '-') || !take_number(&c, 2, 10, &m) ||
        !take_char(&c, '-') || !take_number(&c, 2, 10, &d) || !c.empty())
        return false;
    if (y < 2000 || y > 2063 || m < 1 || m > 12 || d < 1 || d > 31) return false;
    *year = (int)y;
    *month = (int)m;
    *day = (int)d;
    return true;
}

// Channel directory "%03d", counted from 1; the items hold channels 0-63.
bool parse_channel(sv c, uint8_t* channel) {
    uint32_t v;
    if (!take_number(&c, 3, 10, &v) || !c.empty() || v < 1 || v > 64) return false;
    *channel = (uint8_t)(v - 1);
    return true;
}

// "HH.MM.SS", fields of 1-2 digits (the packed time masks them).
bool parse_clock(sv* s, int* h, int* m, int* sec) {
    uint32_t a, b, c;
    if (!take_number(s, 2, 10, &a) || !take_char(s, '.') || !take_number(s, 2, 10, &b) ||
        !take_char(s, '.') || !take_number(s, 2, 10, &c))
        return false;
    *h = (int)a;
    *m = (int)b;
    *sec = (int)c;
    return true;
}

// take_bracket works on NUL-terminated text: it gets a bounded copy.
constexpr size_t NAME_REST_MAX = 128;
bool copy_rest(sv s, char (&rest)[NAME_REST_MAX]) {
    if (s.size() >= NAME_REST_MAX) return false;
    memcpy(rest, s.data(), s.size());
    rest[s.size()] = '\0';
    return true;
}

// The record kind a name's first bracket gives (0 when it has none).
uint8_t name_kind(sv name) {
    char rest[NAME_REST_MAX], letter[8];
    return copy_rest(name, rest) && take_bracket(rest, letter, sizeof letter)
               ? record_kind_from_letter(letter)
               : 0;
}

// "HH.MM.SS-HH.MM.SS[K][@cluster][seq].ext"
bool parse_record_name(sv name, record_path* out) {
    sv s = name;
    if (!parse_clock(&s, &out->start_hour, &out->start_minute, &out->start_second) || !take_char(&s, '-') ||
        !parse_clock(&s, &out->end_hour, &out->end_minute, &out->end_second))
        return false;
    char rest[NAME_REST_MAX], letter[8];
    if (!copy_rest(s, rest)) return false;
    const char* after = take_bracket(rest, letter, sizeof letter);
    if (after == nullptr) return false;
    s = sv(after);
    uint32_t seq;
    if (!take_char(&s, '[') || !take_char(&s, '@') || !take_number(&s, 8, 16, &out->cluster) ||
        !take_char(&s, ']') || !take_char(&s, '[') || !take_number(&s, 3, 10, &seq) || !take_char(&s, ']') ||
        !take_char(&s, '.'))
        return false;
    if (seq > 255 || s.empty() || s.size() >= sizeof out->ext) return false;
    out->seq = seq;
    out->record_kind = record_kind_from_letter(letter);
    memcpy(out->ext, s.data(), s.size());
    out->ext[s.size()] = '\0';
    return true;
}

}  // namespace

const char* take_bracket(const char* text, char* dest, size_t dest_size) {
    if (text == nullptr || dest == nullptr || dest_size == 0) return nullptr;
    const char* open = strchr(text, '[');
    if (open == nullptr) return nullptr;
    const char* close = strchr(open + 1, ']');
    if (close == nullptr) return nullptr;
    const size_t n = (size_t)(close - open - 1);
    if (n >= dest_size) return nullptr;
    memcpy(dest, open + 1, n);
    dest[n] = '\0';
    return close + 1;
}

const char* record_kind_letter(uint32_t record_kind) {
    switch (record_kind) {
        case 1:
            return "A";
        case 2:
            return "M";
        case 3:
            return "C";
        case 4:
            return "H";
        default:
            return "R";
    }
}

uint8_t record_kind_from_letter(const char* letter) {
    if (strcmp(letter, "A") == 0) return 1;
    if (strcmp(letter, "M") == 0) return 2;
    if (strcmp(letter, "C") == 0) return 3;
    if (strcmp(letter, "H") == 0) return 4;
    return 0;
}

int parse_record_path(const char* path, record_path* out) {
    *out = record_path{};
    if (path == nullptr) return PATH_BAD_DIRS;
    const sv p(path);
    sv name, chan, date, root;
    if (!component_back(p, 3, &root) || !parse_root(root, &out->disk, &out->part)) return PATH_BAD_DIRS;
    out->pdp = get_pdp(out->disk, out->part);
    if (!component_back(p, 0, &name) || !component_back(p, 1, &chan) || !component_back(p, 2, &date) ||
        !parse_channel(chan, &out->channel) || !parse_date(date, &out->year, &out->month, &out->day))
        return PATH_BAD_DIRS;
    if (!parse_record_name(name, out)) {
        out->record_kind = name_kind(name);
        return PATH_BAD_NAME;
    }
    out->start_time = make_packed_time(out->year, out->month, out->day, out->start_hour, out->start_minute,
                                       out->start_second);
    return PATH_MATCHED;
}

int parse_listing_path(const char* path, listing_path* out) {
    *out = listing_path{};
    if (path == nullptr) return 1;
    const char* ide = strstr(path, "/ide");
    if (ide == nullptr) return 1;
    sv from_root(ide);
    if (from_root.size() > 13) {
        sv chan, date, root;
        int year, month, day;
        if (!component_back(from_root, 1, &chan) || !component_back(from_root, 2, &date) ||
            !component_back(from_root, 3, &root))
            return 1;
        if (!parse_channel(chan, &out->channel) || !parse_date(date, &year, &month, &day) ||
            !parse_root(root, &out->disk, &out->part))
            return 1;
        out->channel_listing = true;
        out->day_key = make_date_key(year, month, day);
        return 0;
    }
    // A partition root, with or without a closing "/".
    from_root.remove_prefix(1);
    if (!from_root.empty() && from_root.back() == '/') from_root.remove_suffix(1);
    return parse_root(from_root, &out->disk, &out->part) ? 0 : 1;
}

int parse_root_back(const char* path, int back, int* disk, int* part) {
    sv root;
    if (path == nullptr || !component_back(sv(path), back, &root)) return 1;
    return parse_root(root, disk, part) ? 0 : 1;
}

int last_component(const char* path, char* dest, size_t dest_size) {
    sv name;
    if (path == nullptr || !component_back(sv(path), 0, &name)) return 1;
    if (name.empty() || name.size() >= dest_size) return 1;
    memcpy(dest, name.data(), name.size());
    dest[name.size()] = '\0';
    return 0;
}

void format_record_name(char* dest, size_t dest_size, const kx_dir_item* first, uint32_t first_clus) {
    const packed_time s = first->start_time;
    const packed_time e = first->end_time;
    snprintf(dest, dest_size, "%02d.%02d.%02d-%02d.%02d.%02d[%s][@%x][%d].%s", (int)pt_hour(s),
             (int)pt_minute(s), (int)pt_second(s), (int)pt_hour(e), (int)pt_minute(e), (int)pt_second(e),
             record_kind_letter(dir_item_record_kind(first)), first_clus, (int)first->same_second_seq,
             dir_item_media_type(first) != 0 ? "mvr" : "jpg");
}
