// The PC's clock: the monotonic millisecond tick and the local wall clock, or
// a fake clock that tests set and advance by hand.
//
// The fake wall clock is kept as "naive" seconds, the fields read as if they
// were UTC (timegm), plus a millisecond remainder. Advancing then is plain
// arithmetic with every carry (second, midnight, month end, leap day, year)
// done by gmtime_r, untouched by the process's time zone or daylight saving.
#include "platform/clock.h"

#include <time.h>

#include <mutex>

namespace {

std::mutex g_lock;  // the download worker reads the tick while the dialog runs
bool g_fake = false;
uint32_t g_fake_tick = 0;
int64_t g_fake_wall = 0;    // naive seconds of the fake local time
uint32_t g_fake_ms = 0;     // 0-999, milliseconds past g_fake_wall

pc_local_time fields_of(const struct tm& t) {
    return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

struct tm tm_of(const pc_local_time& t) {
    struct tm out{};
    out.tm_year = t.year - 1900;
    out.tm_mon = t.month - 1;
    out.tm_mday = t.day;
    out.tm_hour = t.hour;
    out.tm_min = t.minute;
    out.tm_sec = t.second;
    out.tm_isdst = -1;
    return out;
}

pc_local_time fake_fields() {
    time_t wall = static_cast<time_t>(g_fake_wall);
    struct tm t{};
    gmtime_r(&wall, &t);
    return fields_of(t);
}

}  // namespace

pc_local_time pc_local_now(void) {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (g_fake) return fake_fields();
    }
    time_t now = time(nullptr);
    struct tm t{};
    localtime_r(&now, &t);
    return fields_of(t);
}

uint32_t pc_tick_ms(void) {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (g_fake) return g_fake_tick;
    }
    struct timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);  // wraps at 2^32 like the PC's tick count
}

int64_t pc_time_now(void) {
    pc_local_time fields;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (!g_fake) return static_cast<int64_t>(time(nullptr));
        fields = fake_fields();
    }
    struct tm t = tm_of(fields);
    return static_cast<int64_t>(mktime(&t));
}

void pc_clock_set_fake(const pc_local_time& now, uint32_t tick_ms) {
    struct tm t = tm_of(now);
    t.tm_isdst = 0;
    std::lock_guard<std::mutex> hold(g_lock);
    g_fake = true;
    g_fake_tick = tick_ms;
    g_fake_wall = static_cast<int64_t>(timegm(&t));
    g_fake_ms = 0;
}

void pc_clock_advance_ms(uint64_t ms) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_fake_tick = static_cast<uint32_t>(g_fake_tick + ms);
    uint64_t total = g_fake_ms + ms;
    g_fake_wall += static_cast<int64_t>(total / 1000);
    g_fake_ms = static_cast<uint32_t>(total % 1000);
}

void pc_clock_set_tick(uint32_t tick_ms) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_fake_tick = tick_ms;
}

void pc_clock_use_real(void) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_fake = false;
}

bool pc_clock_is_fake(void) {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_fake;
}
