// Start-up of the library for one command, the notices about disk writes,
// and Ctrl-C.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "cli.h"
#include "core/language.h"
#include "core/startup.h"
#include "kxfs.h"

std::atomic<bool> g_interrupted{false};

namespace {

std::unique_ptr<CDiskWriteWatch> g_commandWrites;

void OnInterrupt(int) { g_interrupted.store(true); }

// Ctrl-C must not cut the library short in the middle of a repair it is
// writing: the signal only raises a flag, and every command looks at it where
// stopping is safe.
void CatchInterrupts() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void ReportWrites(const std::vector<DiskWrite>& writes, const char* when, const char* why) {
    for (const DiskWrite& w : writes) {
        if (w.keptInMemory) {
            fprintf(stderr,
                    "tarvik: %s changed %llu sector(s) of disk %d (%s) in memory only: the disk is read-only and "
                    "was not written.\n",
                    when, static_cast<unsigned long long>(w.sectors), w.disk + 1, w.path.c_str());
        } else {
            fprintf(stderr, "tarvik: %s WROTE %llu sector(s) to disk %d (%s): %s. Use --read-only to leave a disk "
                            "untouched.\n",
                    when, static_cast<unsigned long long>(w.sectors), w.disk + 1, w.path.c_str(), why);
        }
    }
}

}  // namespace

void Tell(const std::string& englishText) { fprintf(stderr, "%s\n", Translate(englishText).c_str()); }

void Complain(const std::string& message) { fprintf(stderr, "tarvik: %s\n", message.c_str()); }

void StartSession(const GlobalOptions& global, bool messagesToStdout) {
    for (const std::string& path : global.disks) {
        if (access(path.c_str(), R_OK) != 0) throw UsageError{"cannot read the disk " + path};
    }
    CatchInterrupts();
    if (messagesToStdout) kx_set_log_stream(stdout);
    else kx_set_log_stream(global.quiet ? nullptr : stderr);
    const StartupReport report = InitLibrary(StartupOptions{global.disks, global.readOnly});
    fflush(stdout);
    ReportWrites(report.repairs, "mounting", "it checked and rewrote a volume that an interrupted recording had left open");
    g_commandWrites = std::make_unique<CDiskWriteWatch>();
}

void ReportCommandWrites() {
    if (g_commandWrites) {
        ReportWrites(g_commandWrites->Writes(), "reading recordings",
                     "the header length of a recording was stored in its directory item");
    }
}
