// SHA-256 of a stream of bytes given piece by piece (OpenSSL's digest), as the lowercase hexadecimal text
// that manifests and release signatures carry.
#pragma once

#include <cstddef>

typedef struct evp_md_ctx_st EVP_MD_CTX;

constexpr size_t sha256_hex_length = 64;

class sha256_hasher {
  public:
    sha256_hasher();  // ready for update(); ok() is false when the digest could not be set up
    ~sha256_hasher();
    sha256_hasher(const sha256_hasher&) = delete;
    sha256_hasher& operator=(const sha256_hasher&) = delete;

    bool ok() const { return ok_; }
    void update(const void* data, size_t length);
    // Ends the hasher: the digest of everything given to update() as sha256_hex_length digits and a NUL
    // into `hex`. 1, or 0 with `hex` empty when the digest failed at any point.
    int finish_hex(char hex[sha256_hex_length + 1]);
    // Starts again as if new. 1, or 0 when the digest could not be set up.
    int restart();

  private:
    EVP_MD_CTX* context_;
    bool ok_;
};
