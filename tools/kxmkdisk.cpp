// kxmkdisk: makes recorder disk images for demonstrations, tests and
// benchmarks (see --help).
#include <cstdio>
#include <cstring>
#include <string>

#include "mkdisk.h"

namespace {

void usage(FILE* out) {
    fprintf(out,
            "usage: kxmkdisk [--preset NAME] [-v] IMAGE\n"
            "\n"
            "Makes a recorder disk image at IMAGE (created or replaced; sparse) through the\n"
            "recorder's storage library: partition table, volume format, and recordings\n"
            "written as a recorder writes them, with the clock advancing.\n"
            "\n"
            "  --preset NAME  what to make (default: sample):\n");
    for (const mkdisk_preset_info& p : mkdisk_presets()) fprintf(out, "                   %-10s %s\n", p.name, p.about);
    fprintf(out,
            "  -v, --verbose  show the library's messages on standard error\n"
            "  -h, --help     show this help\n"
            "\n"
            "Recorded data: byte OFFSET after the header of the record of channel C (counted\n"
            "from 1) that starts at S seconds after 2000-01-01 00:00:00 (its day directory and\n"
            "the start time in its name) is ((OFFSET*131) ^ (OFFSET>>9) ^ (C*29) ^ (S*71)) mod 256;\n"
            "the video preset's records hold H.264 footage in an MPEG program stream instead.\n"
            "\n"
            "Exit status: 0 when the image was made, 1 when it could not be, 2 on a usage error.\n");
}

void print_report(const mkdisk_report& r) {
    uint32_t records = 0;
    printf("%s: preset %s, %llu sectors (%llu MiB)\n", r.image.c_str(), r.preset.c_str(),
           (unsigned long long)r.disk_sectors, (unsigned long long)(r.disk_sectors / 2048));
    for (const mkdisk_partition_report& p : r.parts) {
        std::string channels, days;
        for (int c : p.channels) channels += (channels.empty() ? "" : " ") + std::to_string(c);
        if (!p.days.empty()) days = *p.days.begin() + " to " + *p.days.rbegin();
        printf("partition %d: start %llu, %llu sectors, %u sectors per cluster; channels %s; %zu days (%s); "
               "%u records, %llu bytes of data",
               p.part, (unsigned long long)p.start, (unsigned long long)p.sectors, p.sector_per_clus,
               channels.empty() ? "none" : channels.c_str(), p.days.size(), days.empty() ? "none" : days.c_str(),
               p.records, (unsigned long long)p.data_bytes);
        if (p.restarts) printf("; ring restarted %u time%s%s", p.restarts, p.restarts == 1 ? "" : "s",
                               p.section2 ? ", older recordings of the previous pass kept" : "");
        printf("\n");
        records += p.records;
    }
    printf("records: %u\n", records);
}

}  // namespace

int main(int argc, char** argv) {
    std::string preset = "sample", image;
    bool verbose = false;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "-v" || a == "--verbose") {
            verbose = true;
        } else if (a == "--preset" && i + 1 < argc) {
            preset = argv[++i];
        } else if (a.rfind("--preset=", 0) == 0) {
            preset = a.substr(9);
        } else if (!a.empty() && a[0] != '-' && image.empty()) {
            image = a;
        } else {
            fprintf(stderr, "kxmkdisk: unexpected argument %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (image.empty()) {
        usage(stderr);
        return 2;
    }
    bool known = false;
    for (const mkdisk_preset_info& p : mkdisk_presets()) known = known || preset == p.name;
    if (!known) {
        fprintf(stderr, "kxmkdisk: unknown preset %s\n", preset.c_str());
        usage(stderr);
        return 2;
    }
    kx_set_log_stream(verbose ? stderr : nullptr);
    mkdisk_report report;
    std::string error;
    if (mkdisk_make(preset, image, &report, &error) != 0) {
        fprintf(stderr, "kxmkdisk: %s\n", error.c_str());
        return 1;
    }
    print_report(report);
    return 0;
}
