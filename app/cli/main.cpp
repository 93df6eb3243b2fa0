// tarvik: copies recordings off the hard disk of a digital video recorder.
#include <cstdio>

#include <CLI/CLI.hpp>

#include "cli.h"
#include "core/clockoffset.h"
#include "core/version.h"
#include "mount/mount.h"

namespace {

const char* const kFooter = R"(Exit status:
  0    all done
  1    download, orphans --output: some recordings were not copied whole (each is
       named on stderr; what was copied of it is kept as NAME.part), are being
       copied by another run into the same folder, or were copied with
       unreadable sectors filled with zeros (--fill-unreadable); workfiles: a
       work file could not be read whole
  2    usage error
  3    nothing found: "No record disk.", "No record.", no recorded day or
       "No orphaned footage."
  4    error: not a recorder disk, a partition that is not mounted, a date on the
       disk that does not
       exist, "Storage device is no space!", an output folder that cannot be made
       or written, a mount that cannot start (no /dev/fuse, a mount point missing
       or in use), a split or E01 image whose set lacks a segment or holds a
       damaged one
  130  stopped by Ctrl-C (a download stops within one 4 MiB buffer)

Disks are opened read-only: the repair of a recorder volume that an interrupted
recording left open, and the header lengths that reading a recording stores,
stay in memory, so the disk is never touched and every search and copy sees the
same recordings. --repair stores them on the disk instead (tarvik says on
stderr what it wrote); a disk that cannot be written (a write blocker, a
read-only device or image) then stays read-only, and tarvik says so once.

`tarvik mount MOUNTPOINT` shows the recordings as read-only files laid out as a
download (unmount with `fusermount3 -u MOUNTPOINT`); it never writes to a disk,
and a mount that cannot start exits with status 4.

Times are local time ("YYYY-MM-DD HH:MM:SS"); with --clock-offset, --start and
--end are true times. Disks and channels count from 1, partitions from 0.)";

// A word of the command line as a shell would take it back.
std::string QuotedWord(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t\n'\"\\$`*?[]{}();&|<>~#!") == std::string::npos) return word;
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

void AddSearchOptions(CLI::App* cmd, SearchOptions& o) {
    cmd->add_option("--disk", o.disk, "Disk number, from 1 in the order of -D")->required()->check(CLI::Range(1, 32));
    cmd->add_option("--channel", o.channel, "Channel, from 1")->required()->check(CLI::Range(1, 64));
    cmd->add_option("--start", o.start, "Window start, local time \"YYYY-MM-DD HH:MM:SS\"")->required();
    cmd->add_option("--end", o.end, "Window end (inclusive), local time \"YYYY-MM-DD HH:MM:SS\"")->required();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"tarvik: finds the recordings of a channel in a time window on the hard disk of a digital video "
                 "recorder (a block device such as /dev/sdb, or an image file) and copies them into a folder tree.",
                 "tarvik"};
    app.footer(kFooter);
    app.set_version_flag("--version", VersionLine("tarvik"));
    app.set_help_all_flag("--help-all", "Print this help followed by every command's own, then exit");
    app.require_subcommand(1);

    GlobalOptions global;
    for (int i = 0; i < argc; i++) global.commandLine += (i ? " " : "") + QuotedWord(argv[i]);
    app.add_option("-D,--device", global.disks,
                   "A recorder disk (repeatable; disk 1, 2, ... in this order): a block device, a raw image, the first "
                   "segment of a split raw image (NAME.001 or NAME.000) or an E01 image (NAME.E01, its segments "
                   "found beside it); split and E01 images are read-only. Without -D: TARVIK_DISKS=a:b, else the "
                   "block devices that carry no mounted file system")
        ->allow_extra_args(false)
        ->type_name("PATH");
    CLI::Option* repair = app.add_flag(
        "--repair", global.repair, "Store the mount repair and header lengths on disks that can be written");
    bool readOnly = false;  // the default, accepted so that older command lines keep working
    app.add_flag("--read-only", readOnly, "The default: never write to a disk; repairs and header lengths stay in memory")
        ->excludes(repair);
    app.add_flag("-q,--quiet", global.quiet, "Silence the storage library's messages and the progress bar");
    std::string clockOffset;
    app.add_option("--clock-offset", clockOffset,
                   "The recorder's clock error: SECONDS (true time minus the recorder's time) or "
                   "\"RECORDER_TIME=TRUE_TIME\" (two \"YYYY-MM-DD HH:MM:SS\" read off the recorder's screen and a true "
                   "clock). --start and --end are then true times and results show both times; the copies keep "
                   "the recorder's names and folders")
        ->type_name("S");

    bool disksJson = false;
    CLI::App* disks = app.add_subcommand("disks", "Disks, capacities, partitions with their recorded spans and sizes");
    disks->add_flag("--json", disksJson, "Print one JSON array");

    app.add_subcommand("dump", "Print the start-up diagnostics to stdout: banner, mount messages, four tables");

    int daysDisk = 0, daysPartition = 0;
    bool daysJson = false;
    CLI::App* days = app.add_subcommand("days", "The dates on which recordings of a partition start");
    days->add_option("--disk", daysDisk, "Disk number, from 1")->required()->check(CLI::Range(1, 32));
    days->add_option("--partition", daysPartition, "Partition, from 0")->required()->check(CLI::Range(0, 3));
    days->add_flag("--json", daysJson, "Print a JSON array of \"YYYY-MM-DD\"");

    SearchOptions search;
    CLI::App* searchCmd = app.add_subcommand(
        "search", "List every recording of the channel whose time meets the window: it starts no later than --end "
                  "and ends no earlier than --start, bounds included (a table; --json)");
    AddSearchOptions(searchCmd, search);
    searchCmd->add_flag("--json", search.json,
                        "Print one JSON array of {index, disk, partition, channel, start, end, name, size}");
    searchCmd->add_flag("--probe", search.probe,
                        "Recognise each recording's stream from its first MiB (e.g. \"mpeg-ps h264 704x576\" or "
                        "\"unknown\"): a Stream column, \"stream\" in the JSON");

    DownloadOptions download;
    CLI::App* downloadCmd = app.add_subcommand(
        "download", "Search as `search` does (every recording of the channel whose time meets the window) and "
                    "copy the results to DIR/DiskDD_PartPP/YYYY-MM-DD/CCC/NAME (disk and partition from 0, the "
                    "recording's start date, channel from 1); stdout lists the files copied whole. "
                    "Every job is appended to DIR/tarvik-report.jsonl and DIR/tarvik-report.csv");
    AddSearchOptions(downloadCmd, download.search);
    downloadCmd->add_option("--select", download.select, "Which results to copy, e.g. 1,3-5 (default: all)");
    downloadCmd->add_option("--output", download.output, "Destination folder DIR")->required()->type_name("DIR");
    downloadCmd->add_flag("--mp4", download.mp4,
                          "Also write NAME.mp4 beside each whole copy whose stream is recognised: the same frames "
                          "remuxed, not re-encoded, the recording's start as creation time (the exact copy stays)");
    downloadCmd->add_flag("--json", download.search.json,
                          "Print a JSON array: the search's fields and path, copied, bytes, error, status, sha256, "
                          "unreadable");
    downloadCmd->add_flag("--resume", download.resume,
                          "Skip each recording whose copy exists with its size and whose bytes, read again, match "
                          "its line in DIR/tarvik-manifest.sha256; copy the others (without it a copy is replaced)");
    downloadCmd->add_flag("--fill-unreadable", download.fillUnreadable,
                          "Retry a failed read sector by sector and write the sectors that still fail as zeros: the "
                          "copy is kept, its ranges named on stderr, exit status 1");
    downloadCmd->add_flag("--hash-source", download.hashSource,
                          "Also hash the whole source disk, read-only, into the report (SHA-256; an E01 image's stored "
                          "MD5 and SHA-1 are checked against its data)");

    OrphanOptions orphans;
    CLI::App* orphansCmd = app.add_subcommand(
        "orphans", "List the footage no listing shows any more: chains of clusters whose recording lost its first "
                   "cluster to the recording ring or behind a broken link. With --output, copy each to "
                   "DIR/DiskDD_PartPP/YYYY-MM-DD/CCC/orphan_HH.MM.SS-HH.MM.SS[@FIRST].mvr (raw data sectors, no "
                   "record header)");
    orphansCmd->add_option("--disk", orphans.disk, "Disk number, from 1")->required()->check(CLI::Range(1, 32));
    orphansCmd->add_option("--partition", orphans.partition, "Partition, from 0 (default: every partition)")
        ->check(CLI::Range(0, 3));
    orphansCmd->add_option("--channel", orphans.channel, "Channel, from 1 (default: every channel)")
        ->check(CLI::Range(1, 64));
    orphansCmd->add_option("--start", orphans.start, "Window start, local time \"YYYY-MM-DD HH:MM:SS\" (with --end)");
    orphansCmd->add_option("--end", orphans.end, "Window end (inclusive), local time (with --start)");
    orphansCmd->add_flag("--json", orphans.json,
                         "Print one JSON array of {disk, partition, channel, start, end, clusters, size, "
                         "first_cluster, old_first_cluster} (and path, copied, bytes, error with --output)");
    orphansCmd->add_option("--output", orphans.output, "Copy the chains into folder DIR")->type_name("DIR");

    int workDisk = 0, workPartition = 0;
    std::string workOutput;
    CLI::App* workCmd = app.add_subcommand(
        "workfiles", "Copy a partition's work areas to DIR/DiskDD_PartPP/_recorder/: summary.json (the partition "
                     "summary), log.bin (the whole log area) and player/ (the player files)");
    workCmd->add_option("--disk", workDisk, "Disk number, from 1")->required()->check(CLI::Range(1, 32));
    workCmd->add_option("--partition", workPartition, "Partition, from 0")->required()->check(CLI::Range(0, 3));
    workCmd->add_option("--output", workOutput, "Destination folder DIR")->required()->type_name("DIR");

    MountSettings mount;
    CLI::App* mountCmd = app.add_subcommand(
        "mount", "Show every recorder partition as a read-only file system at MOUNTPOINT, laid out as a download "
                 "(DiskDD_PartPP/YYYY-MM-DD/CCC/NAME, and DiskDD_PartPP/_recorder/); unmount with "
                 "`fusermount3 -u MOUNTPOINT`. The disks are only read");
    mountCmd->add_flag("--foreground", mount.foreground, "Stay in the foreground; Ctrl-C unmounts");
    mountCmd->add_flag("--allow-other", mount.allowOther,
                       "Let other users see the files (needs user_allow_other in /etc/fuse.conf unless root)");
    mountCmd->add_option("MOUNTPOINT", mount.mountPoint, "An existing empty folder")->required()->type_name("MOUNTPOINT");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (app.get_subcommands().empty() && !app.remaining().empty() && !app.get_help_ptr()->count()) {
            std::string commands;
            for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
                commands += (commands.empty() ? "" : ", ") + sub->get_name();
            }
            Complain("unknown command " + app.remaining().front() + " (commands: " + commands + ")");
            return kExitUsage;
        }
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }
    if (downloadCmd->count("--select") > 0 && download.select.empty()) {
        Complain("--select: empty; name the results to copy, e.g. 1,3-5, or leave --select out to copy them all");
        return kExitUsage;
    }

    try {
        if (!clockOffset.empty() && !ParseClockOffset(clockOffset, &global.clockOffset)) {
            throw UsageError{"--clock-offset \"" + clockOffset +
                             "\": expected SECONDS or \"YYYY-MM-DD HH:MM:SS=YYYY-MM-DD HH:MM:SS\""};
        }
        if (disks->parsed()) return RunDisks(global, disksJson);
        if (days->parsed()) return RunDays(global, daysDisk, daysPartition, daysJson);
        if (searchCmd->parsed()) return RunSearch(global, search);
        if (downloadCmd->parsed()) return RunDownload(global, download);
        if (orphansCmd->parsed()) return RunOrphans(global, orphans);
        if (workCmd->parsed()) return RunWorkfiles(global, workDisk, workPartition, workOutput);
        if (mountCmd->parsed()) return RunMount(global, mount);
        return RunDump(global);
    } catch (const UsageError& e) {
        Complain(e.message);
        return kExitUsage;
    } catch (const CommandError& e) {
        Complain(e.message);
        return kExitError;
    }
}
