#include "core/timevalue.h"

#include <cstdio>
#include <ctime>

namespace {

bool in_range(int v, int lo, int hi) { return v >= lo && v <= hi; }

std::tm to_tm(const LocalDateTime& t) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;  // let the zone decide whether daylight saving applies
    return tm;
}

}  // namespace

int64_t MakeTimeValue(const LocalDateTime& t, const char* what, Occurrence which) {
    if (t.year < 1900 || !in_range(t.month, 1, 12) || !in_range(t.day, 1, 31) || !in_range(t.hour, 0, 23) ||
        !in_range(t.minute, 0, 59) || !in_range(t.second, 0, 59)) {
        throw CalendarError(std::string("invalid date or time ") + FormatDateTime(t) + " in " + what);
    }
    int64_t v = 0;
    if (!pc_local_to_time(t.year, t.month, t.day, t.hour, t.minute, t.second, which, &v)) {
        throw CalendarError(std::string("date or time ") + FormatDateTime(t) + " in " + what +
                            " cannot be converted");
    }
    return v;
}

LocalDateTime BreakTimeValue(int64_t t) {
    const time_t v = static_cast<time_t>(t);
    std::tm tm{};
    if (localtime_r(&v, &tm) == nullptr) throw CalendarError("time value " + std::to_string(t) + " cannot be converted");
    return LocalDateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

LocalDate NextDate(const LocalDate& d) {
    // Noon keeps the normalisation clear of any daylight-saving change.
    std::tm tm = to_tm(LocalDateTime{d.year, d.month, d.day + 1, 12, 0, 0});
    std::mktime(&tm);
    return LocalDate{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

int64_t LocalMidnight(int64_t t) {
    const LocalDateTime c = BreakTimeValue(t);
    return MakeTimeValue(LocalDateTime{c.year, c.month, c.day, 0, 0, 0}, "a day boundary");
}

int64_t NextLocalMidnight(int64_t t) {
    const LocalDateTime c = BreakTimeValue(t);
    const LocalDate next = NextDate(LocalDate{c.year, c.month, c.day});
    return MakeTimeValue(LocalDateTime{next.year, next.month, next.day, 0, 0, 0}, "a day boundary");
}

int64_t PreviousLocalMidnight(int64_t t) {
    // One second before t's midnight lies on the previous date.
    return LocalMidnight(LocalMidnight(t) - 1);
}

std::string FormatDateTime(const LocalDateTime& t) {
    char buf[64];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return buf;
}

bool ParseDateTime(const std::string& text, int64_t* out, Occurrence which) {
    LocalDateTime t;
    int used = 0;
    if (text.size() != 19 ||
        sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second,
               &used) != 6 ||
        used != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' || text[16] != ':') {
        return false;
    }
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18}) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    try {
        // A date that the calendar does not have (30 February) is not a date
        // the user can have meant; a time of day that the zone skips is, and
        // is taken to the first time after it.
        if (NextDate(LocalDate{t.year, t.month, t.day - 1}).day != t.day) return false;
        const int64_t v = MakeTimeValue(t, "the command line", which);
        *out = v;
        return true;
    } catch (const CalendarError&) {
        return false;
    }
}
