#include "core/sourcehash.h"

#include <optional>
#include <vector>

#include "core/digest.h"

namespace {

// "MD5 matches", "SHA-1 does NOT match (stored ..., data ...)".
std::string Check(const char* name, const std::string& stored, const std::string& computed) {
    if (stored == computed) return std::string(name) + " matches";
    return std::string(name) + " does NOT match (stored " + stored + ", data " + computed + ")";
}

}  // namespace

SourceHash HashSource(int disk, const std::function<void(uint64_t, uint64_t)>& progress,
                      const std::function<bool()>& stop) {
    SourceHash result;
    ide_source source;
    if (!ide_disk_source(disk, &source)) {
        result.error = "the disk is not open";
        return result;
    }
    // MD5 and SHA-1 are computed only where the image stores them to check.
    CDigest sha256;
    std::optional<CDigest> md5, sha1;
    if (!source.stored_md5.empty()) md5.emplace(CDigest::Kind::Md5);
    if (!source.stored_sha1.empty()) sha1.emplace(CDigest::Kind::Sha1);
    std::vector<unsigned char> buffer(1u << 20);
    uint64_t done = 0;
    while (done < source.bytes) {
        if (stop()) {
            result.error = "stopped after " + std::to_string(done) + " bytes";
            return result;
        }
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), source.bytes - done));
        if (ide_read_image(disk, done, buffer.data(), n) != 0) {
            result.error = "the disk could not be read at byte " + std::to_string(done);
            return result;
        }
        sha256.Update(buffer.data(), n);
        if (md5) md5->Update(buffer.data(), n);
        if (sha1) sha1->Update(buffer.data(), n);
        done += n;
        progress(done, source.bytes);
    }
    result.sha256 = sha256.Hex();
    if (source.kind != "E01 image") return result;
    if (source.stored_md5.empty() && source.stored_sha1.empty()) {
        result.verification = "the E01 image stores no hash";
    } else {
        if (!source.stored_md5.empty()) result.verification = Check("stored MD5", source.stored_md5, md5->Hex());
        if (!source.stored_sha1.empty()) {
            result.verification += (result.verification.empty() ? "" : "; ") +
                                   Check("stored SHA-1", source.stored_sha1, sha1->Hex());
        }
    }
    if (const uint32_t bad = ide_disk_checksum_errors(disk); bad != 0) {
        result.verification += "; " + std::to_string(bad) + " chunk(s) failed their checksum";
    }
    return result;
}
