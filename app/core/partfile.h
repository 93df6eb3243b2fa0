// One copy being written on the PC. Its bytes go to NAME.part, which this run
// holds under an exclusive lock (flock) from the moment it is opened until it
// is closed, and only a whole copy becomes NAME: its data are first forced to
// the PC's disk, then it is renamed while the lock is still held, then the
// folder entry is forced too. So a file under its final name is always a
// complete, durable copy, and two runs that copy the same recording into the
// same folder (two terminals, or the dialog and the command line) never write
// into one file: the second finds the lock taken and leaves the file alone.
// No file besides NAME.part and NAME is ever made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CPartFile {
public:
    enum class Fault {
        None,
        Taken,   // another run holds NAME.part: it is copying the same recording
        Create,  // NAME.part cannot be created, opened or locked
        Write,   // writing failed (the disk is full, an I/O error)
        Sync,    // the data or the folder entry could not be forced to the disk
        Rename,  // the whole copy could not take its final name
    };

    CPartFile() = default;
    ~CPartFile() { Close(); }
    CPartFile(const CPartFile&) = delete;
    CPartFile& operator=(const CPartFile&) = delete;

    // Opens and locks finalPath + ".part" and empties it (what an earlier,
    // failed run left there is of no use now). Never waits for the lock.
    Fault Open(const std::string& finalPath);
    // Appends size bytes, resuming after interruptions and short writes;
    // `written` (when given) counts the bytes that reached the file, also
    // when the write fails partway.
    Fault Write(const void* data, size_t size, size_t* written = nullptr);
    // Starts writing the file's bytes up to `end` back to the disk; once
    // bytes lie kWriteBehindLag behind `end`, waits for them and drops them
    // from the page cache. The disk always has writes queued (waiting for
    // each buffer as it was written left it idle in between), a long copy
    // keeps a bounded tail of its pages cached (it does not evict everything
    // else), and the final data sync has little left to do. Only a hint:
    // errors show at Commit.
    void WriteBehind(uint64_t end);
    static constexpr uint64_t kWriteBehindLag = 32u << 20;
    // The copy is whole: force it to disk, rename it to its final name and
    // force the folder entry, then close (which gives the lock back).
    Fault Commit();
    // Closes a copy that stays NAME.part (failed or stopped: what it got is
    // kept for the user to look at).
    void Close();

    int Error() const { return m_error; }  // errno of the last fault, else 0
    const std::string& PartPath() const { return m_part; }

private:
    Fault Fail(Fault fault, int error);

    int m_fd = -1;
    int m_error = 0;
    uint64_t m_started = 0;  // WriteBehind: write-back started up to here
    uint64_t m_dropped = 0;  // and finished and dropped from the cache up to here
    std::string m_final, m_part;
};
