// When a long recording is split into records ("pack file").
//
// The recorder cuts a continuous stream into records of about one pack
// interval so that no single record grows without end. It prefers to cut on a
// round clock time (a whole hour for a 600-minute interval, every P minutes
// for an interval that divides the hour), but never before half an interval
// has passed and never later than one and a half intervals after the record
// was opened.
#include "file/file.h"
#include "kxtime.h"

// Milliseconds * 100: the pack interval in minutes is this setting / 6000.
uint32_t g_pack_setting = 3600000;

bool pack_due(uint32_t minutes, packed_time now) {
    const uint32_t p = g_pack_setting / 6000;
    // A setting below one minute means "never pack": every test below would
    // otherwise hold at once, or divide by zero.
    if (p == 0) return false;
    if (minutes >= p * 3 / 2) return true;
    if (pt_second(now) != 0) return false;

    const uint32_t minute = pt_minute(now);
    const bool divides_hour = p <= 60 && 60 % p == 0;
    const bool whole_hours = p > 60 && p % 60 == 0;
    if (minutes >= p / 2) {
        if (divides_hour && minute % p == 0) return true;
        if (whole_hours && minute == 0) return true;
    }
    // An interval with no round clock time to wait for cuts when it is over.
    return !divides_hour && !whole_hours && minutes >= p;
}
