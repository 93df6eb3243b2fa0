#include "platform/localtime.h"

#include <ctime>
#include <initializer_list>

namespace {

// The fields counted as if they were UTC: a number that orders wall-clock
// readings without any zone.
int64_t naive(const std::tm& t) {
    std::tm copy = t;
    return static_cast<int64_t>(timegm(&copy));
}

int64_t naive_at(time_t v) {
    std::tm t{};
    localtime_r(&v, &t);
    return naive(t);
}

// mktime with the daylight-saving flag forced: an instant, or -1.
time_t convert(const std::tm& fields, int isdst) {
    std::tm t = fields;
    t.tm_isdst = isdst;
    t.tm_wday = -1;
    const time_t v = mktime(&t);
    return v == (time_t)-1 && t.tm_wday == -1 ? (time_t)-1 : v;
}

}  // namespace

bool pc_local_to_time(int year, int month, int day, int hour, int minute, int second, Occurrence which,
                      int64_t* out) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    // A day past the month's end rolls into the next month, as mktime does.
    const int64_t want = naive(fields);

    // Each reading of the flag gives an instant; those that the zone really
    // shows as the wanted fields are its occurrences.
    bool found = false;
    time_t best = 0, lo = 0, hi = 0;
    int tried = 0;
    for (int isdst : {0, 1}) {
        const time_t v = convert(fields, isdst);
        if (v == (time_t)-1) continue;
        lo = tried == 0 || v < lo ? v : lo;
        hi = tried == 0 || v > hi ? v : hi;
        tried++;
        if (naive_at(v) != want) continue;
        if (!found || (which == Occurrence::Earlier ? v < best : v > best)) best = v;
        found = true;
    }
    if (!found) {
        if (tried == 0) return false;
        // Not shown by the zone's clocks: a gap. The change lies between the
        // two readings (or within a few hours of the one there is); the
        // first instant whose clock reads later than the wanted time is the
        // first existing time after it.
        lo -= 6 * 3600;
        hi += 6 * 3600;
        while (lo + 1 < hi) {
            const time_t mid = lo + (hi - lo) / 2;
            (naive_at(mid) > want ? hi : lo) = mid;
        }
        best = hi;
    }
    *out = static_cast<int64_t>(best);
    return true;
}
