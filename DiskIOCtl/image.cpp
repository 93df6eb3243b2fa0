// Choosing the backend of a disk path, and the whole-transfer helpers the
// file-based backends share.
#include "image.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "DiskIOCtl.h"

namespace {

// Every EWF segment file begins with this signature ("EVF" and a fixed tail).
bool has_ewf_signature(const std::string& path) {
    static const unsigned char k_signature[8] = {'E', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char head[8];
    bool match = ide_pread_all(fd, head, sizeof head, 0) == 0 && std::memcmp(head, k_signature, sizeof head) == 0;
    close(fd);
    return match;
}

// A first split segment: the last extension is three or more digits whose
// value is 0 or 1 ("disk.001", "disk.img.000").
bool is_first_split_segment(const std::string& path) {
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.size() - dot - 1 < 3 || path.find('/', dot) != std::string::npos) return false;
    std::string digits = path.substr(dot + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
    std::string value = digits.substr(std::min(digits.find_first_not_of('0'), digits.size()));
    return value.empty() || value == "1";
}

template <typename Op>
int move_all(Op op, size_t bytes) {
    size_t done = 0;
    while (done < bytes) {
        ssize_t n = op(done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return IDE_ERR_IO;
        }
        if (n == 0) return IDE_ERR_SHORT;
        done += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

int ide_image::write_at(uint64_t, const void*, size_t) { return IDE_ERR_IO; }

int ide_pread_all(int fd, void* buf, size_t bytes, uint64_t offset) {
    auto* p = static_cast<unsigned char*>(buf);
    return move_all([&](size_t done) { return pread(fd, p + done, bytes - done, static_cast<off_t>(offset + done)); },
                    bytes);
}

int ide_pwrite_all(int fd, const void* buf, size_t bytes, uint64_t offset) {
    const auto* p = static_cast<const unsigned char*>(buf);
    return move_all([&](size_t done) { return pwrite(fd, p + done, bytes - done, static_cast<off_t>(offset + done)); },
                    bytes);
}

std::unique_ptr<ide_image> ide_open_image(const std::string& path, bool want_write, ide_open_error* error) {
    if (has_ewf_signature(path)) return ide_open_ewf(path, error);
    if (is_first_split_segment(path)) return ide_open_split(path, error);
    return ide_open_plain(path, want_write, error);
}

int ide_probe_image(const std::string& path, std::string* message) {
    ide_open_error error;
    if (ide_open_image(path, false, &error)) return 0;
    *message = error.message;
    return error.code;
}
