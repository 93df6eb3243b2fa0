// One download job over the first disk's channel 1, timed from the job's
// start to its end (the data sync of every copy included), with or without
// the manifest's hashing: what hashing beside the copy costs.
//
// Usage: bench_copy_job IMAGE OUTPUT_FOLDER hash|nohash
// Prints "<seconds> <bytes>" on stdout; exit 1 when a copy was not whole.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/download.h"
#include "core/results.h"
#include "core/startup.h"
#include "core/timevalue.h"

int main(int argc, char** argv) {
    if (argc != 4 || (strcmp(argv[3], "hash") != 0 && strcmp(argv[3], "nohash") != 0)) {
        fprintf(stderr, "usage: %s IMAGE OUTPUT_FOLDER hash|nohash\n", argv[0]);
        return 2;
    }
    StartupOptions startup;
    startup.diskPaths = {argv[1]};
    InitLibrary(startup);
    int64_t start = 0, end = 0;
    ParseDateTime("2000-01-01 00:00:00", &start);
    ParseDateTime("2037-12-31 23:59:59", &end);
    CResultList list;
    if (list.Search(1, 0, 0, start, end) != CResultList::Outcome::Found) {
        fprintf(stderr, "no recording on channel 1\n");
        return 1;
    }
    list.FetchAll();
    for (size_t i = 0; i < list.Items().size(); i++) list.SetSelected(i, true);
    CopyOptions options;
    options.manifest = strcmp(argv[3], "hash") == 0;
    CDownloadJob job;
    const auto t0 = std::chrono::steady_clock::now();
    if (job.Start(list.SelectedRecords(), argv[2], options) != CDownloadJob::StartResult::Started) return 1;
    job.Wait();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    printf("%.6f %llu\n", seconds, static_cast<unsigned long long>(job.CopiedBytes()));
    return job.NotCopiedCount() == 0 ? 0 : 1;
}
