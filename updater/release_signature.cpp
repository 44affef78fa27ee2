#include "updater/release_signature.h"

#include <openssl/evp.h>

#include <cstring>
#include <ctime>

#include "support/text_utils.h"

const char release_signature_suffix[] = ".sig";

namespace {

const char format_keyword[] = "varnholt-release-signature";
constexpr int format_version = 1;
constexpr int32_t signature_base64_length = 88;
constexpr int32_t key_base64_length = 44;

// One line of the text being read: the bytes after "<name> " up to the line feed.
struct line_reader {
    const char* at;
    const char* end;
    int32_t number = 0;

    // The value of the next line if it is "<name> <value>\n"; null otherwise.
    const char* take(const char* name, size_t* value_length) {
        ++number;
        const char* line_end = static_cast<const char*>(memchr(at, '\n', static_cast<size_t>(end - at)));
        size_t name_length = strlen(name);
        if (line_end == nullptr || static_cast<size_t>(line_end - at) <= name_length ||
            memcmp(at, name, name_length) != 0 || at[name_length] != ' ') {
            return nullptr;
        }
        const char* value = at + name_length + 1;
        *value_length = static_cast<size_t>(line_end - value);
        at = line_end + 1;
        return value;
    }
};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal without sign or leading zeros, at most 18 digits (so it fits an int64_t).
bool parse_decimal(const char* text, size_t length, int64_t* value) {
    if (length == 0 || length > 18 || (text[0] == '0' && length > 1)) {
        return false;
    }
    int64_t v = 0;
    for (size_t i = 0; i < length; ++i) {
        if (!is_digit(text[i])) {
            return false;
        }
        v = v * 10 + (text[i] - '0');
    }
    *value = v;
    return true;
}

bool parse_lower_hex(const char* text, size_t length, size_t expected, char* out) {
    if (length != expected) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (!is_digit(text[i]) && !(text[i] >= 'a' && text[i] <= 'f')) {
            return false;
        }
    }
    memcpy(out, text, length);
    out[length] = '\0';
    return true;
}

int two_digits(const char* text) {
    return (text[0] - '0') * 10 + (text[1] - '0');
}

// "YYYY-MM-DDTHH:MM:SSZ": only a time that formats back to the same text is one.
bool parse_utc_time(const char* text, size_t length, int64_t* seconds) {
    static const char shape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (length != sizeof shape - 1) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (shape[i] == 'd' ? !is_digit(text[i]) : text[i] != shape[i]) {
            return false;
        }
    }
    tm fields{};
    fields.tm_year = two_digits(text) * 100 + two_digits(text + 2) - 1900;
    fields.tm_mon = two_digits(text + 5) - 1;
    fields.tm_mday = two_digits(text + 8);
    fields.tm_hour = two_digits(text + 11);
    fields.tm_min = two_digits(text + 14);
    fields.tm_sec = two_digits(text + 17);
    time_t t = timegm(&fields);
    bounded_string again;
    if (!format_utc_time(static_cast<int64_t>(t), again) || memcmp(again.c_str(), text, length) != 0) {
        return false;  // 2027-02-30 or 25:00 normalise into another text
    }
    *seconds = static_cast<int64_t>(t);
    return true;
}

release_signature_verdict malformed(bounded_string& detail, const line_reader& lines, const char* what) {
    detail.clear();
    detail.append_printf("the release signature is malformed (line %d is not %s)", lines.number, what);
    return release_signature_malformed;
}

bool verify_ed25519(const update_key& key, const unsigned char* signature, const char* message,
                    size_t length) {
    EVP_PKEY* public_key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.raw, sizeof key.raw);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool valid = public_key != nullptr && context != nullptr &&
                 EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, public_key) == 1 &&
                 EVP_DigestVerify(context, signature, update_signature_bytes,
                                  reinterpret_cast<const unsigned char*>(message), length) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(public_key);
    return valid;
}

}  // namespace

int update_key_id(const unsigned char raw[update_key_bytes], char id[update_key_id_length + 1]) {
    sha256_hasher hasher;
    hasher.update(raw, update_key_bytes);
    char hex[sha256_hex_length + 1];
    id[0] = '\0';
    if (!hasher.finish_hex(hex)) {
        return 0;
    }
    memcpy(id, hex, update_key_id_length);
    id[update_key_id_length] = '\0';
    return 1;
}

int parse_update_keys(const char* list, update_key_set& keys, bounded_string& why) {
    keys.count = 0;
    why.clear();
    if (list == nullptr) {
        return 1;
    }
    const char* p = list;
    for (int32_t entry = 1;; ++entry) {
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
        const char* start = p;
        while (*p != '\0' && *p != ',' && *p != ' ' && *p != '\t') {
            ++p;
        }
        const char* stop = p;
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
        bool last = *p == '\0';
        if (start == stop && last && entry == 1) {
            return 1;  // no keys at all
        }
        if (*p != ',' && !last) {
            why.append_printf("key %d has a blank inside", entry);
            return 0;
        }
        if (keys.count == max_update_keys) {
            why.append_printf("more than %d keys", max_update_keys);
            return 0;
        }
        update_key& key = keys.keys[keys.count];
        int length = static_cast<int>(stop - start);
        if (length != key_base64_length ||
            base64_decode(start, length, key.raw, sizeof key.raw) != update_key_bytes) {
            why.append_printf("key %d is not the Base64 of 32 bytes", entry);
            return 0;
        }
        if (!update_key_id(key.raw, key.id)) {
            why.append_printf("key %d has no key id: the SHA-256 digest failed", entry);
            return 0;
        }
        ++keys.count;
        if (last) {
            return 1;
        }
        ++p;  // the comma
    }
}

release_signature_verdict check_release_signature(const char* text, int32_t length,
                                                  const update_key_set& keys, int64_t now, int64_t accepted,
                                                  release_signature& fields, bounded_string& detail) {
    detail.clear();
    fields = release_signature{};
    if (text == nullptr || length <= 0 || length > release_signature_max_bytes) {
        detail.append_printf("the release signature is malformed (it has %d bytes)", length);
        return release_signature_malformed;
    }
    if (memchr(text, '\0', static_cast<size_t>(length)) != nullptr) {
        detail.append("the release signature is malformed (it holds a NUL byte)");
        return release_signature_malformed;
    }
    line_reader lines{text, text + length};
    size_t n = 0;
    const char* value = lines.take(format_keyword, &n);
    int64_t version = 0;
    if (value == nullptr || !parse_decimal(value, n, &version) || version != format_version) {
        return malformed(detail, lines, "'varnholt-release-signature 1'");
    }
    value = lines.take("release", &n);
    if (value == nullptr || !parse_decimal(value, n, &fields.release) || fields.release < 1) {
        return malformed(detail, lines, "'release <number>'");
    }
    value = lines.take("expires", &n);
    if (value == nullptr || !parse_utc_time(value, n, &fields.expires)) {
        return malformed(detail, lines, "'expires YYYY-MM-DDTHH:MM:SSZ'");
    }
    value = lines.take("manifest-sha256", &n);
    if (value == nullptr || !parse_lower_hex(value, n, sha256_hex_length, fields.manifest_sha256)) {
        return malformed(detail, lines, "'manifest-sha256 <64 hex digits>'");
    }
    value = lines.take("manifest-length", &n);
    if (value == nullptr || !parse_decimal(value, n, &fields.manifest_length)) {
        return malformed(detail, lines, "'manifest-length <bytes>'");
    }
    value = lines.take("key-id", &n);
    if (value == nullptr || !parse_lower_hex(value, n, update_key_id_length, fields.key_id)) {
        return malformed(detail, lines, "'key-id <16 hex digits>'");
    }
    size_t signed_length = static_cast<size_t>(lines.at - text);
    value = lines.take("signature", &n);
    unsigned char signature[update_signature_bytes + 2];
    if (value == nullptr || n != signature_base64_length ||
        base64_decode(value, static_cast<int>(n), signature, sizeof signature) != update_signature_bytes) {
        return malformed(detail, lines, "'signature <Base64 of 64 bytes>'");
    }
    if (lines.at != lines.end) {
        detail.append("the release signature is malformed (it goes on after the signature line)");
        return release_signature_malformed;
    }

    const update_key* key = nullptr;
    for (int32_t i = 0; i < keys.count && key == nullptr; ++i) {
        if (strcmp(keys.keys[i].id, fields.key_id) == 0) {
            key = &keys.keys[i];
        }
    }
    if (key == nullptr) {
        detail.append_printf("the release signature is by key %s, which this launcher does not carry",
                             fields.key_id);
        return release_signature_unknown_key;
    }
    if (!verify_ed25519(*key, signature, text, signed_length)) {
        detail.append_printf("the release signature does not verify with key %s", fields.key_id);
        return release_signature_bad_signature;
    }
    if (now >= fields.expires) {
        detail.append("the release signature expired at ");
        format_utc_time(fields.expires, detail);
        return release_signature_expired;
    }
    if (fields.release < accepted) {
        detail.append_printf("release %lld is older than release %lld, installed before",
                             static_cast<long long>(fields.release), static_cast<long long>(accepted));
        return release_signature_rollback;
    }
    return release_signature_valid;
}

int format_utc_time(int64_t seconds, bounded_string& text) {
    // 253402300799 is 9999-12-31T23:59:59Z.
    if (seconds < 0 || seconds > 253402300799LL) {
        return 0;
    }
    time_t t = static_cast<time_t>(seconds);
    tm fields{};
    if (gmtime_r(&t, &fields) == nullptr) {
        return 0;
    }
    text.append_printf("%04d-%02d-%02dT%02d:%02d:%02dZ", fields.tm_year + 1900, fields.tm_mon + 1,
                       fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    return 1;
}

int format_release_signature_body(const release_signature& fields, bounded_string& text) {
    text.clear();
    if (fields.release < 1 || fields.manifest_length < 0 ||
        strlen(fields.manifest_sha256) != sha256_hex_length ||
        strlen(fields.key_id) != update_key_id_length) {
        return 0;
    }
    text.append_printf("%s %d\nrelease %lld\nexpires ", format_keyword, format_version,
                       static_cast<long long>(fields.release));
    if (!format_utc_time(fields.expires, text)) {
        text.clear();
        return 0;
    }
    text.append_printf("\nmanifest-sha256 %s\nmanifest-length %lld\nkey-id %s\n", fields.manifest_sha256,
                       static_cast<long long>(fields.manifest_length), fields.key_id);
    return 1;
}

int update_key_of(EVP_PKEY* key, update_key& public_key) {
    size_t length = sizeof public_key.raw;
    return EVP_PKEY_get_raw_public_key(key, public_key.raw, &length) == 1 &&
           length == sizeof public_key.raw && update_key_id(public_key.raw, public_key.id);
}

int sign_release_signature(EVP_PKEY* key, const void* manifest, size_t length, release_signature& fields,
                           bounded_string& text) {
    text.clear();
    update_key public_key;
    sha256_hasher hasher;
    hasher.update(manifest, length);
    if (!update_key_of(key, public_key) || !hasher.finish_hex(fields.manifest_sha256)) {
        return 0;
    }
    fields.manifest_length = static_cast<int64_t>(length);
    memcpy(fields.key_id, public_key.id, sizeof fields.key_id);
    if (!format_release_signature_body(fields, text)) {
        return 0;
    }
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    unsigned char signature[update_signature_bytes];
    size_t signature_length = sizeof signature;
    bool signed_ok = context != nullptr && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1 &&
                     EVP_DigestSign(context, signature, &signature_length,
                                    reinterpret_cast<const unsigned char*>(text.c_str()),
                                    static_cast<size_t>(text.len)) == 1 &&
                     signature_length == sizeof signature;
    EVP_MD_CTX_free(context);
    if (!signed_ok) {
        text.clear();
        return 0;
    }
    append_release_signature_line(text, signature);
    return 1;
}

void append_release_signature_line(bounded_string& text,
                                   const unsigned char signature[update_signature_bytes]) {
    text.append("signature ");
    base64_append(text, signature, update_signature_bytes);
    text.append("\n");
}
