// An Expert Witness Format image (NAME.E01, NAME.E02, ...) read through
// libewf. The set is found from its first segment by libewf's naming rules.
// libewf opens a set that lacks segments or holds a truncated one and reads
// the gaps as zeros, so the set is checked first: every segment's sections
// must chain to its end, carry its place in the set, and only the last may
// end with "done".
#include <fcntl.h>
#include <libewf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "DiskIOCtl.h"
#include "image.h"

namespace {

std::string error_text(libewf_error_t*& error) {
    char text[512] = "";
    if (error) {
        libewf_error_sprint(error, text, sizeof text);
        libewf_error_free(&error);
    }
    // libewf chains its messages one per line, innermost last.
    std::string s = text;
    size_t end = s.find_last_not_of("\n ");
    s = s.substr(0, end == std::string::npos ? 0 : end + 1);
    size_t nl = s.rfind('\n');
    return nl == std::string::npos ? s : s.substr(nl + 1);
}

std::string hex(const uint8_t* bytes, size_t n) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(two, sizeof two, "%02x", bytes[i]);
        s += two;
    }
    return s;
}

// The name of the segment that follows `path` in the EWF scheme: E01 .. E99,
// then EAA .. EZZ, then FAA ..., keeping the letters' case.
std::string next_segment_name(const std::string& path) {
    std::string name = path;
    if (name.size() < 3) return name;
    char* ext = &name[name.size() - 3];
    if (std::isdigit(static_cast<unsigned char>(ext[1])) && std::isdigit(static_cast<unsigned char>(ext[2]))) {
        int n = (ext[1] - '0') * 10 + (ext[2] - '0') + 1;
        if (n <= 99) {
            ext[1] = static_cast<char>('0' + n / 10);
            ext[2] = static_cast<char>('0' + n % 10);
        } else {
            const char a = std::isupper(static_cast<unsigned char>(ext[0])) ? 'A' : 'a';
            ext[1] = ext[2] = a;
        }
        return name;
    }
    for (int i = 2; i >= 0; i--) {
        const char a = std::isupper(static_cast<unsigned char>(ext[i])) ? 'A' : 'a';
        if (ext[i] != a + 25) {
            ext[i]++;
            break;
        }
        ext[i] = a;
    }
    return name;
}

class ewf_image : public ide_image {
public:
    ewf_image(libewf_handle_t* handle, std::vector<std::string> files, uint64_t size)
        : m_handle(handle), m_files(std::move(files)), m_size(size) {}
    ~ewf_image() override {
        libewf_handle_close(m_handle, nullptr);
        libewf_handle_free(&m_handle, nullptr);
    }
    ewf_image(const ewf_image&) = delete;
    ewf_image& operator=(const ewf_image&) = delete;

    uint64_t size() const override { return m_size; }
    int read_at(uint64_t offset, void* buf, size_t bytes) override {
        if (offset > m_size || bytes > m_size - offset) return IDE_ERR_RANGE;
        auto* out = static_cast<unsigned char*>(buf);
        while (bytes > 0) {
            ssize_t n = libewf_handle_read_random(m_handle, out, bytes, static_cast<off64_t>(offset), nullptr);
            if (n < 0) return IDE_ERR_IO;
            if (n == 0) return IDE_ERR_SHORT;
            out += n;
            offset += static_cast<uint64_t>(n);
            bytes -= static_cast<size_t>(n);
        }
        return 0;
    }
    std::string kind() const override { return "E01 image"; }
    std::vector<std::string> files() const override { return m_files; }
    std::string stored_md5() const override {
        uint8_t md5[16];
        return libewf_handle_get_md5_hash(m_handle, md5, sizeof md5, nullptr) == 1 ? hex(md5, sizeof md5) : "";
    }
    std::string stored_sha1() const override {
        uint8_t sha1[20];
        return libewf_handle_get_sha1_hash(m_handle, sha1, sizeof sha1, nullptr) == 1 ? hex(sha1, sizeof sha1) : "";
    }
    uint32_t checksum_errors() const override {
        uint32_t n = 0;
        return libewf_handle_get_number_of_checksum_errors(m_handle, &n, nullptr) == 1 ? n : 0;
    }

private:
    libewf_handle_t* m_handle;
    std::vector<std::string> m_files;
    uint64_t m_size;
};

// "" when the globbed files form a whole set, else why not, naming the file.
ide_open_error check_set(const std::vector<std::string>& files) {
    for (size_t i = 0; i < files.size(); i++) {
        int fd = open(files[i].c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) {
            ide_open_error e{IDE_OPEN_UNREADABLE, files[i] + ": " + std::strerror(errno)};
            if (fd >= 0) close(fd);
            return e;
        }
        const ide_ewf_segment seg = ide_ewf_check_segment(
            [fd](uint64_t at, void* buf, size_t n) { return ide_pread_all(fd, buf, n, at); },
            static_cast<uint64_t>(st.st_size));
        close(fd);
        if (seg.end == ide_ewf_end::damaged || seg.number != i + 1) {
            return {IDE_OPEN_INCOMPLETE, "damaged E01 image: segment " + files[i] + " is truncated or damaged"};
        }
        if (seg.end == ide_ewf_end::next && i + 1 == files.size()) {
            return {IDE_OPEN_INCOMPLETE,
                    "incomplete E01 image: segment " + next_segment_name(files[i]) + " is missing"};
        }
        if (seg.end == ide_ewf_end::done && i + 1 != files.size()) {
            return {IDE_OPEN_INCOMPLETE, "damaged E01 image: segment " + files[i] + " ends the set early"};
        }
    }
    return {};
}

}  // namespace

std::unique_ptr<ide_image> ide_open_ewf(const std::string& path, ide_open_error* error) {
    libewf_error_t* lerr = nullptr;
    char** names = nullptr;
    int count = 0;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &lerr) != 1) {
        *error = {IDE_OPEN_UNREADABLE, path + ": " + error_text(lerr)};
        return nullptr;
    }
    std::vector<std::string> files(names, names + count);
    libewf_glob_free(names, count, nullptr);
    if (*error = check_set(files); error->code != 0) return nullptr;

    libewf_handle_t* handle = nullptr;
    if (libewf_handle_initialize(&handle, &lerr) != 1) {
        *error = {IDE_OPEN_UNREADABLE, path + ": " + error_text(lerr)};
        return nullptr;
    }
    std::vector<char*> argv;
    for (std::string& f : files) argv.push_back(f.data());
    size64_t size = 0;
    if (libewf_handle_open(handle, argv.data(), count, LIBEWF_OPEN_READ, &lerr) != 1 ||
        libewf_handle_get_media_size(handle, &size, &lerr) != 1) {
        const std::string why = error_text(lerr);
        libewf_handle_free(&handle, nullptr);
        *error = {IDE_OPEN_INCOMPLETE, "damaged E01 image " + path + ": " + why};
        return nullptr;
    }
    return std::make_unique<ewf_image>(handle, std::move(files), size);
}
