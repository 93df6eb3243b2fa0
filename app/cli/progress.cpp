#include "progress.h"

#include <cstdio>

std::string HumanBytes(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        u++;
    }
    char buf[32];
    snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return buf;
}

void CProgressLine::Draw(uint64_t copied, uint64_t total) {
    if (!m_enabled) return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
    const double rate = seconds > 0 ? static_cast<double>(copied) / seconds : 0;
    const int percent = total ? static_cast<int>(static_cast<double>(copied) / static_cast<double>(total) * 100.0) : 0;
    char left[32] = "--:--";
    if (rate > 0 && total >= copied) {
        const long s = static_cast<long>(static_cast<double>(total - copied) / rate);
        snprintf(left, sizeof left, "%ld:%02ld", s / 60, s % 60);
    }
    fprintf(stderr, "\r\033[K%s / %s  %3d%%  %s/s  %s left", HumanBytes(static_cast<double>(copied)).c_str(),
            HumanBytes(static_cast<double>(total)).c_str(), percent > 100 ? 100 : percent, HumanBytes(rate).c_str(),
            left);
    fflush(stderr);
    m_drawn = true;
}

void CProgressLine::Clear() {
    if (m_drawn) fprintf(stderr, "\r\033[K");
    m_drawn = false;
}
