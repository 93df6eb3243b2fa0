// The job report: what a download copied, from where, and how it ended, for
// an investigator to keep beside the copies. Each job appends to two files
// at the top of its download folder:
//   tarvik-report.jsonl  one JSON object for the job, then one per recording
//   tarvik-report.csv    one row per recording (a header row first)
// Every line carries the job's id. A job's lines are appended under an
// exclusive lock on the JSON file, so that two runs into one folder never
// interleave.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DiskIOCtl.h"
#include "core/download.h"

// A source disk of the job.
struct ReportSource {
    int disk = 0;  // 0-based
    ide_source source;
    // With a whole-source hash: its SHA-256 ("" when not hashed), and what
    // checking an E01 image's stored hashes found ("" when there was none).
    std::string sha256;
    std::string verification;
};

struct ReportJob {
    std::string id;                   // NewJobId()
    std::string program;              // "tarvik" or "tarvik-gui"
    std::string settings;             // the command line, or the dialog's settings
    std::vector<ReportSource> sources;
    int64_t start = 0, end = 0;       // time values (the report gives them in UTC)
    int64_t clockOffset = 0;          // true time minus the recorder's time
};

// One recording as the job left it.
struct ReportRecording {
    SearchResult record;
    std::string path;                 // the copy's final name
    uint64_t bytes = 0;               // bytes copied
    std::string sha256;               // of the copy ("" when it is not whole)
    std::string status;               // "copied", "not copied", ...
    std::string reason;               // why not, else ""
};

// A fresh id: the UTC time and 64 random bits, "20260607T101500Z-1a2b3c4d5e6f7a8b".
std::string NewJobId(int64_t now);

// The source disks of a job's records, each once, in disk order, unhashed.
std::vector<ReportSource> ReportSources(const std::vector<SearchResult>& records);

// The report's recordings from a finished download job: the records it was
// given and its outcomes (records a stop kept it from reaching have none).
std::vector<ReportRecording> ReportRecordings(const std::vector<SearchResult>& records,
                                              const std::vector<CopyOutcome>& outcomes);

// Appends the job to the folder's two report files. False, with the reason
// in `error`, when they cannot be opened, locked or written.
bool AppendReport(const std::string& folder, const ReportJob& job, const std::vector<ReportRecording>& recordings,
                  std::string* error);
