#include "core/sourcefile.h"

#include <cstring>

std::unique_ptr<CSourceFile> CSourceFile::OpenPath(const std::string& adapterPath, uint64_t size) {
    KXFILE f = kx_fopen(adapterPath.c_str(), "rb");
    if (f == nullptr) return nullptr;
    std::unique_ptr<CSourceFile> file(new CSourceFile);
    file->m_file = f;
    file->m_size = size;
    if (kx_fsize(f) != static_cast<int64_t>(size)) return nullptr;
    return file;
}

std::unique_ptr<CSourceFile> CSourceFile::FromText(std::string text) {
    std::unique_ptr<CSourceFile> file(new CSourceFile);
    file->m_size = text.size();
    file->m_text = std::move(text);
    return file;
}

CSourceFile::~CSourceFile() {
    if (m_file != nullptr) kx_fclose(m_file);
}

int64_t CSourceFile::Read(void* buf, size_t n, uint64_t offset) {
    if (offset >= m_size) return 0;
    const size_t want = n < m_size - offset ? n : static_cast<size_t>(m_size - offset);
    if (m_file == nullptr) {
        memcpy(buf, m_text.data() + offset, want);
        return static_cast<int64_t>(want);
    }
    // A short read before the listed end is a sector the disk could not give.
    return kx_fpread(m_file, buf, want, offset) == want ? static_cast<int64_t>(want) : -1;
}
