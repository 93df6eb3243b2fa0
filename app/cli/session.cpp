// Start-up of the library for one command, the notices about disk writes,
// and Ctrl-C.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

#include "cli.h"
#include "core/language.h"
#include "core/startup.h"
#include "DiskIOCtl.h"
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

// Says what reached a disk, or what stayed in memory. A disk that refused a
// repair asked for is named once, with its reason; header lengths kept in
// memory on a read-only disk are not worth a line each run.
void ReportWrites(const std::vector<DiskWrite>& writes, const char* when, const char* why, bool mounting) {
    static std::set<int> s_refusalsTold;
    for (const DiskWrite& w : writes) {
        const std::string disk = "disk " + std::to_string(w.disk + 1) + " (" + w.path + ")";
        if (w.refused != 0) {
            if (s_refusalsTold.insert(w.disk).second) {
                Complain(disk + " cannot be written (" + strerror(w.refused) +
                         "): the repair could not be stored; it stays in memory and the disk is untouched");
            }
        } else if (!w.keptInMemory) {
            Complain(std::string(when) + " WROTE " + std::to_string(w.sectors) + " sector(s) to " + disk + ": " + why +
                     " (asked for with --repair)");
        } else if (mounting) {
            Complain("mounting repaired " + disk + " in memory only (" + std::to_string(w.sectors) +
                     " sector(s)): the disk is read-only and was not written; --repair stores the repair");
        }
    }
}

// Every disk named on the command line or in TARVIK_DISKS must open, with
// every segment of a split or E01 set: one that does not is a mistake in what
// was typed (a usage error) or an incomplete set (named), found before
// anything starts.
void CheckNamedDisks(const std::vector<std::string>& paths) {
    ide_set_disk_paths(paths);
    const bool fromEnvironment = paths.empty();
    for (const std::string& path : ide_named_paths()) {
        std::string why;
        switch (ide_probe_image(path, &why)) {
            case 0: break;
            case IDE_OPEN_INCOMPLETE: throw CommandError{why};
            default:
                throw UsageError{"cannot open the disk " + why +
                                 (fromEnvironment ? " (named in TARVIK_DISKS)" : "")};
        }
    }
}

}  // namespace

void Tell(const std::string& englishText) { fprintf(stderr, "%s\n", Translate(englishText).c_str()); }

void Complain(const std::string& message) { fprintf(stderr, "tarvik: %s\n", message.c_str()); }

void StartSession(const GlobalOptions& global, bool messagesToStdout) {
    CheckNamedDisks(global.disks);
    CatchInterrupts();
    if (messagesToStdout) kx_set_log_stream(stdout);
    else kx_set_log_stream(global.quiet ? nullptr : stderr);
    const StartupReport report = InitLibrary(StartupOptions{global.disks, global.repair});
    fflush(stdout);
    ReportWrites(report.repairs, "mounting", "it checked and rewrote a volume that an interrupted recording had left open",
                 true);
    g_commandWrites = std::make_unique<CDiskWriteWatch>();
}

void ReportCommandWrites() {
    if (g_commandWrites) {
        ReportWrites(g_commandWrites->Writes(), "reading recordings",
                     "the header length of a recording was stored in its directory item", false);
    }
}
