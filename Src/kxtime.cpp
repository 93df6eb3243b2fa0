// The recorder's packed local date-time: day numbers, seconds, differences,
// the PC clock and the expanded calendar record. Plain arithmetic on local
// wall-clock values; no time zone enters except in packed_to_time64.
#include "kxtime.h"

#include "log.h"
#include "platform/clock.h"
#include "platform/localtime.h"

namespace {

// Days before each month of a common year, indexed by month 1-12.
const int32_t kDaysBeforeMonth[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

const int32_t kSecondsPerDay = 86400;
// The year field counts 64 years (2000-2063, 16 leap years among them); the
// packed form repeats after this many seconds.
const int64_t kCycleSeconds = (64LL * 365 + 16) * kSecondsPerDay;

uint32_t next_year(uint32_t y) {
    return (y + 1) & 63u;
}

packed_time pack_fields(uint32_t y, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute,
                        uint32_t second) {
    return ((y & 63u) << 26) | ((month & 15u) << 22) | ((day & 31u) << 17) | ((hour & 31u) << 12) |
           ((minute & 63u) << 6) | (second & 63u);
}

// Packed date of day d (0-365) of year offset y.
packed_time date_of_year_day(uint32_t y, int32_t d) {
    bool leap = is_leap_year((int)y);
    if (d == 365) return leap ? pack_fields(y, 12, 31, 0, 0, 0) : pack_fields(next_year(y), 1, 1, 0, 0, 0);
    uint32_t m = 1;
    for (;; m++) {
        if (m == 3 && leap) {
            if (d == 59) return pack_fields(y, 2, 29, 0, 0, 0);
            d -= 1;  // fold the leap day into February
        }
        if (m == 12 || d < kDaysBeforeMonth[m + 1]) break;
    }
    return pack_fields(y, m, (uint32_t)(d - kDaysBeforeMonth[m] + 1), 0, 0, 0);
}

}  // namespace

packed_time make_packed_time(int year, int month, int day, int hour, int minute, int second) {
    return pack_fields((uint32_t)(year - 2000), (uint32_t)month, (uint32_t)day, (uint32_t)hour,
                       (uint32_t)minute, (uint32_t)second);
}

packed_time make_date_key(int year, int month, int day) {
    return make_packed_time(year, month, day, 0, 0, 0);
}

// The Gregorian rule applied to the offset itself: offset 0 (2000) is a leap
// year, and within 0-63 the offsets agree with the calendar years.
int is_leap_year(int y) {
    return ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0) ? 1 : 0;
}

// Day number with 2000-01-01 as day 0. Month 0 counts as January, months
// 13-15 as December and day 0 as day 1; a day past the month's end counts on.
int32_t time_days(packed_time t) {
    int32_t y = (int32_t)pt_year(t);
    int32_t month = (int32_t)pt_month(t);
    int32_t day = (int32_t)pt_day(t);
    if (month == 0) month = 1;
    if (month > 12) month = 12;
    if (day == 0) day = 1;
    // The 1-based day together with y / 4 accounts for the leap day of 2000.
    int32_t days = kDaysBeforeMonth[month] + day + y / 4 + 365 * y;
    if (is_leap_year(y) && month < 3) days -= 1;
    return days;
}

// Never overflows: the largest fields (year 63, December 31, 31:63:63) stay
// below 2^31 seconds.
int32_t time_seconds(packed_time t) {
    return time_days(t) * kSecondsPerDay + (int32_t)pt_hour(t) * 3600 + (int32_t)pt_minute(t) * 60 +
           (int32_t)pt_second(t);
}

int32_t time_diff(packed_time a, packed_time b) {
    int32_t d = ((time_days(a) - time_days(b)) * 24 + (int32_t)pt_hour(a) - (int32_t)pt_hour(b)) * 60;
    d = (d + (int32_t)pt_minute(a) - (int32_t)pt_minute(b)) * 60;
    return d + (int32_t)pt_second(a) - (int32_t)pt_second(b);
}

// Walks whole years, then months. Seconds at or past the end of 2063 wrap to
// 2000 with the year field; a negative count wraps the other way (one second
// before 2000-01-01 00:00:00 is 2063-12-31 23:59:59).
packed_time seconds_to_time(int32_t s) {
    int64_t v = s % kCycleSeconds;
    if (v < 0) v += kCycleSeconds;
    int32_t d = (int32_t)(v / kSecondsPerDay);
    int32_t r = (int32_t)(v - (int64_t)d * kSecondsPerDay);
    uint32_t y = 0;
    while (d > 365) {
        if (is_leap_year((int)y)) d -= 1;
        y = next_year(y);
        d -= 365;
    }
    packed_time date = date_of_year_day(y, d);
    return date | pack_fields(0, 0, 0, (uint32_t)(r / 3600), (uint32_t)(r % 3600 / 60), (uint32_t)(r % 60));
}

// The sum is taken around the 64-year cycle (the remainder fits in 32 bits),
// so that a delta reaching past either end of the packed range wraps as the
// year field does.
packed_time time_add(packed_time t, int32_t delta) {
    return seconds_to_time((int32_t)(((int64_t)time_seconds(t) + delta) % kCycleSeconds));
}

int time_cmp(uint32_t a, uint32_t b) {
    if (a == b) return 0;
    return a > b ? 1 : -1;
}

int time_is_zero(packed_time t) {
    return t == 0 ? 1 : 0;
}

void time_clear(packed_time* t) {
    *t = 0;
}

void get_local_time(packed_time* t) {
    pc_local_time now = pc_local_now();
    *t = make_packed_time(now.year, now.month, now.day, now.hour, now.minute, now.second);
}

// An unset time expands to the default record 2000-01-01 00:00:00, reserved
// words included; otherwise the reserved words keep what the record held.
int time_to_calendar(const packed_time* t, calendar_time* c) {
    if (*t == 0) {
        *c = calendar_time{2000, 1, 1, 0, 0, 0, 0, 0};
        return c->year;
    }
    c->year = (int32_t)pt_year(*t) + 2000;
    c->month = (int32_t)pt_month(*t);
    c->day = (int32_t)pt_day(*t);
    c->hour = (int32_t)pt_hour(*t);
    c->minute = (int32_t)pt_minute(*t);
    c->second = (int32_t)pt_second(*t);
    return c->year;
}

// The year is printed as its raw offset from 2000.
void print_time(packed_time t) {
    kx_log("%4d-%2d-%2d %2d:%2d:%2d\n", (int)pt_year(t), (int)pt_month(t), (int)pt_day(t), (int)pt_hour(t),
           (int)pt_minute(t), (int)pt_second(t));
}

int64_t packed_to_time64(packed_time t) {
    // A stamp in the hour repeated when summer time ends is its earlier
    // occurrence, one in a skipped hour the first time after it: the same
    // answer whatever was converted before.
    int64_t v = 0;
    if (!pc_local_to_time((int)pt_year(t) + 2000, (int)pt_month(t), (int)pt_day(t), (int)pt_hour(t),
                          (int)pt_minute(t), (int)pt_second(t), Occurrence::Earlier, &v))
        return -1;
    return v;
}
