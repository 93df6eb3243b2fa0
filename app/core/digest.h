// A running hash of bytes as they pass, through OpenSSL's libcrypto:
// SHA-256 for the copies' manifest and the source disks, MD5 and SHA-1 to
// check the hashes an E01 image stores.
#pragma once

#include <cstddef>
#include <string>

struct evp_md_ctx_st;

class CDigest {
public:
    enum class Kind { Sha256, Md5, Sha1 };

    explicit CDigest(Kind kind = Kind::Sha256);
    ~CDigest();
    CDigest(const CDigest&) = delete;
    CDigest& operator=(const CDigest&) = delete;

    void Update(const void* data, size_t bytes);
    // Ends the hash: its lowercase hex digits, "" when libcrypto failed.
    std::string Hex();

private:
    evp_md_ctx_st* m_ctx;
};
