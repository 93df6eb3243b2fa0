// The recorder's clock offset. A recorder's clock is often wrong by minutes
// or hours; the investigator reads it off the recorder's screen beside a true
// clock. The offset is true time minus the recorder's time, in seconds:
// windows the user gives are true times and are searched shifted back by it,
// and results show both times. What the recorder wrote (record names, the
// folders and names of the copies) stays in the recorder's time.
#pragma once

#include <cstdint>
#include <string>

#include "core/search.h"
#include "core/timevalue.h"

// "SECONDS" (an optional sign and digits) or "RECORDER_TIME=TRUE_TIME", two
// local times "YYYY-MM-DD HH:MM:SS". False when the text is neither, names a
// time that does not exist, or the offset exceeds 100 years.
bool ParseClockOffset(const std::string& text, int64_t* offset);

// "+1200 s (+00:20:00)", "-90061 s (-1 d 01:01:01)".
std::string DescribeClockOffset(int64_t offset);

// A result's real start and end as the recorder recorded them, and corrected
// by an offset. The corrected forms throw CalendarError when the recorder's
// fields do not form a time.
LocalDateTime RecorderStart(const SearchResult& r);
LocalDateTime RecorderEnd(const SearchResult& r);
LocalDateTime TrueTime(const LocalDateTime& recorder, int64_t offset);
