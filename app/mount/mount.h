// The mount's file system: a CMountTree served through FUSE, read-only.
#pragma once

#include <string>

class CMountTree;

struct MountSettings {
    std::string mountPoint;
    bool foreground = false;
    bool allowOther = false;
};

// Mounts the tree and serves it until it is unmounted (fusermount3 -u, or
// Ctrl-C / SIGTERM in the foreground); without `foreground` the caller's
// process returns once the mount is in place and a background process
// serves it. Returns true when the mount ran; false with the reason in *why
// when it could not start (no /dev/fuse, a mount point that is missing, not
// a folder or already mounted, a refusal of the kernel or fusermount3).
bool ServeMount(CMountTree& tree, const MountSettings& settings, std::string* why);
