// The download's progress line on a terminal: bytes, percentage, rate and
// time left, redrawn in place on stderr.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class CProgressLine {
public:
    explicit CProgressLine(bool enabled) : m_enabled(enabled), m_started(std::chrono::steady_clock::now()) {}
    void Draw(uint64_t copied, uint64_t total);
    void Clear();

private:
    bool m_enabled;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_started;
};

// "512 KiB", "3.4 MiB", "1.2 GiB".
std::string HumanBytes(double bytes);
