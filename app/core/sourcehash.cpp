#include "core/sourcehash.h"

#include <openssl/evp.h>

#include <memory>
#include <vector>

namespace {

using Digest = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

Digest Start(const EVP_MD* md) {
    Digest ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (ctx && EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) ctx.reset();
    return ctx;
}

std::string Finish(const Digest& ctx) {
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!ctx || EVP_DigestFinal_ex(ctx.get(), bytes, &n) != 1) return {};
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < n; i++) {
        hex += kHex[bytes[i] >> 4];
        hex += kHex[bytes[i] & 15];
    }
    return hex;
}

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
    Digest sha256 = Start(EVP_sha256());
    Digest md5 = source.stored_md5.empty() ? Digest(nullptr, &EVP_MD_CTX_free) : Start(EVP_md5());
    Digest sha1 = source.stored_sha1.empty() ? Digest(nullptr, &EVP_MD_CTX_free) : Start(EVP_sha1());
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
        for (const Digest* d : {&sha256, &md5, &sha1}) {
            if (*d) EVP_DigestUpdate(d->get(), buffer.data(), n);
        }
        done += n;
        progress(done, source.bytes);
    }
    result.sha256 = Finish(sha256);
    if (source.kind != "E01 image") return result;
    if (source.stored_md5.empty() && source.stored_sha1.empty()) {
        result.verification = "the E01 image stores no hash";
    } else {
        if (!source.stored_md5.empty()) result.verification = Check("stored MD5", source.stored_md5, Finish(md5));
        if (!source.stored_sha1.empty()) {
            result.verification += (result.verification.empty() ? "" : "; ") +
                                   Check("stored SHA-1", source.stored_sha1, Finish(sha1));
        }
    }
    if (const uint32_t bad = ide_disk_checksum_errors(disk); bad != 0) {
        result.verification += "; " + std::to_string(bad) + " chunk(s) failed their checksum";
    }
    return result;
}
