// Recorder disk images for the dialog's tests, made through the library
// itself: partition table, volume format, and recordings written through the
// path adapter's writing side with the fake PC clock standing at each
// recording's times, each stamped with its "KXII" header as a recorder does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SampleRecording {
    int part = 0;
    int channel = 1;  // from 1, as the channel directories
    int year = 2024, month = 3, day = 1, hour = 0, minute = 0, second = 0;
    int seconds = 60;       // duration
    uint32_t bytes = 8192;  // data after the header, whole KiB
};

// `count` recordings of channel 1 on partition 0 of 2024-03-01, ten minutes
// apart from 08:00, of 8 KiB, 9 KiB, 10 KiB, ...
std::vector<SampleRecording> SampleDay(int count);

// Makes (or replaces) a sparse image with `partitions` partitions of 32 MiB,
// each formatted with 64 KiB clusters, and lays the recordings out in the
// order given (their times must ascend per partition). Leaves the library
// started over the image and the fake clock on. False with a message when
// the library refused a step.
bool MakeSampleDisk(const std::string& image, int partitions, const std::vector<SampleRecording>& recordings,
                    std::string* error);

// The data byte at `offset` of a recording (a pattern that differs between
// recordings).
uint8_t SampleByte(const SampleRecording& r, uint64_t offset);

// The first absolute disk sector of a recording's data (after its header);
// false when the library does not list the recording. Needs the library
// started over the disk, as disk `disk`.
bool SampleDataSector(int disk, const SampleRecording& r, uint64_t* sector);
