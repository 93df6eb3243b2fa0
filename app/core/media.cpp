// The media pieces that need no media library: reading a recording's first
// bytes through the path adapter, and the MP4's name.
#include "core/media.h"

#include <algorithm>

#include "core/download.h"
#include "core/timevalue.h"

std::vector<uint8_t> ReadRecordingStart(const SearchResult& record) {
    std::vector<uint8_t> bytes(static_cast<size_t>(std::min<uint64_t>(record.entry.size, kProbeBytes)));
    KXFILE f = kx_fopen(CDownloadJob::SourcePath(record).c_str(), "rb");
    if (f == nullptr) return {};
    const size_t n = bytes.empty() ? 0 : kx_fread(bytes.data(), 1, bytes.size(), f);
    kx_fclose(f);
    bytes.resize(n);
    return bytes;
}

std::string ProbeRecording(const SearchResult& record) {
    const std::vector<uint8_t> start = ReadRecordingStart(record);
    return DescribeStream(start.data(), start.size());
}

std::string Mp4PathFor(const std::string& copyPath) {
    const size_t slash = copyPath.rfind('/');
    const size_t dot = copyPath.rfind('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExtension ? copyPath.substr(0, dot) : copyPath) + ".mp4";
}

void AddPlayableCopy(CopyOutcome& outcome, const std::atomic<bool>* stop) {
    const SearchResult& r = outcome.record;
    int64_t start = 0;
    try {
        start = MakeTimeValue({r.startYear, r.startMonth, r.startDay, r.startHour, r.startMinute, r.startSecond}, "start");
    } catch (const CalendarError&) {
        // Listed recordings have real dates; an MP4 without a creation time is still playable.
    }
    const std::string mp4 = Mp4PathFor(outcome.path);
    const RemuxResult result = RemuxToMp4(outcome.path, mp4, start, stop);
    outcome.mp4Path = result.written ? mp4 : "";
    outcome.mp4Notice = result.notice;
}
