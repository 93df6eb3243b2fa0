// Time values of the application: signed 64-bit seconds since 1970-01-01
// 00:00 UTC, built from and broken into calendar fields in the PC's local
// time zone (the zone the recorder's clock and the user's pickers live in).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/localtime.h"

// A date and time of day that cannot form a time value. The command that met
// it is abandoned; the front end reports the text.
class CalendarError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct LocalDate {
    int year = 0, month = 0, day = 0;  // month 1-12, day 1-31
};

struct LocalDateTime {
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0;
};

// The time value of local calendar fields. Requires year >= 1900, month 1-12,
// day 1-31, hour 0-23, minute and second 0-59 (a day beyond the month's end
// rolls into the next month, as the runtime's conversion does); anything else
// throws CalendarError naming `what`. A time that the zone's clocks show
// twice is its earlier or later occurrence as `which` says; one they skip
// becomes the first time after it that exists.
int64_t MakeTimeValue(const LocalDateTime& t, const char* what, Occurrence which = Occurrence::Earlier);

// Local calendar fields of a time value; throws CalendarError when the value
// lies outside what the runtime can convert.
LocalDateTime BreakTimeValue(int64_t t);

// The date that follows a date (the calendar's, not 86,400 seconds on).
LocalDate NextDate(const LocalDate& d);

// 00:00:00 local time on t's local date, and on the date after it. Built from
// the calendar fields, so a day of 23 or 25 hours is still one step and the
// result never drifts off midnight.
int64_t LocalMidnight(int64_t t);
int64_t NextLocalMidnight(int64_t t);
// 00:00:00 local time on the date before t's local date.
int64_t PreviousLocalMidnight(int64_t t);

// "YYYY-MM-DD HH:MM:SS" of calendar fields.
std::string FormatDateTime(const LocalDateTime& t);
// Parses exactly "YYYY-MM-DD HH:MM:SS" into a time value (a repeated local
// time resolved as `which` says, a skipped one moved forward); false when the
// text has another shape or names a date or time that no calendar has (a 31
// April, a 25th hour).
bool ParseDateTime(const std::string& text, int64_t* out, Occurrence which = Occurrence::Earlier);
