// Packed local date-times: conversions against the PC's calendar, the wrap of
// the 64-year field, normalisation of unset fields, the PC clock.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>

#include "kxtime.h"
#include "platform/clock.h"
#include "support/log_capture.h"

namespace {

// Runs a test body in a given time zone and restores the previous one.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        const char* old = getenv("TZ");
        m_had = old != nullptr;
        if (m_had) m_old = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (m_had)
            setenv("TZ", m_old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_had = false;
    std::string m_old;
};

int64_t utc_seconds(int year, int month, int day, int hour, int minute, int second) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return (int64_t)timegm(&tm);
}

int days_in_month(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

const packed_time kLastSecond = make_packed_time(2063, 12, 31, 23, 59, 59);
const packed_time kFirstSecond = make_packed_time(2000, 1, 1, 0, 0, 0);

}  // namespace

// Every day of the packed range, each with a different time of day, against
// the C library's calendar: day numbers, seconds, the way back, ordering and
// the PC's 64-bit time.
TEST(Time, EveryDayAgreesWithTheCalendarAndConvertsBack) {
    ScopedTimeZone utc("UTC");
    const int64_t epoch2000 = utc_seconds(2000, 1, 1, 0, 0, 0);
    int32_t day_index = 0;
    packed_time prev = 0;
    int checked = 0;
    for (int y = 2000; y <= 2063; y++) {
        for (int m = 1; m <= 12; m++) {
            for (int d = 1; d <= days_in_month(y, m); d++, day_index++) {
                int h = day_index % 24, mi = (day_index * 7) % 60, s = (day_index * 13) % 60;
                packed_time t = make_packed_time(y, m, d, h, mi, s);
                int64_t expect = utc_seconds(y, m, d, h, mi, s) - epoch2000;
                ASSERT_EQ(time_days(t), day_index) << y << "-" << m << "-" << d;
                ASSERT_EQ(time_seconds(t), expect) << y << "-" << m << "-" << d;
                ASSERT_EQ(seconds_to_time(time_seconds(t)), t) << y << "-" << m << "-" << d;
                ASSERT_EQ(packed_to_time64(t), expect + epoch2000) << y << "-" << m << "-" << d;
                if (prev) {
                    ASSERT_EQ(time_cmp(t, prev), 1);
                    ASSERT_EQ(time_diff(t, prev), time_seconds(t) - time_seconds(prev));
                    ASSERT_EQ(time_diff(prev, t), -time_diff(t, prev));
                }
                prev = t;
                checked++;
            }
        }
    }
    EXPECT_EQ(checked, 23376);
    EXPECT_EQ(time_seconds(kLastSecond), 2019686399);
}

TEST(Time, KnownDayNumbersAndSeconds) {
    EXPECT_EQ(time_days(make_date_key(2000, 1, 1)), 0);
    EXPECT_EQ(time_days(make_date_key(2000, 3, 1)), 60);
    EXPECT_EQ(time_days(make_date_key(2001, 1, 1)), 366);
    EXPECT_EQ(time_days(make_date_key(2004, 1, 1)), 1461);
    // 2000-01-01 00:00:00 is not the unset value 0.
    EXPECT_EQ(seconds_to_time(0), (1u << 22) | (1u << 17));
    EXPECT_EQ(seconds_to_time(86399), make_packed_time(2000, 1, 1, 23, 59, 59));
    // Day 59 of a year: February 29 in a leap year, March 1 otherwise; day 365:
    // December 31 in a leap year, January 1 of the next year otherwise.
    const int32_t day = 86400;
    EXPECT_EQ(seconds_to_time(59 * day), make_date_key(2000, 2, 29));
    EXPECT_EQ(seconds_to_time((366 + 59) * day), make_date_key(2001, 3, 1));
    EXPECT_EQ(seconds_to_time(365 * day), make_date_key(2000, 12, 31));
    EXPECT_EQ(seconds_to_time((366 + 365) * day), make_date_key(2002, 1, 1));
}

// The year field counts modulo 64 in both directions, and no sum of a time
// and a delta overflows, however large the delta.
TEST(Time, YearFieldWrapsAfter2063) {
    EXPECT_EQ(time_add(kLastSecond, 1), kFirstSecond);
    EXPECT_EQ(seconds_to_time(2019686400), kFirstSecond);
    EXPECT_EQ(time_add(kFirstSecond, -1), kLastSecond);
    EXPECT_EQ(seconds_to_time(-1), kLastSecond);
    const packed_time mid = make_packed_time(2063, 6, 1, 12, 0, 0);
    EXPECT_EQ(time_add(mid, 2019686400), mid);  // one whole cycle
    EXPECT_EQ(time_add(mid, INT32_MAX), time_add(mid, INT32_MAX - 2019686400));
    EXPECT_EQ(time_add(make_packed_time(2009, 2, 28, 23, 59, 30), 31), make_packed_time(2009, 3, 1, 0, 0, 1));
    EXPECT_EQ(time_add(make_packed_time(2008, 3, 1, 0, 0, 0), -1), make_packed_time(2008, 2, 29, 23, 59, 59));
    EXPECT_EQ(make_packed_time(2064, 1, 1, 0, 0, 0), kFirstSecond);
    EXPECT_EQ(make_packed_time(1999, 12, 31, 0, 0, 0) >> 26, 63u);
}

// Unset or out-of-range month and day fields count as the nearest real ones;
// a day beyond the month's end counts on into the next month.
TEST(Time, DayNumberNormalisesMonthAndDay) {
    EXPECT_EQ(time_days(make_date_key(2005, 0, 10)), time_days(make_date_key(2005, 1, 10)));
    for (int m = 13; m <= 15; m++)
        EXPECT_EQ(time_days(make_date_key(2005, m, 10)), time_days(make_date_key(2005, 12, 10))) << m;
    EXPECT_EQ(time_days(make_date_key(2005, 6, 0)), time_days(make_date_key(2005, 6, 1)));
    EXPECT_EQ(time_days(make_date_key(2005, 2, 31)), time_days(make_date_key(2005, 3, 3)));
    // Month 0 of a leap year still drops the leap day not yet reached.
    EXPECT_EQ(time_days(make_date_key(2008, 0, 1)), time_days(make_date_key(2008, 1, 1)));
    EXPECT_EQ(time_diff(make_date_key(2005, 0, 0), make_date_key(2005, 1, 1)), 0);
}

TEST(Time, ComparisonAndUnsetTimes) {
    EXPECT_EQ(time_cmp(5, 5), 0);
    EXPECT_EQ(time_cmp(0x80000000u, 1), 1);  // unsigned: a 2032 time is later
    EXPECT_EQ(time_cmp(1, 0x80000000u), -1);
    packed_time t = kLastSecond;
    EXPECT_EQ(time_is_zero(t), 0);
    time_clear(&t);
    EXPECT_EQ(t, 0u);
    EXPECT_EQ(time_is_zero(t), 1);
}

// An unset time expands to the whole default record; a set one leaves the
// record's reserved words as they were.
TEST(Time, CalendarRecord) {
    calendar_time c;
    c = calendar_time{77, 77, 77, 77, 77, 77, 77, 77};
    packed_time zero = 0;
    EXPECT_EQ(time_to_calendar(&zero, &c), 2000);
    EXPECT_EQ(c.year, 2000);
    EXPECT_EQ(c.month, 1);
    EXPECT_EQ(c.day, 1);
    EXPECT_EQ(c.resv1, 0);
    EXPECT_EQ(c.hour, 0);
    EXPECT_EQ(c.minute, 0);
    EXPECT_EQ(c.second, 0);
    EXPECT_EQ(c.resv2, 0);

    c = calendar_time{77, 77, 77, 77, 77, 77, 77, 77};
    packed_time t = make_packed_time(2009, 11, 30, 22, 5, 9);
    EXPECT_EQ(time_to_calendar(&t, &c), 2009);
    EXPECT_EQ(c.month, 11);
    EXPECT_EQ(c.day, 30);
    EXPECT_EQ(c.hour, 22);
    EXPECT_EQ(c.minute, 5);
    EXPECT_EQ(c.second, 9);
    EXPECT_EQ(c.resv1, 77);
    EXPECT_EQ(c.resv2, 77);
}

// The PC clock enters with its year taken modulo 64; the diagnostic line shows
// the raw year offset.
TEST(Time, PcClockAndDiagnosticLine) {
    pc_clock_set_fake(pc_local_time{2009, 6, 15, 13, 45, 30}, 0);
    packed_time t;
    get_local_time(&t);
    EXPECT_EQ(t, make_packed_time(2009, 6, 15, 13, 45, 30));
    pc_clock_set_fake(pc_local_time{2070, 1, 2, 3, 4, 5}, 0);
    get_local_time(&t);
    EXPECT_EQ(pt_year(t), 6u);
    EXPECT_EQ(pt_day(t), 2u);
    pc_clock_use_real();

    LogCapture log;
    print_time(make_packed_time(2009, 6, 5, 7, 8, 9));
    EXPECT_EQ(log.text(), "   9- 6- 5  7: 8: 9\n");
}

// The PC's 64-bit time of a local packed time follows the PC's time zone,
// daylight saving included.
TEST(Time, PcTimeFollowsDaylightSaving) {
    ScopedTimeZone cet("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(packed_to_time64(make_packed_time(2009, 7, 1, 12, 0, 0)), utc_seconds(2009, 7, 1, 10, 0, 0));
    EXPECT_EQ(packed_to_time64(make_packed_time(2009, 1, 1, 12, 0, 0)), utc_seconds(2009, 1, 1, 11, 0, 0));
}
