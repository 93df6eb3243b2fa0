// What a recording's stream is, a playable copy of it, and a glance at it.
//
// The recorder's file system does not say which codec or container the bytes
// after a record's "KXII" header hold; a maintained media library is asked
// instead. Everything here only reads: the exact copy stays the copy, and an
// MP4 is written beside it, never in its place. The work is done by FFmpeg's
// libraries in a module loaded on the first call; without the module (or in a
// build without those libraries) every call says the support is missing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/search.h"

// Bytes read from the start of a recording to recognise its stream: a few
// seconds of standard-definition video, the first key frame included.
constexpr size_t kProbeBytes = 1u << 20;

// False when the media module is missing or cannot be loaded, or in a build
// without the media libraries; MediaMissingReason then says which, for the user.
bool MediaSupported();
std::string MediaMissingReason();

// "mpeg-ps h264 704x576" (container, first video codec, size), or "unknown"
// for bytes that no format claims with confidence.
std::string DescribeStream(const uint8_t* data, size_t size);

// The first kProbeBytes after the header of a found recording, read through
// the path adapter (the caller holds the storage library); empty when the
// recording cannot be read.
std::vector<uint8_t> ReadRecordingStart(const SearchResult& record);

// DescribeStream of a found recording's first bytes.
std::string ProbeRecording(const SearchResult& record);

struct RemuxResult {
    bool written = false;       // the MP4 exists under its final name
    bool constantRate = false;  // the stream has no timestamps: frames at a constant rate
    int64_t frames = 0;         // video frames written
    std::string notice;         // one line for the user when not written, or a rate note
};

// Copies the packets of the raw stream at rawPath, without re-encoding, into
// an MP4 at mp4Path (written as mp4Path + ".part", renamed when whole), with
// creationTime (seconds since 1970 UTC) as its creation time. A stream that
// is not recognised, or that breaks off before the end of the file, gives no
// MP4 and a notice.
// A stop request (when stop is given) ends it the same way.
RemuxResult RemuxToMp4(const std::string& rawPath, const std::string& mp4Path, int64_t creationTime,
                       const std::atomic<bool>* stop = nullptr);

// The MP4 name beside an exact copy: ".mp4" in place of the record's ".mvr".
std::string Mp4PathFor(const std::string& copyPath);

struct CopyOutcome;
// Remuxes a whole copy into the MP4 beside it, with the recording's real
// start as its creation time, and notes the result in the outcome.
// A stop request ends the remux (no MP4).
void AddPlayableCopy(CopyOutcome& outcome, const std::atomic<bool>* stop = nullptr);

// One picture: RGB, 3 bytes per pixel, rows packed.
struct PreviewImage {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

// Decodes the first picture of a stream's bytes and scales it to fit
// maxWidth x maxHeight, keeping its shape; false when no picture decodes.
// Pure computation: safe on any thread.
bool DecodePreview(const uint8_t* data, size_t size, int maxWidth, int maxHeight, PreviewImage* out);
