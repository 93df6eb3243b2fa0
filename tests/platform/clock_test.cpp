// The fake clock: the tick count and the wall clock move together, with every
// calendar carry; the real clock moves on its own.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/clock.h"

namespace {

std::string show(const pc_local_time& t) {
    char text[32];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
             t.second);
    return text;
}

}  // namespace

// Catches a lost millisecond carry, wrong month/year/leap-day carries and a
// 32-bit overflow of long advances.
TEST(FakeClock, AdvancesCarryThroughTheCalendar) {
    struct {
        pc_local_time from;
        uint64_t ms;
        const char* to;
    } rows[] = {
        {{2009, 6, 14, 23, 59, 59}, 999, "2009-06-14 23:59:59"},
        {{2009, 6, 14, 23, 59, 59}, 1000, "2009-06-15 00:00:00"},
        {{2011, 12, 31, 23, 59, 59}, 1000, "2012-01-01 00:00:00"},
        {{2012, 2, 28, 23, 59, 59}, 1000, "2012-02-29 00:00:00"},
        {{2013, 2, 28, 12, 0, 0}, 12ull * 3600 * 1000, "2013-03-01 00:00:00"},
        {{2009, 1, 31, 8, 30, 0}, 366ull * 86400 * 1000, "2010-02-01 08:30:00"},  // beyond the 32-bit tick
    };
    for (const auto& r : rows) {
        pc_clock_set_fake(r.from, 0);
        pc_clock_advance_ms(r.ms / 2);
        pc_clock_advance_ms(r.ms - r.ms / 2);  // halves: the remainders must carry
        EXPECT_EQ(show(pc_local_now()), r.to) << show(r.from) << " + " << r.ms;
    }
    pc_clock_use_real();
}

// Catches a tick that does not wrap at 2^32 or that drags the wall clock, and
// a wall clock read in the wrong zone.
TEST(FakeClock, TickWrapsAndTimeNowFollowsTheZone) {
    pc_clock_set_fake({2009, 6, 14, 10, 0, 0}, 0xFFFFFF00u);
    pc_clock_advance_ms(0x200);
    EXPECT_EQ(pc_tick_ms(), 0x100u);
    pc_clock_set_tick(7);
    EXPECT_EQ(pc_tick_ms(), 7u);
    EXPECT_EQ(show(pc_local_now()), "2009-06-14 10:00:00");
    setenv("TZ", "XYZ-2", 1);  // two hours ahead of UTC
    tzset();
    EXPECT_EQ(pc_time_now(), 1244973600 - 7200);
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(pc_time_now(), 1244973600);
    pc_clock_use_real();
}

// Catches the real clock staying frozen at the last fake value.
TEST(RealClock, MovesOnItsOwn) {
    pc_clock_set_fake({2001, 1, 1, 0, 0, 0}, 5);
    pc_clock_use_real();
    EXPECT_FALSE(pc_clock_is_fake());
    uint32_t t0 = pc_tick_ms();
    usleep(30 * 1000);
    uint32_t elapsed = pc_tick_ms() - t0;
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 5000u);
    EXPECT_LE(std::llabs(pc_time_now() - static_cast<int64_t>(time(nullptr))), 2);
}
