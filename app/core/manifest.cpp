#include "core/manifest.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "platform/fs.h"

namespace {

bool is_hex_digest(const std::string& s) {
    if (s.size() != 64) return false;
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// sha256sum's escaping: a name with a backslash or a line break is written
// with those escaped and the whole line starts with a backslash.
bool needs_escape(const std::string& path) { return path.find_first_of("\\\n\r") != std::string::npos; }

std::string escape(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += c;
        }
    }
    return out;
}

bool unescape(const std::string& text, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\') {
            *out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        if (text[i] == '\\') {
            *out += '\\';
        } else if (text[i] == 'n') {
            *out += '\n';
        } else if (text[i] == 'r') {
            *out += '\r';
        } else {
            return false;
        }
    }
    return true;
}

// The folder, open and exclusively locked while it lives.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder) : m_fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (m_fd >= 0 && flock(m_fd, LOCK_EX) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~FolderLock() {
        if (m_fd >= 0) close(m_fd);  // closing gives the lock back
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

CManifest::CManifest(std::string folder) : m_folder(std::move(folder)) {
    while (m_folder.size() > 1 && m_folder.back() == '/') m_folder.pop_back();
}

std::string CManifest::Line(const std::string& path, const Entry& entry) {
    const bool escaped = needs_escape(path);
    const std::string name = escaped ? escape(path) : path;
    std::string line;
    if (!entry.note.empty()) line += "# " + name + ": " + entry.note + "\n";
    line += (escaped ? "\\" : "") + entry.sha256 + "  " + name + "\n";
    return line;
}

std::map<std::string, CManifest::Entry> CManifest::Parse(const std::string& text) {
    std::map<std::string, Entry> entries;
    std::istringstream in(text);
    std::string line, comment;
    while (std::getline(in, line)) {
        if (line.rfind("# ", 0) == 0) {
            comment = line.substr(2);
            continue;
        }
        const bool escaped = !line.empty() && line[0] == '\\';
        const std::string body = escaped ? line.substr(1) : line;
        std::string path;
        if (body.size() > 66 && is_hex_digest(body.substr(0, 64)) && body[64] == ' ' &&
            (body[65] == ' ' || body[65] == '*') && (escaped ? unescape(body.substr(66), &path) : (path = body.substr(66), true))) {
            const std::string name = body.substr(66);
            Entry e{body.substr(0, 64), ""};
            if (comment.rfind(name + ": ", 0) == 0) e.note = comment.substr(name.size() + 2);
            entries[path] = e;
        }
        comment.clear();
    }
    return entries;
}

std::map<std::string, CManifest::Entry> CManifest::Read() const {
    std::ifstream in(m_folder + "/" + kFileName, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return Parse(text.str());
}

bool CManifest::Record(const std::string& path, const Entry& entry) { return Rewrite(path, &entry); }

bool CManifest::Remove(const std::string& path) { return Rewrite(path, nullptr); }

bool CManifest::Rewrite(const std::string& path, const Entry* entry) {
    FolderLock lock(m_folder);
    if (lock.fd() < 0) return false;
    std::map<std::string, Entry> entries = Read();
    if (entry == nullptr && entries.erase(path) == 0) return true;
    if (entry != nullptr) entries[path] = *entry;
    std::string text;
    for (const auto& [p, e] : entries) text += Line(p, e);
    const std::string final = m_folder + "/" + kFileName;
    const std::string temp = final + ".new";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = pc_write_all(fd, text) && fdatasync(fd) == 0;
    const int error = errno;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), final.c_str()) != 0) {
        const int saved = ok ? errno : error;
        unlink(temp.c_str());
        errno = saved;
        return false;
    }
    fsync(lock.fd());  // the rename itself is made durable
    return true;
}
