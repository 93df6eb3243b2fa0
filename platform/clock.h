// The PC's clock as the library and the application see it: the local wall
// clock (GetLocalTime on the recorder's PC) and a millisecond tick count
// (GetTickCount). Tests switch to a fake clock that they set and advance; the
// fake clock moves the tick count and the wall clock together.
#pragma once

#include <cstdint>

struct pc_local_time {
    int year;    // full year, e.g. 2009
    int month;   // 1-12
    int day;     // 1-31
    int hour;    // 0-23
    int minute;  // 0-59
    int second;  // 0-59
};

// Current local wall-clock time (fake when the fake clock is on).
pc_local_time pc_local_now(void);

// Milliseconds since an arbitrary start, wrapping at 2^32 (fake when on).
uint32_t pc_tick_ms(void);

// Seconds since 1970-01-01 00:00 UTC of "now": real time, or the fake wall
// clock interpreted in the process's local time zone.
int64_t pc_time_now(void);

// Fake clock for tests.
void pc_clock_set_fake(const pc_local_time& now, uint32_t tick_ms);
void pc_clock_advance_ms(uint64_t ms);   // moves tick and wall clock together
void pc_clock_set_tick(uint32_t tick_ms); // moves only the tick count
void pc_clock_use_real(void);
bool pc_clock_is_fake(void);
