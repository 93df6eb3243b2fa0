#include "core/workarea.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/folders.h"

namespace {

constexpr size_t kSummaryBytes = 300;
constexpr size_t kCopyChunk = 1u << 20;

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string root_of(int disk, int partition) {
    char root[32];
    snprintf(root, sizeof root, "/mnt/ide%c%d", 'a' + disk, partition);
    return root;
}

// A JSON string of bytes off the disk: printable ASCII as it is, the rest
// escaped as the code point of the byte, so that any label stays valid JSON.
std::string json_string(const uint8_t* bytes, size_t n) {
    std::string out = "\"";
    for (size_t i = 0; i < n; i++) {
        const uint8_t c = bytes[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        }
    }
    return out + "\"";
}

// A calendar record of the summary (year, month, day, reserved, hour,
// minute, second, reserved) as "YYYY-MM-DD HH:MM:SS".
std::string calendar_text(const uint8_t* p) {
    const auto v = [p](int i) { return static_cast<int32_t>(le32(p + 4 * i)); };
    char text[96];
    snprintf(text, sizeof text, "\"%04d-%02d-%02d %02d:%02d:%02d\"", v(0), v(1), v(2), v(4), v(5), v(6));
    return text;
}

// Where each field lies in the record; the two calendar records at 44 and 76
// repeat span 1 (the recorded span the search reads), the last two hold the
// recorder's default time.
struct CalendarField {
    const char* name;
    size_t offset;
};
constexpr CalendarField kTimes[] = {
    {"recorded_start", 44}, {"recorded_end", 76}, {"start_time1", 108},   {"end_time1", 140},
    {"start_time2", 172},   {"end_time2", 204},   {"default_time1", 236}, {"default_time2", 268},
};

bool write_all(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Copies one work file to path.
CWorkArea::Written copy_to(const WorkFile& file, const std::string& path, std::string* failure) {
    std::unique_ptr<CSourceFile> source = CWorkArea::Open(file);
    if (!source) {
        *failure = file.name + ": cannot be opened on the recorder's disk";
        return CWorkArea::Written::ReadFailed;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *failure = path + ": " + strerror(errno);
        return CWorkArea::Written::OutputFailed;
    }
    std::vector<uint8_t> chunk(kCopyChunk);
    CWorkArea::Written result = CWorkArea::Written::All;
    for (uint64_t at = 0; at < source->Size() && result == CWorkArea::Written::All;) {
        const int64_t n = source->Read(chunk.data(), chunk.size(), at);
        if (n <= 0) {
            *failure = file.name + ": the recorder's disk could not be read at byte " + std::to_string(at);
            result = CWorkArea::Written::ReadFailed;
        } else if (!write_all(fd, chunk.data(), static_cast<size_t>(n))) {
            *failure = path + ": " + strerror(errno);
            result = CWorkArea::Written::OutputFailed;
        }
        at += static_cast<uint64_t>(n > 0 ? n : 0);
    }
    if (close(fd) != 0 && result == CWorkArea::Written::All) {
        *failure = path + ": " + strerror(errno);
        result = CWorkArea::Written::OutputFailed;
    }
    return result;
}

}  // namespace

std::string SummaryJson(const uint8_t record[kSummaryBytes]) {
    std::string json =
        "{\n  \"part_label\": " + json_string(record, strnlen(reinterpret_cast<const char*>(record), 32));
    json += ",\n  \"part_word\": " + std::to_string(le32(record + 32));
    json += ",\n  \"type\": " + std::to_string(le32(record + 36));
    json += ",\n  \"err_status\": " + std::to_string(le32(record + 40));
    for (const CalendarField& f : kTimes)
        json += std::string(",\n  \"") + f.name + "\": " + calendar_text(record + f.offset);
    // The record's own bytes too: the label's bytes after its end and the
    // reserved words of the calendar records are kept nowhere else.
    json += ",\n  \"record_hex\": \"";
    for (size_t i = 0; i < kSummaryBytes; i++) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", record[i]);
        json += hex;
    }
    return json + "\"\n}\n";
}

std::vector<WorkFile> CWorkArea::List(int disk, int partition) {
    std::vector<WorkFile> files;
    const std::string root = root_of(disk, partition);
    KXFILE summary = kx_fopen((root + "/DVRWorkDirectory").c_str(), "rb");
    if (summary == nullptr) return files;
    uint8_t record[kSummaryBytes] = {};
    const size_t got = kx_fread(record, sizeof record, 1, summary);
    kx_fclose(summary);
    if (got != 1) return files;
    WorkFile json{"summary.json", 0, "", SummaryJson(record)};
    json.size = json.text.size();
    files.push_back(json);

    const std::string logPath = root + "/log/log.bin";
    if (KXFILE log = kx_fopen(logPath.c_str(), "rb")) {
        const int64_t size = kx_fsize(log);
        kx_fclose(log);
        if (size >= 0) files.push_back(WorkFile{"log.bin", static_cast<uint64_t>(size), logPath, ""});
    }

    kx_find_record entry{};
    const intptr_t h = kx_findfirst((root + "/player/*").c_str(), &entry);
    for (int more = h > 0 ? 0 : -1; more == 0; more = kx_findnext(h, &entry)) {
        entry.name[sizeof entry.name - 1] = '\0';
        files.push_back(
            WorkFile{std::string("player/") + entry.name, entry.size, root + "/player/" + entry.name, ""});
    }
    if (h > 0) kx_findclose(h);
    return files;
}

std::unique_ptr<CSourceFile> CWorkArea::Open(const WorkFile& file) {
    if (file.adapterPath.empty()) return CSourceFile::FromText(file.text);
    return CSourceFile::OpenPath(file.adapterPath, file.size);
}

std::string CWorkArea::Folder(const std::string& folder, int disk, int partition) {
    std::string base = folder;
    if (!base.empty() && base.back() == '/') base.pop_back();
    char tail[48];
    snprintf(tail, sizeof tail, "/Disk%02d_Part%02d/_recorder", disk, partition);
    return base + tail;
}

CWorkArea::Written CWorkArea::WriteTo(int disk, int partition, const std::string& folder,
                                      std::vector<std::string>* written, std::string* failure) {
    const std::vector<WorkFile> files = List(disk, partition);
    if (files.empty()) {
        *failure = "partition " + std::to_string(partition) + " of disk " + std::to_string(disk + 1) +
                   " is not a mounted recorder partition";
        return Written::NotMounted;
    }
    const std::string top = Folder(folder, disk, partition);
    if (!MakeDirs(top + "/player")) {
        *failure = top + "/player: the folder cannot be made";
        return Written::OutputFailed;
    }
    for (const WorkFile& f : files) {
        const std::string path = top + "/" + f.name;
        const Written r = copy_to(f, path, failure);
        if (r != Written::All) return r;
        written->push_back(path);
    }
    return Written::All;
}
