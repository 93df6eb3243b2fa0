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
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
             t.minute, t.second);
    return text;
}

void use_zone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
}

class FakeClock : public ::testing::Test {
protected:
    void TearDown() override { pc_clock_use_real(); }
};

}  // namespace

TEST_F(FakeClock, MillisecondsCarryIntoSecondsAndAcrossMidnight) {
    pc_clock_set_fake({2009, 6, 14, 23, 59, 59}, 1000);
    pc_clock_advance_ms(900);  // 23:59:59.900
    EXPECT_EQ(show(pc_local_now()), "2009-06-14 23:59:59");
    pc_clock_advance_ms(200);  // 00:00:00.100 of the next day
    EXPECT_EQ(show(pc_local_now()), "2009-06-15 00:00:00");
    pc_clock_advance_ms(899);
    EXPECT_EQ(show(pc_local_now()), "2009-06-15 00:00:00");
    pc_clock_advance_ms(1);
    EXPECT_EQ(show(pc_local_now()), "2009-06-15 00:00:01");
    EXPECT_EQ(pc_tick_ms(), 1000u + 900 + 200 + 899 + 1);

    // The tick wraps at 2^32, and can be moved without the wall clock.
    pc_clock_set_tick(0xFFFFFF00u);
    pc_clock_advance_ms(0x200);
    EXPECT_EQ(pc_tick_ms(), 0x100u);
    pc_clock_set_tick(7);
    EXPECT_EQ(pc_tick_ms(), 7u);
    EXPECT_EQ(show(pc_local_now()), "2009-06-15 00:00:01");
}

TEST_F(FakeClock, MonthYearAndLeapDayCarries) {
    pc_clock_set_fake({2011, 12, 31, 23, 59, 59}, 0);
    pc_clock_advance_ms(1000);
    EXPECT_EQ(show(pc_local_now()), "2012-01-01 00:00:00");

    pc_clock_set_fake({2012, 2, 28, 23, 59, 59}, 0);
    pc_clock_advance_ms(1000);
    EXPECT_EQ(show(pc_local_now()), "2012-02-29 00:00:00");

    pc_clock_set_fake({2013, 2, 28, 12, 0, 0}, 0);
    pc_clock_advance_ms(12ull * 3600 * 1000);
    EXPECT_EQ(show(pc_local_now()), "2013-03-01 00:00:00");

    pc_clock_set_fake({2009, 1, 31, 8, 30, 0}, 0);
    pc_clock_advance_ms(366ull * 86400 * 1000);  // longer than the 32-bit tick
    EXPECT_EQ(show(pc_local_now()), "2010-02-01 08:30:00");
}

TEST_F(FakeClock, TimeNowReadsTheFakeFieldsInTheLocalZone) {
    pc_clock_set_fake({2009, 6, 14, 10, 0, 0}, 0);
    use_zone("XYZ-2");  // two hours ahead of UTC, no daylight saving
    EXPECT_EQ(pc_time_now(), 1244973600 - 7200);
    use_zone("UTC");  // the zone the suite runs in
    EXPECT_EQ(pc_time_now(), 1244973600);
}

TEST(RealClock, MovesOnItsOwn) {
    pc_clock_set_fake({2001, 1, 1, 0, 0, 0}, 5);
    pc_clock_use_real();
    EXPECT_FALSE(pc_clock_is_fake());

    uint32_t t0 = pc_tick_ms();
    usleep(30 * 1000);
    uint32_t elapsed = pc_tick_ms() - t0;
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 5000u);

    time_t now = time(nullptr);
    int64_t reported = pc_time_now();
    EXPECT_LE(std::llabs(reported - static_cast<int64_t>(now)), 2);
}
