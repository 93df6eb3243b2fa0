// The recorder's disks as a read-only tree of files, laid out as a download
// lays out its copies:
//   /Disk%02d_Part%02d/YYYY-MM-DD/%03d/NAME    every recording once, under the
//                                               day and channel it started on
//   /Disk%02d_Part%02d/_recorder/...           the partition's work areas
// The tree is built lazily from the path adapter's listings: a partition's
// days when the partition folder is first looked at, a day's channels and
// their recordings when the day folder is. Listings are kept for the life
// of the tree (nothing writes to the disks while it lives). Safe to use from
// several threads; the library itself is used one thread at a time through
// its lock hooks.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/sourcefile.h"

class CMountTree {
   public:
    struct Node {
        std::string name;
        bool directory = false;
        uint64_t size = 0;
        int64_t mtime = 0;        // seconds since 1970 UTC: a recording's real start
        std::string adapterPath;  // files: where the library reads them ("" for a text)
        std::string text;         // files made in memory (the summary's JSON)
    };

    // The mounted recorder partitions of every disk, found now; `now` is the
    // time shown for folders and work files.
    explicit CMountTree(int64_t now);

    // 0 and the node at path ("/" and "/a/b" forms); -ENOENT or -ENOTDIR.
    int Lookup(const std::string& path, Node* out);
    // 0 and the entries of a folder, in order; -ENOENT or -ENOTDIR.
    int List(const std::string& path, std::vector<Node>* out);
    // 0 and an open file; -ENOENT, -EISDIR, or -EIO when the recorder's
    // disk no longer holds what was listed there.
    int Open(const std::string& path, std::unique_ptr<CSourceFile>* out);

   private:
    using Folder = std::vector<Node>;
    const Folder* FolderAt(const std::vector<std::string>& parts, int* error);
    const Folder* Partition(const std::string& name);
    const Folder* Day(const std::string& partition, const std::string& day);
    Folder ListDays(int disk, int partition);
    void ListWorkArea(const std::string& key, int disk, int partition);
    void ListDay(const std::string& key, int disk, int partition, const std::string& day);

    std::mutex m_mutex;  // guards the cache; taken before the library's lock, never after
    int64_t m_now;
    Folder m_root;
    std::map<std::string, std::pair<int, int>> m_partitions;  // folder name: disk, partition
    std::map<std::string, Folder> m_folders;                  // listed folders by path below the root
};
