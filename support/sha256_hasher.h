// SHA-256 of a stream of bytes given piece by piece (OpenSSL's digest), as the lowercase hexadecimal text
// that manifests and release signatures carry.
#pragma once

#include <cstddef>
#include <memory>

typedef struct evp_md_ctx_st EVP_MD_CTX;

constexpr size_t sha256_hex_length = 64;

class sha256_hasher {
  public:
    enum class mode {
        // update() hashes the bytes before it returns.
        in_caller,
        // update() copies the bytes into one of a few 64 KiB blocks and a thread of the hasher's own
        // hashes the full ones, so that hashing a large download overlaps the reads and writes that fetch
        // it instead of adding to them. The digest is the same; a hasher whose thread cannot be started
        // hashes in the caller.
        on_own_thread,
    };

    explicit sha256_hasher(mode how = mode::in_caller);  // ok() is false when the digest could not be set up
    ~sha256_hasher();                                    // waits for its thread to finish
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
    struct pipeline;
    void digest(const void* data, size_t length);
    int start_pipeline();
    void stop_pipeline();

    EVP_MD_CTX* context_;
    bool ok_;
    mode how_;
    std::unique_ptr<pipeline> pipeline_;
};
