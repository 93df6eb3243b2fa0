// The `tarvik` command line: shared pieces of its commands.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/copy_engine.h"

// Exit statuses (documented in --help and the README).
enum ExitCode {
    kExitOk = 0,            // all done
    kExitNotCopied = 1,     // download: some recordings were not copied whole
    kExitUsage = 2,         // the command line is wrong
    kExitNothingFound = 3,  // "No record disk." / "No record." / no recorded day
    kExitError = 4,         // not a recorder disk, a partition that is not mounted, a disk date that does
                            // not exist, too little free space, an unusable output folder
    kExitInterrupted = 130  // stopped by Ctrl-C
};

struct GlobalOptions {
    std::vector<std::string> disks;
    bool repair = false;  // store repairs on the disks (default: read-only)
    bool quiet = false;
    int64_t clockOffset = 0;  // true time minus the recorder's time, seconds
    std::string commandLine;  // as given, for the job report
};

struct SearchOptions {
    int disk = 0;     // 1-based, as on the command line
    int channel = 0;  // 1-based
    std::string start, end;
    bool json = false;
    bool probe = false;  // search: recognise each recording's stream
};

struct DownloadOptions {
    SearchOptions search;
    std::string select;  // "" = every result
    std::string output;
    bool mp4 = false;    // an MP4 beside each whole copy whose stream is recognised
    bool resume = false;          // skip copies already made and still matching the manifest
    bool fillUnreadable = false;  // zeros for unreadable sectors instead of a failed copy
    bool hashSource = false;  // hash the whole source disk into the report
};

struct OrphanOptions {
    int disk = 0;        // 1-based
    int partition = -1;  // -1: every partition of the disk
    int channel = 0;     // 1-based; 0: every channel
    std::string start, end;  // both or neither
    bool json = false;
    std::string output;  // "": list only
};

// A usage error found after parsing: printed with "tarvik: " in front, exit 2.
struct UsageError {
    std::string message;
};

// An error that ends the command with exit status 4 (an incomplete image
// set, for one): printed with "tarvik: " in front.
struct CommandError {
    std::string message;
};

// Set by SIGINT and SIGTERM; commands stop at their next safe point.
extern std::atomic<bool> g_interrupted;

// Prepares the library for a command: checks the disk paths, points the
// library's messages at stderr (nothing with -q; stdout for `dump`), mounts
// every partition and says on stderr what mounting wrote to a disk. Throws
// UsageError for a disk path that cannot be read, CommandError for a split or
// E01 image whose set is incomplete or damaged.
void StartSession(const GlobalOptions& global, bool messagesToStdout);
// Says on stderr what was written to the disks since StartSession finished
// (reading a recording stores its header length).
void ReportCommandWrites();

int RunDisks(const GlobalOptions& global, bool json);
int RunDump(const GlobalOptions& global);
int RunDays(const GlobalOptions& global, int disk, int partition, bool json);
int RunSearch(const GlobalOptions& global, const SearchOptions& options);
int RunDownload(const GlobalOptions& global, const DownloadOptions& options);
int RunOrphans(const GlobalOptions& global, const OrphanOptions& options);
int RunWorkfiles(const GlobalOptions& global, int disk, int partition, const std::string& output);
struct MountSettings;
int RunMount(const GlobalOptions& global, const MountSettings& settings);

// "1,3-5" into 0-based indices of a list of `count` results, in the order
// given, without repeats. Throws UsageError for text that does not parse or
// an index outside 1..count.
std::vector<size_t> ParseSelection(const std::string& text, size_t count);

// Prints a user message of the system (through the language table) on stderr.
void Tell(const std::string& englishText);
// Prints "tarvik: " and a message on stderr.
void Complain(const std::string& message);

// ---- Shared by search and download ----
class CResultList;
struct SearchResult;
struct SearchWindow {
    int64_t start = 0, end = 0;  // true time
    int64_t clockOffset = 0;     // the recorder's clock: true time minus its time
};
// The window of --start and --end; throws UsageError for a time that does not
// parse or does not exist, and for a start later than the end.
SearchWindow ParseWindow(const SearchOptions& options, int64_t clockOffset);
// kExitOk when disk (1-based) holds a usable recorder partition; otherwise
// says why ("disk N (PATH): no recorder partition table", or the states of its
// partitions), prints "[]" for --json, and gives kExitError.
int CheckRecorderDisk(int disk, bool json);
// Runs the search of a command (after StartSession) and fetches every
// result. Returns kExitOk when something was found; otherwise the exit status
// after saying why on stderr (and printing "[]" on stdout for --json).
int FindRecordings(const SearchOptions& options, const SearchWindow& window, CResultList& list);
// "YYYY-MM-DD HH:MM:SS" of a result's real start and end.
std::string ResultStart(const SearchResult& r);
std::string ResultEnd(const SearchResult& r);
// The JSON object of one result: index (1-based), disk (1-based), partition,
// channel (1-based), start, end (the recorder's times), name, size, and with
// a clock offset true_start and true_end.
nlohmann::json ResultJson(size_t index, const SearchResult& r, int64_t clockOffset);

// How a copy job runs beyond its records: the copy engine's options, an MP4
// beside each whole copy whose stream is recognised, and the source disks
// hashed into the job report.
struct CopyJobOptions {
    CopyOptions copy;
    bool mp4 = false;
    bool hashSource = false;
};

// ---- Shared by download and orphans ----
// The output folder as an absolute path (folders are created level by level
// from the root down); throws UsageError when it cannot be made absolute.
std::string AbsoluteFolder(const std::string& output);
// Copies records into folder (made first; `output` is how the user named
// it) with progress on a terminal, then prints the files copied whole, or
// with json one array of describe(i, record) and the copy's path, copied,
// bytes, error, status, sha256 and unreadable ranges; stderr names each one
// not copied whole or copied with unreadable sectors. The exit status.
int RunCopyJob(const GlobalOptions& global, std::vector<SearchResult> records, const std::string& folder,
               const std::string& output, bool json,
               const std::function<nlohmann::json(size_t, const SearchResult&)>& describe,
               const CopyJobOptions& options = {});
// Appends the job to the report files of its folder, hashing its source
// disks first with hashSource; says on stderr when the report cannot be
// written and returns false.
struct CopyOutcome;
bool WriteJobReport(const GlobalOptions& global, const std::string& folder, const std::vector<SearchResult>& records,
                    const std::vector<CopyOutcome>& outcomes, bool hashSource, int64_t start);
