#include "core/clockoffset.h"

#include <cstdio>

namespace {

constexpr int64_t kMaxOffset = 100LL * 366 * 86400;

bool ParseSeconds(const std::string& text, int64_t* out) {
    size_t i = text[0] == '+' || text[0] == '-' ? 1 : 0;
    if (i == text.size() || text.size() - i > 10 || text.find_first_not_of("0123456789", i) != std::string::npos) {
        return false;
    }
    const int64_t magnitude = std::stoll(text.substr(i));
    if (magnitude > kMaxOffset) return false;
    *out = text[0] == '-' ? -magnitude : magnitude;
    return true;
}

}  // namespace

bool ParseClockOffset(const std::string& text, int64_t* offset) {
    if (text.empty()) return false;
    const size_t eq = text.find('=');
    if (eq == std::string::npos) return ParseSeconds(text, offset);
    int64_t recorder = 0, real = 0;
    if (!ParseDateTime(text.substr(0, eq), &recorder) || !ParseDateTime(text.substr(eq + 1), &real)) return false;
    if (real - recorder > kMaxOffset || recorder - real > kMaxOffset) return false;
    *offset = real - recorder;
    return true;
}

std::string DescribeClockOffset(int64_t offset) {
    const char sign = offset < 0 ? '-' : '+';
    const int64_t m = offset < 0 ? -offset : offset;
    const int64_t days = m / 86400, rest = m % 86400;
    char text[96];
    if (days > 0) {
        snprintf(text, sizeof text, "%c%lld s (%c%lld d %02lld:%02lld:%02lld)", sign, static_cast<long long>(m), sign,
                 static_cast<long long>(days), static_cast<long long>(rest / 3600),
                 static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    } else {
        snprintf(text, sizeof text, "%c%lld s (%c%02lld:%02lld:%02lld)", sign, static_cast<long long>(m), sign,
                 static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                 static_cast<long long>(rest % 60));
    }
    return text;
}

LocalDateTime RecorderStart(const SearchResult& r) {
    return {r.startYear, r.startMonth, r.startDay, r.startHour, r.startMinute, r.startSecond};
}

LocalDateTime RecorderEnd(const SearchResult& r) {
    return {r.endYear, r.endMonth, r.endDay, r.endHour, r.endMinute, r.endSecond};
}

LocalDateTime TrueTime(const LocalDateTime& recorder, int64_t offset) {
    return BreakTimeValue(MakeTimeValue(recorder, "a recording's time") + offset);
}
