#include "core/digest.h"

#include <openssl/evp.h>

CDigest::CDigest(Kind kind) : m_ctx(EVP_MD_CTX_new()) {
    const EVP_MD* md = kind == Kind::Md5 ? EVP_md5() : kind == Kind::Sha1 ? EVP_sha1() : EVP_sha256();
    if (m_ctx != nullptr && EVP_DigestInit_ex(m_ctx, md, nullptr) != 1) {
        EVP_MD_CTX_free(m_ctx);
        m_ctx = nullptr;
    }
}

CDigest::~CDigest() { EVP_MD_CTX_free(m_ctx); }

void CDigest::Update(const void* data, size_t bytes) {
    if (m_ctx != nullptr) EVP_DigestUpdate(m_ctx, data, bytes);
}

std::string CDigest::Hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (m_ctx == nullptr || EVP_DigestFinal_ex(m_ctx, digest, &size) != 1) return "";
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; i++) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}
