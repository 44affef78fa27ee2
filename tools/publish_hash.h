// The hash text of a published file: its SHA-256 in lowercase hexadecimal.
#pragma once

#include <cstddef>
#include <string>

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
    // The digest of everything given to update(), or "" when the digest failed. Ends the hasher.
    std::string finish_hex();

  private:
    EVP_MD_CTX* context_;
    bool ok_;
};
