// Local calendar fields to seconds since 1970-01-01 00:00 UTC, in the
// process's time zone, with one answer for every reading of a wall clock.
//
// The runtime's mktime leaves two cases to chance: a time that occurs twice
// (the hour repeated when summer time ends) gets whichever occurrence earlier
// conversions in the process made it guess, and a time that does not occur
// (the hour skipped when summer time begins, or a midnight that a zone skips)
// is moved by an amount it chooses. Here the caller says which occurrence of
// a repeated time it wants, and a time that does not occur becomes the first
// time after it that does.
#pragma once

#include <cstdint>

enum class Occurrence { Earlier, Later };

// Fields as in struct tm's meaning but counted naturally: year (full), month
// 1-12, day 1-31, hour, minute, second. False when the runtime cannot convert
// them.
bool pc_local_to_time(int year, int month, int day, int hour, int minute, int second, Occurrence which,
                      int64_t* out);
