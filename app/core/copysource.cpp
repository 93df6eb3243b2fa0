#include "core/copysource.h"

#include <algorithm>

#include "core/download.h"
#include "core/orphans.h"

CCopySource::CCopySource(const SearchResult& record) : m_record(record) {
    if (!record.orphan) m_file = kx_fopen(CDownloadJob::SourcePath(record).c_str(), "rb");
}

CCopySource::~CCopySource() {
    if (m_file != nullptr) kx_fclose(m_file);
}

bool CCopySource::IsOpen() const {
    return m_record.orphan ? !m_record.orphan->clusters.empty() : m_file != nullptr;
}

size_t CCopySource::Read(uint8_t* buffer, size_t size) {
    if (!m_record.orphan) return m_file != nullptr ? kx_fread(buffer, 1, size, m_file) : 0;
    const OrphanChain& chain = *m_record.orphan;
    const uint64_t total = m_record.entry.size / 512;
    if (m_sector >= total) return 0;
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(size / 512, total - m_sector));
    if (kx_orphan_read(m_record.disk, m_record.partition, chain.clusters.data(),
                       static_cast<uint32_t>(chain.clusters.size()), chain.lastSectors, m_sector, buffer,
                       count) != 0)
        return 0;
    m_sector += count;
    return static_cast<size_t>(count) * 512;
}

bool CCopySource::ReadSector(uint8_t* sector) {
    // A recording's handle reads through its buffer, whose whole window
    // would fail with one bad sector: the sector is read on its own.
    if (!m_record.orphan) return m_file != nullptr && kx_fread_sectors(sector, 512, m_file) == 512;
    return Read(sector, 512) == 512;
}

bool CCopySource::SkipSector() {
    if (!m_record.orphan) return m_file != nullptr && kx_fseek(m_file, 512, 1) == 0;
    if (m_sector >= m_record.entry.size / 512) return false;
    m_sector++;
    return true;
}
