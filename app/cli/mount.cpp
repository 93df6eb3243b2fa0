// `mount`: the recorder's disks as a read-only file system (FUSE).
#include "mount/mount.h"

#include <ctime>
#include <string>

#include "cli.h"
#include "core/mounttree.h"
#include "core/startup.h"

int RunMount(const GlobalOptions& global, const MountSettings& settings) {
    // A mount never writes to a disk: the repairs of mounting stay in memory.
    if (global.repair) throw UsageError{"mount never writes to a disk: --repair is not for mount"};
    StartSession(global, false);
    if (DiskCount() < 1) {
        Tell("No record disk.");
        return kExitNothingFound;
    }
    CMountTree tree(static_cast<int64_t>(time(nullptr)));
    std::vector<CMountTree::Node> partitions;
    if (tree.List("/", &partitions) != 0 || partitions.empty()) {
        Tell("No record disk.");
        return kExitNothingFound;
    }
    std::string why;
    if (!ServeMount(tree, settings, &why)) {
        Complain("cannot mount: " + why);
        return kExitError;
    }
    return kExitOk;
}
