// What recognising and remuxing streams costs.
//
// Makes the sample-disk maker's video preset (real H.264 footage in MPEG
// program streams), then, warm: probes one page of the result list (12
// recordings, the preset's four taken in turn) five times and reports the
// median; copies one recording exactly and remuxes it into an MP4, and
// reports both rates.
//
// Usage: bench_media_cost [folder for the temporary image, default /tmp]
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/download.h"
#include "core/media.h"
#include "core/results.h"
#include "core/startup.h"
#include "core/timevalue.h"
#include "mkdisk.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Processor time of this process: on a shared, loaded machine it says what
// the work costs better than the wall clock does.
double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    setenv("TARVIK_MEDIA_MODULE", TARVIK_MEDIA_MODULE_PATH, 0);
    if (!MediaSupported()) {
        fprintf(stderr, "%s\n", MediaMissingReason().c_str());
        return 1;
    }
    const std::filesystem::path dir = std::filesystem::path(argc > 1 ? argv[1] : "/tmp") / "tarvik-media-bench";
    std::filesystem::create_directories(dir);
    mkdisk_report report;
    std::string error;
    const std::string image = (dir / "video.img").string();
    kx_set_log_callback([](void*, const char*) {}, nullptr);  // the start-up tables would drown the figures
    if (mkdisk_make("video", image, &report, &error) != 0 || InitLibrary(StartupOptions{{image}, true}).result != 0) {
        fprintf(stderr, "cannot make the video disk: %s\n", error.c_str());
        return 1;
    }
    int64_t from = 0, to = 0;
    ParseDateTime("2024-06-03 00:00:00", &from);
    ParseDateTime("2024-06-03 23:59:59", &to);
    std::vector<SearchResult> found;
    for (int channel = 0; channel < 2; channel++) {
        CResultList list;
        list.Search(1, 0, channel, from, to);
        list.FetchAll();
        for (const ResultItem& item : list.Items()) found.push_back(item.record);
    }
    if (found.empty()) return 1;

    ProbeRecording(found[0]);  // warm: the disk's sectors and the libraries' tables
    std::vector<double> pages, cpu;
    for (int round = 0; round < 5; round++) {
        const Clock::time_point t0 = Clock::now();
        const double c0 = CpuSeconds();
        for (int k = 0; k < 12; k++) ProbeRecording(found[(size_t)k % found.size()]);
        pages.push_back(Seconds(t0));
        cpu.push_back(CpuSeconds() - c0);
    }
    printf("probing 12 recordings: median %.1f ms wall, %.1f ms processor time, of 5 rounds (%s)\n",
           Median(pages) * 1000, Median(cpu) * 1000, ProbeRecording(found[0]).c_str());

    CDownloadJob job;
    const Clock::time_point t0 = Clock::now();
    job.Start({found[0]}, (dir / "copies").string());
    job.Wait();
    const double copy = Seconds(t0);
    if (job.CopiedCount() != 1) return 1;
    const std::string raw = job.Outcomes()[0].path;
    const Clock::time_point t1 = Clock::now();
    const RemuxResult remux = RemuxToMp4(raw, Mp4PathFor(raw), 0);
    const double mux = Seconds(t1);
    const double mb = (double)found[0].entry.size / 1e6;
    printf("exact copy: %.1f MB/s; remux to MP4: %.1f MB/s (%lld frames%s)\n", mb / copy, mb / mux,
           (long long)remux.frames, remux.written ? "" : ", not written");
    std::filesystem::remove_all(dir);
    return remux.written ? 0 : 1;
}
