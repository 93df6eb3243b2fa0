#include "core/report.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
#include <set>

#include <nlohmann/json.hpp>

#include "core/clockoffset.h"
#include "core/orphans.h"
#include "core/version.h"
#include "platform/fs.h"

namespace {

std::string Utc(int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    char text[32] = "";
    if (gmtime_r(&tt, &tm)) strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

uint32_t FirstCluster(const SearchResult& r) {
    if (r.orphan) return r.orphan->firstCluster;
    uint32_t cluster = 0;
    return RecordFirstCluster(r.entry.name, &cluster) ? cluster : 0;
}

// The recording's fields in report order; the JSON object and the CSV row
// are both made from it.
nlohmann::ordered_json RecordingJson(const ReportJob& job, const ReportRecording& rec) {
    const SearchResult& r = rec.record;
    const bool corrected = job.clockOffset != 0;
    return {{"type", "recording"},
            {"job_id", job.id},
            {"disk", r.disk + 1},
            {"partition", r.partition},
            {"channel", r.channel + 1},
            {"first_cluster", FirstCluster(r)},
            {"name", r.entry.name},
            {"recorder_start", FormatDateTime(RecorderStart(r))},
            {"recorder_end", FormatDateTime(RecorderEnd(r))},
            {"true_start", corrected ? FormatDateTime(TrueTime(RecorderStart(r), job.clockOffset)) : ""},
            {"true_end", corrected ? FormatDateTime(TrueTime(RecorderEnd(r), job.clockOffset)) : ""},
            {"size", r.entry.size},
            {"bytes", rec.bytes},
            {"sha256", rec.sha256},
            {"status", rec.status},
            {"reason", rec.reason},
            {"path", rec.path}};
}

nlohmann::ordered_json JobJson(const ReportJob& job, size_t recordings) {
    nlohmann::ordered_json sources = nlohmann::ordered_json::array();
    for (const ReportSource& s : job.sources) {
        sources.push_back({{"disk", s.disk + 1},
                           {"path", s.source.path},
                           {"kind", s.source.kind},
                           {"files", s.source.files},
                           {"bytes", s.source.bytes},
                           {"model", s.source.model},
                           {"serial", s.source.serial},
                           {"sha256", s.sha256},
                           {"stored_md5", s.source.stored_md5},
                           {"stored_sha1", s.source.stored_sha1},
                           {"verification", s.verification}});
    }
    return {{"type", "job"},
            {"job_id", job.id},
            {"version", VersionLine(job.program)},
            {"settings", job.settings},
            {"clock_offset", job.clockOffset},
            {"start_utc", Utc(job.start)},
            {"end_utc", Utc(job.end)},
            {"sources", sources},
            {"recordings", recordings}};
}

std::string CsvField(const nlohmann::ordered_json& value) {
    std::string text = value.is_string() ? value.get<std::string>() : value.dump();
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string CsvRow(const std::vector<std::string>& fields) {
    std::string row;
    for (size_t i = 0; i < fields.size(); i++) row += (i ? "," : "") + fields[i];
    return row + "\r\n";
}

}  // namespace

std::string NewJobId(int64_t now) {
    std::random_device random;
    const uint64_t bits = (static_cast<uint64_t>(random()) << 32) | random();
    std::string stamp = Utc(now);
    std::erase(stamp, '-');
    std::erase(stamp, ':');
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(bits));
    return stamp + "-" + hex;
}

std::vector<ReportSource> ReportSources(const std::vector<SearchResult>& records) {
    std::set<int> disks;
    for (const SearchResult& r : records) disks.insert(r.disk);
    std::vector<ReportSource> sources;
    for (int disk : disks) {
        ReportSource s;
        s.disk = disk;
        ide_disk_source(disk, &s.source);
        sources.push_back(s);
    }
    return sources;
}

std::vector<ReportRecording> ReportRecordings(const std::vector<SearchResult>& records,
                                              const std::vector<CopyOutcome>& outcomes) {
    std::vector<ReportRecording> recs;
    for (const CopyOutcome& o : outcomes) {
        recs.push_back({o.record, o.path, o.bytes, o.sha256, o.Whole() ? o.Status() : "not copied",
                        o.Whole() ? "" : DescribeFailure(o)});
    }
    for (size_t i = outcomes.size(); i < records.size(); i++) {
        recs.push_back({records[i], "", 0, "", "not copied", "the job was stopped before it"});
    }
    return recs;
}

bool AppendReport(const std::string& folder, const ReportJob& job, const std::vector<ReportRecording>& recordings,
                  std::string* error) {
    std::string lines = JobJson(job, recordings.size()).dump() + "\n", rows;
    for (const ReportRecording& rec : recordings) {
        const nlohmann::ordered_json item = RecordingJson(job, rec);
        lines += item.dump() + "\n";
        std::vector<std::string> fields;
        for (const auto& [key, value] : item.items()) {
            if (key != "type") fields.push_back(CsvField(value));
        }
        rows += CsvRow(fields);
    }
    const std::string jsonl = folder + "/tarvik-report.jsonl", csv = folder + "/tarvik-report.csv";
    const int jfd = open(jsonl.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (jfd < 0) {
        *error = jsonl + ": " + std::strerror(errno);
        return false;
    }
    // The lock on the JSON file guards both files; it ends with the close.
    while (flock(jfd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            *error = jsonl + ": " + std::strerror(errno);
            close(jfd);
            return false;
        }
    }
    const int cfd = open(csv.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    bool ok = cfd >= 0;
    if (ok && lseek(cfd, 0, SEEK_END) == 0) {
        std::vector<std::string> header;
        const nlohmann::ordered_json columns = RecordingJson(ReportJob{}, ReportRecording{});
        for (const auto& [key, value] : columns.items()) {
            if (key != "type") header.push_back(key);
        }
        rows = CsvRow(header) + rows;
    }
    ok = ok && pc_write_all(cfd, rows) && pc_write_all(jfd, lines);
    if (!ok) *error = (cfd < 0 ? csv : folder + "/tarvik-report.*") + ": " + std::strerror(errno);
    if (cfd >= 0 && close(cfd) != 0 && ok) {
        *error = csv + ": " + std::strerror(errno);
        ok = false;
    }
    close(jfd);
    return ok;
}
