// Packed local date-times: conversions against the C library's calendar, the
// wrap of the 64-year field, normalisation of unset fields, the PC clock.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <tuple>

#include "kxtime.h"
#include "platform/clock.h"

namespace {

int64_t utc_seconds(int year, int month, int day, int hour = 0) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    return (int64_t)timegm(&tm);
}

void use_zone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
}

const packed_time kFirst = make_packed_time(2000, 1, 1, 0, 0, 0);
const packed_time kLast = make_packed_time(2063, 12, 31, 23, 59, 59);

}  // namespace

// Every day of 2000-2063, each at another time of day, against timegm: the
// day number, the seconds, the way back (every leap-day branch of the walk),
// ordering, differences and the PC's 64-bit time.
TEST(Time, EveryDayAgreesWithTheCalendarAndConvertsBack) {
    use_zone("UTC");
    const int64_t epoch2000 = utc_seconds(2000, 1, 1);
    packed_time prev = 0;
    int32_t day = 0;
    for (int64_t noon = epoch2000 + 43200; noon < utc_seconds(2064, 1, 1); noon += 86400, day++) {
        time_t tt = (time_t)noon;
        struct tm tm;
        gmtime_r(&tt, &tm);
        int h = day % 24, mi = day * 7 % 60, s = day * 13 % 60;
        packed_time t = make_packed_time(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, h, mi, s);
        int64_t expect = noon - 43200 + h * 3600 + mi * 60 + s;
        ASSERT_EQ(std::make_tuple(day, expect - epoch2000, t, expect),
                  std::make_tuple(time_days(t), (int64_t)time_seconds(t), seconds_to_time(time_seconds(t)),
                                  packed_to_time64(t)));
        ASSERT_TRUE(!prev || (time_cmp(t, prev) == 1 &&
                              time_diff(t, prev) == (int32_t)(time_seconds(t) - time_seconds(prev))));
        prev = t;
    }
    EXPECT_EQ(day, 23376);
    EXPECT_EQ(time_seconds(kLast), 2019686399);
    EXPECT_EQ(seconds_to_time(0), (1u << 22) | (1u << 17));  // 2000-01-01 00:00:00 is not "unset"
}

// Mended: the year field counts modulo 64 both ways, and no delta overflows
// the sum (signed overflow before).
TEST(Time, YearFieldWrapsAfter2063) {
    EXPECT_EQ(time_add(kLast, 1), kFirst);
    EXPECT_EQ(time_add(kFirst, -1), kLast);
    EXPECT_EQ(seconds_to_time(-1), kLast);
    EXPECT_EQ(seconds_to_time(INT32_MIN), seconds_to_time((int32_t)(INT32_MIN + 2 * 2019686400LL)));
    const packed_time mid = make_packed_time(2063, 6, 1, 12, 0, 0);
    EXPECT_EQ(time_add(mid, 2019686400), mid);  // one whole cycle
    EXPECT_EQ(time_add(mid, INT32_MAX), time_add(mid, INT32_MAX - 2019686400));
    EXPECT_EQ(make_packed_time(2064, 1, 1, 0, 0, 0), kFirst);
    EXPECT_EQ(pt_year(make_date_key(1999, 12, 31)), 63u);
}

// Damaged fields: month 0 counts as January, 13-15 as December, day 0 as
// day 1, a day past the month's end counts on; unset times read as
// 2000-01-01 and compare unsigned.
TEST(Time, DamagedAndUnsetFieldsAreNormalised) {
    auto days = [](int y, int m, int d) { return time_days(make_date_key(y, m, d)); };
    EXPECT_EQ(days(2008, 0, 10), days(2008, 1, 10));
    for (int m = 13; m <= 15; m++) EXPECT_EQ(days(2005, m, 10), days(2005, 12, 10));
    EXPECT_EQ(days(2005, 6, 0), days(2005, 6, 1));
    EXPECT_EQ(days(2005, 2, 31), days(2005, 3, 3));
    EXPECT_EQ(time_cmp(0x80000000u, 1), 1);
    packed_time t = kLast;
    time_clear(&t);
    EXPECT_EQ(time_is_zero(t), 1);
    // An unset time fills every field; a set one leaves the reserved ones alone.
    for (auto [pt, want] : {std::pair{t, std::vector<int32_t>{2000, 1, 1, 0, 0, 0, 0, 0}},
                            {make_packed_time(2009, 11, 30, 22, 5, 9), {2009, 11, 30, 77, 22, 5, 9, 77}}}) {
        calendar_time c = {77, 77, 77, 77, 77, 77, 77, 77};
        EXPECT_EQ(want[0], time_to_calendar(&pt, &c));
        EXPECT_EQ(want, std::vector<int32_t>(
                            {c.year, c.month, c.day, c.resv1, c.hour, c.minute, c.second, c.resv2}));
    }
}

// Catches the PC's year not taken modulo 64 and the PC's 64-bit time
// ignoring the zone's daylight saving.
TEST(Time, PcClockYearAndDaylightSaving) {
    pc_clock_set_fake(pc_local_time{2070, 6, 15, 13, 45, 30}, 0);
    packed_time t;
    get_local_time(&t);
    pc_clock_use_real();
    EXPECT_EQ(t, make_packed_time(2006, 6, 15, 13, 45, 30));
    use_zone("CET-1CEST,M3.5.0,M10.5.0/3");
    int64_t summer = packed_to_time64(make_packed_time(2009, 7, 1, 12, 0, 0));
    int64_t winter = packed_to_time64(make_packed_time(2009, 1, 1, 12, 0, 0));
    use_zone("UTC");
    EXPECT_EQ(summer, utc_seconds(2009, 7, 1, 10));
    EXPECT_EQ(winter, utc_seconds(2009, 1, 1, 11));
}
