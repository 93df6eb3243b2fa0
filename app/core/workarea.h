// The recorder's own work areas of one partition, as files: summary.json
// (every field of the 300-byte partition summary, times as text), log.bin
// (the whole log area, exactly its bytes) and player/NAME (the files of the
// player area, as its directory names them). `tarvik workfiles` writes them
// to DIR/Disk%02d_Part%02d/_recorder/ and a mount shows the same folder.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/sourcefile.h"

struct WorkFile {
    std::string name;  // relative to _recorder/: "summary.json", "log.bin", "player/NAME"
    uint64_t size = 0;
    std::string adapterPath;  // where the library reads it; "" for the summary
    std::string text;         // the summary's JSON
};

// The partition summary record as JSON, one field per line.
std::string SummaryJson(const uint8_t record[300]);

class CWorkArea {
   public:
    // The work files of a partition (disk and partition 0-based); empty when
    // the partition is not mounted. Summary first, then the log area when
    // the partition has one, then the player files.
    static std::vector<WorkFile> List(int disk, int partition);
    static std::unique_ptr<CSourceFile> Open(const WorkFile& file);
    enum class Written { All, NotMounted, OutputFailed, ReadFailed };
    // Writes every work file under folder/Disk%02d_Part%02d/_recorder/ and
    // names each file written whole in *written. On a failure, what failed
    // is in *failure and the files written so far stay.
    static Written WriteTo(int disk, int partition, const std::string& folder,
                           std::vector<std::string>* written, std::string* failure);
    static std::string Folder(const std::string& folder, int disk, int partition);
};
