// A split raw image: one raw image cut into segments NAME.001, NAME.002, ...
// (or NAME.000, ...), each as long as the first except the last. The set is
// found from its first segment; a gap in the numbering or a segment of the
// wrong length means the set is incomplete or damaged, and the segment at
// fault is named.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <set>

#include "DiskIOCtl.h"
#include "image.h"

namespace {

// A large image in small segments would need more descriptors than a process
// has; only the most recently used segments stay open.
constexpr size_t k_open_segments = 16;

struct segment {
    std::string path;
    uint64_t size = 0;
    int fd = -1;
};

class split_image : public ide_image {
public:
    explicit split_image(std::vector<segment> segments) : m_segments(std::move(segments)) {
        for (const segment& s : m_segments) m_size += s.size;
    }
    ~split_image() override {
        for (segment& s : m_segments) {
            if (s.fd >= 0) close(s.fd);
        }
    }
    split_image(const split_image&) = delete;
    split_image& operator=(const split_image&) = delete;

    uint64_t size() const override { return m_size; }
    int read_at(uint64_t offset, void* buf, size_t bytes) override;
    std::string kind() const override { return "split raw image"; }
    std::vector<std::string> files() const override {
        std::vector<std::string> paths;
        for (const segment& s : m_segments) paths.push_back(s.path);
        return paths;
    }

private:
    int open_segment(size_t index);

    std::vector<segment> m_segments;
    uint64_t m_size = 0;
    std::list<size_t> m_open;  // open segments, most recently used first
};

int split_image::open_segment(size_t index) {
    segment& s = m_segments[index];
    if (s.fd >= 0) {
        m_open.remove(index);
        m_open.push_front(index);
        return s.fd;
    }
    if (m_open.size() == k_open_segments) {
        close(m_segments[m_open.back()].fd);
        m_segments[m_open.back()].fd = -1;
        m_open.pop_back();
    }
    s.fd = open(s.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (s.fd >= 0) m_open.push_front(index);
    return s.fd;
}

int split_image::read_at(uint64_t offset, void* buf, size_t bytes) {
    if (offset > m_size || bytes > m_size - offset) return IDE_ERR_RANGE;
    auto* out = static_cast<unsigned char*>(buf);
    // Every segment but the last is as long as the first.
    const uint64_t step = m_segments.front().size;
    while (bytes > 0) {
        size_t index = static_cast<size_t>(std::min<uint64_t>(offset / step, m_segments.size() - 1));
        uint64_t inside = offset - index * step;
        size_t part = static_cast<size_t>(std::min<uint64_t>(bytes, m_segments[index].size - inside));
        int fd = open_segment(index);
        if (fd < 0) return IDE_ERR_IO;
        if (int rc = ide_pread_all(fd, out, part, inside); rc != 0) return rc;
        out += part;
        offset += part;
        bytes -= part;
    }
    return 0;
}

std::string segment_name(const std::string& stem, size_t width, uint64_t number) {
    std::string digits = std::to_string(number);
    return stem + std::string(width > digits.size() ? width - digits.size() : 0, '0') + digits;
}

// The numbers of the files in the stem's folder named stem + `width` digits.
std::set<uint64_t> numbers_on_disk(const std::string& stem, size_t width) {
    std::set<uint64_t> numbers;
    size_t slash = stem.rfind('/');
    std::string dir = slash == std::string::npos ? "." : stem.substr(0, slash + 1);
    std::string prefix = slash == std::string::npos ? stem : stem.substr(slash + 1);
    DIR* d = opendir(dir.c_str());
    if (!d) return numbers;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() != prefix.size() + width || name.compare(0, prefix.size(), prefix) != 0) continue;
        std::string digits = name.substr(prefix.size());
        if (digits.find_first_not_of("0123456789") == std::string::npos) numbers.insert(std::stoull(digits));
    }
    closedir(d);
    return numbers;
}

}  // namespace

std::unique_ptr<ide_image> ide_open_split(const std::string& first, ide_open_error* error) {
    const size_t dot = first.rfind('.');
    const std::string stem = first.substr(0, dot + 1);
    const size_t width = first.size() - dot - 1;
    const uint64_t first_number = std::stoull(first.substr(dot + 1));

    std::vector<segment> segments;
    for (uint64_t n = first_number;; n++) {
        std::string path = segment_name(stem, width, n);
        if (path.size() != first.size()) break;  // the numbering ran out of digits
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            if (errno == ENOENT && !segments.empty()) break;
            *error = {IDE_OPEN_UNREADABLE, path + ": " + std::strerror(errno)};
            return nullptr;
        }
        if (access(path.c_str(), R_OK) != 0) {
            *error = {IDE_OPEN_UNREADABLE, path + ": " + std::strerror(errno)};
            return nullptr;
        }
        segments.push_back({path, static_cast<uint64_t>(st.st_size)});
    }
    // A later segment beyond the first gap: the gap is a missing segment.
    const uint64_t next = first_number + segments.size();
    const std::set<uint64_t> present = numbers_on_disk(stem, width);
    if (present.upper_bound(next) != present.end()) {
        *error = {IDE_OPEN_INCOMPLETE,
                  "incomplete split image: segment " + segment_name(stem, width, next) + " is missing"};
        return nullptr;
    }
    for (size_t i = 1; i < segments.size(); i++) {
        const bool last = i + 1 == segments.size();
        if (segments[i].size == segments[0].size || (last && segments[i].size < segments[0].size)) continue;
        *error = {IDE_OPEN_INCOMPLETE, "damaged split image: segment " + segments[i].path + " holds " +
                                           std::to_string(segments[i].size) + " bytes where " +
                                           std::to_string(segments[0].size) + " were expected"};
        return nullptr;
    }
    if (segments[0].size == 0 && segments.size() > 1) {
        *error = {IDE_OPEN_INCOMPLETE, "damaged split image: segment " + segments[0].path + " is empty"};
        return nullptr;
    }
    return std::make_unique<split_image>(std::move(segments));
}
