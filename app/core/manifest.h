// The folder's hash manifest, DIR/tarvik-manifest.sha256: one line per copy
// that is complete, in the form `sha256sum -c` checks in DIR ("HASH  PATH",
// paths relative to DIR). A copy made with unreadable sectors filled with
// zeros carries a comment line just above its hash line that says so; the
// checker skips comment lines. Several jobs may write into one folder: every
// change is made under an exclusive lock on the folder and replaces the file
// whole (written beside it, synced, renamed), so that a crash leaves either
// the old manifest or the new one.
#pragma once

#include <map>
#include <string>

class CManifest {
public:
    struct Entry {
        std::string sha256;  // 64 lowercase hex digits
        std::string note;    // "" for a copy of every byte
    };

    static constexpr const char* kFileName = "tarvik-manifest.sha256";

    explicit CManifest(std::string folder);

    // The entries the manifest lists now, by path relative to the folder.
    std::map<std::string, Entry> Read() const;
    // Lists `path` with its hash (and note), replacing what was listed for it.
    // False (with errno) when the manifest could not be written.
    bool Record(const std::string& path, const Entry& entry);
    // Takes `path` off the manifest (a copy that is about to be replaced).
    bool Remove(const std::string& path);

    // One manifest line's path field: sha256sum's escaped form for a name
    // holding a backslash or a line break.
    static std::string Line(const std::string& path, const Entry& entry);
    static std::map<std::string, Entry> Parse(const std::string& text);

private:
    bool Rewrite(const std::string& path, const Entry* entry);

    std::string m_folder;
};
