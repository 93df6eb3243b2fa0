// `workfiles`: a partition's work areas (summary, log area, player files)
// copied to DIR/Disk%02d_Part%02d/_recorder/.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "core/startup.h"
#include "core/workarea.h"

int RunWorkfiles(const GlobalOptions& global, int disk, int partition, const std::string& output) {
    StartSession(global, false);
    const int count = DiskCount();
    if (count < 1) {
        Tell("No record disk.");
        return kExitNothingFound;
    }
    if (disk > count)
        throw UsageError{"--disk " + std::to_string(disk) + ": " + std::to_string(count) + " disk(s) found"};
    std::vector<std::string> written;
    std::string failure;
    const CWorkArea::Written r = CWorkArea::WriteTo(disk - 1, partition, output, &written, &failure);
    for (const std::string& path : written) printf("%s\n", path.c_str());
    ReportCommandWrites();
    if (r == CWorkArea::Written::All) return kExitOk;
    Complain(failure);
    return r == CWorkArea::Written::ReadFailed ? kExitNotCopied : kExitError;
}
