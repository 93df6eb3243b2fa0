// The download job: copies chosen recordings (and chains of orphaned footage)
// from the recorder's disk into a folder tree on the PC, on a worker thread
// through the copy engine:
//   FOLDER/Disk%02d_Part%02d/YYYY-MM-DD/%03d/NAME
// (disk and partition 0-based, the date of the recording's real start,
// channel + 1, the record file name). A copy is written to NAME.part and
// becomes NAME only when it is whole and on the PC's disk (see CPartFile), so
// a file under its own name is always a complete copy, listed with its
// SHA-256 in the folder's manifest; a copy that failed or was stopped keeps
// what it got as NAME.part and is reported. The worker is stopped
// cooperatively, within one of the copy engine's buffers; no thread is ever
// killed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/copy_engine.h"
#include "core/search.h"

// What became of one recording: the engine's result (path, bytes, hash,
// status, unreadable ranges) with the recording it came from.
struct CopyOutcome : FileCopyResult {
    SearchResult record;
    // With playable copies asked for: the MP4 beside a whole copy ("" when
    // none was written) and the one-line notice about it ("" when none).
    std::string mp4Path, mp4Notice;
};

// A short description of a failure ("" for None); English, except the words
// that the dialog shows as they are (through the language table).
std::string DescribeFailure(const CopyOutcome& outcome);

class CDownloadJob {
public:
    enum class StartResult { Started, NothingSelected, NoSpace, FolderUnusable, Busy };

    CDownloadJob() = default;
    ~CDownloadJob();  // stops a running worker and waits for it
    CDownloadJob(const CDownloadJob&) = delete;
    CDownloadJob& operator=(const CDownloadJob&) = delete;

    // Checks the free space of the file system that will hold folder against
    // the records' total size (NoSpace creates nothing), creates folder and
    // checks that it may be written (FolderUnusable, with FolderError()),
    // then starts the worker. While it runs the caller must leave the storage
    // library alone: the worker is its only user. A free-space figure that
    // cannot be had does not stop the job: write errors are caught and
    // reported per recording.
    StartResult Start(std::vector<SearchResult> records, const std::string& folder, CopyOptions options = {});
    // Before Start: also write an MP4 beside each whole copy whose stream is
    // recognised (the exact copy is always written first and stays).
    void SetPlayableCopies(bool on) { m_bPlayable = on; }
    // After Start: the free bytes it found (0 when unknown) and, for
    // FolderUnusable, the errno of the folder.
    uint64_t FreeBytes() const { return m_free; }
    int FolderError() const { return m_folderError; }

    // Asks the worker to stop after its current buffer (callable from any
    // thread, never blocks).
    void RequestStop() { m_stop.store(true); }
    // Asks the worker to stop and waits until it has.
    void Stop();
    // Waits until the worker has ended.
    void Wait();
    // Waits at most `timeout` for the worker to end; true when it has.
    bool WaitFor(std::chrono::milliseconds timeout);

    bool Running() const { return m_running.load(); }
    bool StopRequested() const { return m_stop.load(); }
    uint64_t CopiedBytes() const { return m_copied.load(); }
    uint64_t TotalBytes() const { return m_total; }
    // Whole percentage of the bytes copied, truncated; may pass 100 only if
    // a recording grew while it was copied.
    int Percent() const;

    // After the worker has ended: one outcome per record, in order (records
    // never reached after a stop are not listed).
    const std::vector<CopyOutcome>& Outcomes() const { return m_outcomes; }
    // The records of the last job started, in its order.
    const std::vector<SearchResult>& Records() const { return m_records; }
    int RequestedCount() const { return static_cast<int>(m_records.size()); }
    int CopiedCount() const;
    // Records a resumed job found copied already (counted as copied).
    int SkippedCount() const;
    // Records copied with unreadable sectors filled with zeros (counted as
    // copied; the job is not complete).
    int FilledCount() const;
    // Records not copied whole, those never reached after a stop included.
    int NotCopiedCount() const { return RequestedCount() - CopiedCount(); }
    // The message for the user when the job has ended: "Download Completely!"
    // when every record was copied whole, else how many were not, or how many
    // were copied with unreadable sectors; "" after a stop request. Through
    // the language table.
    std::string CompletionMessage() const;
    // How many records a resumed job skipped ("" for none), through the
    // language table.
    std::string SkippedMessage() const;

    static std::string DestinationFolder(const std::string& folder, const SearchResult& record);
    static std::string SourcePath(const SearchResult& record);

private:
    void Run();

    std::vector<SearchResult> m_records;  // the worker's own copy
    std::string m_folder;
    bool m_bPlayable = false;
    CopyOptions m_options;
    uint64_t m_total = 0;
    uint64_t m_free = 0;
    int m_folderError = 0;
    std::vector<CopyOutcome> m_outcomes;  // written by the worker, read after it ended
    std::thread m_worker;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_running{false};
    std::atomic<uint64_t> m_copied{0};
    std::mutex m_endMutex;  // with m_ended: wakes a waiter when the worker ends
    std::condition_variable m_ended;
};
