// Release signatures: the small signed text that vouches for one publication's remote manifest, and the
// public keys a launcher carries to check it. varnholt-publish writes the text beside the manifest; a
// launcher built with keys fetches it first and acts on nothing the manifest says unless it holds.
//
// The text, every line ended by a line feed, each once and in this order, nothing after the last:
//
//   varnholt-release-signature 1                format version
//   release 1765468800                          grows with every publication (1 or more)
//   expires 2027-01-10T15:04:05Z                UTC; refused from that second on
//   manifest-sha256 <64 lowercase hex digits>   of the compressed manifest, as served
//   manifest-length 7063                        its length in bytes
//   key-id 0123456789abcdef                     the first 8 bytes of the key's SHA-256, in hex
//   signature <88 Base64 digits>                Ed25519 over every byte before this line
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/bounded_string.h"
#include "support/sha256_hasher.h"

// The signature file is named after the manifest with this appended.
extern const char release_signature_suffix[];  // ".sig"

constexpr int32_t release_signature_max_bytes = 4096;
constexpr int32_t update_key_bytes = 32;
constexpr int32_t update_signature_bytes = 64;
constexpr int32_t update_key_id_length = 16;
constexpr int32_t max_update_keys = 16;

struct update_key {
    unsigned char raw[update_key_bytes];  // the Ed25519 public key
    char id[update_key_id_length + 1];
};

struct update_key_set {
    int32_t count = 0;
    update_key keys[max_update_keys];
};

// Reads a comma-separated list of keys, each the Base64 of a raw 32-byte Ed25519 public key (blanks
// around the commas are allowed). 1 with `keys` filled, or 0 with `why` saying which entry is wrong. An
// empty list is 1 with no keys.
int parse_update_keys(const char* list, update_key_set& keys, bounded_string& why);

// The key id of a raw public key: the first 8 bytes of its SHA-256 as 16 lowercase hex digits. 1, or 0
// when the digest failed.
int update_key_id(const unsigned char raw[update_key_bytes], char id[update_key_id_length + 1]);

struct release_signature {
    int64_t release = 0;
    int64_t expires = 0;  // seconds since 1970-01-01T00:00:00Z
    char manifest_sha256[sha256_hex_length + 1] = {};
    int64_t manifest_length = 0;
    char key_id[update_key_id_length + 1] = {};
};

enum release_signature_verdict {
    release_signature_valid = 0,
    release_signature_malformed,      // not the text above
    release_signature_unknown_key,    // its key id is none of the keys
    release_signature_bad_signature,  // the key with its id does not verify it
    release_signature_expired,        // its expiry time has come
    release_signature_rollback,       // its release is below the one accepted before
};

// Checks a fetched signature text of `length` bytes: its form, then the signature with the key of its key
// id, then its expiry against `now` and its release against `accepted` (the highest release this
// installation accepted before, 0 for none; the same release again is fine). The fields are filled as far
// as they were read; `detail` says what failed as a clause for messages ("the release signature expired
// at 2027-01-10T14:40:00Z").
release_signature_verdict check_release_signature(const char* text, int32_t length,
                                                  const update_key_set& keys, int64_t now, int64_t accepted,
                                                  release_signature& fields, bounded_string& detail);

// The signed lines of `fields` (all but the signature line), for the publisher to sign. 1, or 0 when a
// field cannot be written (a release below 1, a negative length, a time outside years 1970 to 9999).
int format_release_signature_body(const release_signature& fields, bounded_string& text);

// Appends the signature line for the 64 signature bytes.
void append_release_signature_line(bounded_string& text,
                                   const unsigned char signature[update_signature_bytes]);

// "YYYY-MM-DDTHH:MM:SSZ" for seconds since the epoch (years 1970 to 9999): 1, or 0.
int format_utc_time(int64_t seconds, bounded_string& text);

typedef struct evp_pkey_st EVP_PKEY;

// The raw public key and the key id of an Ed25519 key (private or public). 1, or 0 when it has none.
int update_key_of(EVP_PKEY* key, update_key& public_key);

// The whole signature text for the compressed manifest `manifest` of `length` bytes, signed with the
// Ed25519 private `key` as publishers sign: the fields' release and expiry as given, their hash, length
// and key id filled in here. 1 with `text` filled, or 0 when the key, a digest or a field failed.
int sign_release_signature(EVP_PKEY* key, const void* manifest, size_t length, release_signature& fields,
                           bounded_string& text);
