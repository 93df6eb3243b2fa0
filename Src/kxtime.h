// The recorder's packed local date-time and its conversions.
//
// packed_time, most significant field first, so that unsigned comparison
// orders by time: bits 31-26 year - 2000 (mod 64), 25-22 month, 21-17 day,
// 16-12 hour, 11-6 minute, 5-0 second. 0 means "not set".
#pragma once

#include <cstdint>

#include "kxfs.h"

inline uint32_t pt_year(packed_time t) { return t >> 26; }          // offset from 2000
inline uint32_t pt_month(packed_time t) { return (t >> 22) & 0xF; }
inline uint32_t pt_day(packed_time t) { return (t >> 17) & 0x1F; }
inline uint32_t pt_hour(packed_time t) { return (t >> 12) & 0x1F; }
inline uint32_t pt_minute(packed_time t) { return (t >> 6) & 0x3F; }
inline uint32_t pt_second(packed_time t) { return t & 0x3F; }

// Builds a packed time from calendar numbers (full year), each field masked
// to its width, the year taken modulo 64 from 2000.
packed_time make_packed_time(int year, int month, int day, int hour, int minute, int second);
// Date-only key of a day directory: hour, minute and second 0.
packed_time make_date_key(int year, int month, int day);

int is_leap_year(int y);
int32_t time_days(packed_time t);
int32_t time_seconds(packed_time t);   // seconds since 2000-01-01 00:00:00
int32_t time_diff(packed_time a, packed_time b);
packed_time seconds_to_time(int32_t s);
packed_time time_add(packed_time t, int32_t delta);
int time_cmp(uint32_t a, uint32_t b);
int time_is_zero(packed_time t);
void time_clear(packed_time* t);
void get_local_time(packed_time* t);
int time_to_calendar(const packed_time* t, calendar_time* c);
void print_time(packed_time t);
// The PC's 64-bit calendar time (seconds since 1970 UTC) of a local packed
// time: a repeated local time is its earlier occurrence, a skipped one the
// first time after it; -1 when it cannot be converted.
int64_t packed_to_time64(packed_time t);
