// Signing keys and release signatures of varnholt-publish. A signed publication is the manifest and,
// beside it, the release signature (updater/release_signature.h) that vouches for its bytes; launchers
// built with the matching public key refuse a manifest without one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

typedef struct evp_pkey_st EVP_PKEY;

struct signing_key_deleter {
    void operator()(EVP_PKEY* key) const;
};
using signing_key = std::unique_ptr<EVP_PKEY, signing_key_deleter>;

constexpr int default_signature_days = 30;
constexpr int max_signature_days = 36500;

// Writes a new Ed25519 private key to `path` as PKCS#8 PEM, mode 0600; never over an existing file.
// 1 with the Base64 public key in `public_key`, or 0 after reporting why.
int generate_signing_key(const char* path, std::string& public_key);

// Loads the Ed25519 private key at `path` (PKCS#8 PEM, as --keygen or `openssl genpkey -algorithm
// ed25519` write it). Refuses a key file that other users may read or write. Null after reporting why.
signing_key load_signing_key(const char* path);

// The Base64 of the raw public key, as VARNHOLT_UPDATE_KEYS takes it, and its key id; "" on failure.
std::string signing_public_key(EVP_PKEY* key);
std::string signing_key_id(EVP_PKEY* key);

// The release of the signature file at `path`: 0 when there is none, -1 after reporting that it cannot
// be read or is damaged (its release then cannot be known to grow).
int64_t published_release(const std::string& path);

// The release the next publication gets: above `previous`, and at least the current time in seconds, so
// that a publication into a fresh directory still follows one made elsewhere before.
int64_t next_release(int64_t previous, int64_t now);

// Signs `manifest` (the compressed bytes as published) as `release`, valid until `expires`, and writes
// the signature file to `path` through a temporary renamed over it. 1, or 0 after reporting why.
int write_release_signature(const std::string& path, EVP_PKEY* key, int64_t release, int64_t expires,
                            const std::string& manifest);
