#include "updater/release_signature.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

#include "support/text_utils.h"

namespace {

constexpr int64_t release_time = 1797000000;  // 2026-12-11T14:40:00Z

// A fresh Ed25519 key pair made by the test, and the signed text for it.
class signer {
  public:
    signer() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free) {
        size_t length = update_key_bytes;
        EXPECT_EQ(EVP_PKEY_get_raw_public_key(key_.get(), public_key.raw, &length), 1);
        EXPECT_EQ(update_key_id(public_key.raw, public_key.id), 1);
    }

    std::string base64_public_key() const {
        bounded_string text;
        base64_append(text, public_key.raw, update_key_bytes);
        return text.c_str();
    }

    // The signed lines of `fields` (key id filled in) followed by their signature line.
    std::string sign(release_signature fields) const {
        memcpy(fields.key_id, public_key.id, sizeof fields.key_id);
        bounded_string body;
        EXPECT_EQ(format_release_signature_body(fields, body), 1);
        return body.c_str() + signature_line(body.c_str());
    }

    std::string signature_line(const std::string& body) const {
        std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        unsigned char signature[update_signature_bytes];
        size_t length = sizeof signature;
        EXPECT_EQ(EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get()), 1);
        EXPECT_EQ(EVP_DigestSign(context.get(), signature, &length,
                                 reinterpret_cast<const unsigned char*>(body.data()), body.size()),
                  1);
        bounded_string line;
        append_release_signature_line(line, signature);
        return line.c_str();
    }

    update_key public_key{};

  private:
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key_;
};

release_signature publication(int64_t release) {
    release_signature fields;
    fields.release = release;
    fields.expires = release_time + 30 * 86400;
    memcpy(fields.manifest_sha256, std::string(64, 'a').c_str(), 65);
    fields.manifest_length = 7063;
    return fields;
}

update_key_set keys_of(std::initializer_list<const signer*> signers) {
    update_key_set keys;
    for (const signer* s : signers) {
        keys.keys[keys.count++] = s->public_key;
    }
    return keys;
}

struct checked {
    release_signature_verdict verdict;
    release_signature fields;
    std::string detail;
};

checked check(const std::string& text, const update_key_set& keys, int64_t now = release_time,
              int64_t accepted = 0) {
    checked c;
    bounded_string detail;
    c.verdict = check_release_signature(text.data(), static_cast<int32_t>(text.size()), keys, now, accepted,
                                        c.fields, detail);
    c.detail = detail.c_str();
    return c;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(ReleaseSignature, SignedTextReadsBackWithItsFields) {
    signer a;
    std::string text = a.sign(publication(42));
    EXPECT_EQ(text.substr(0, text.rfind("signature ")),
              "varnholt-release-signature 1\n"
              "release 42\n"
              "expires 2027-01-10T14:40:00Z\n"
              "manifest-sha256 " +
                  std::string(64, 'a') +
                  "\n"
                  "manifest-length 7063\n"
                  "key-id " +
                  std::string(a.public_key.id) + "\n");
    checked c = check(text, keys_of({&a}));
    EXPECT_EQ(c.verdict, release_signature_valid) << c.detail;
    EXPECT_EQ(c.fields.release, 42);
    EXPECT_EQ(c.fields.expires, release_time + 30 * 86400);
    EXPECT_STREQ(c.fields.manifest_sha256, std::string(64, 'a').c_str());
    EXPECT_EQ(c.fields.manifest_length, 7063);
}

// Each way the signed text can be attacked, with what the check must answer.
TEST(ReleaseSignature, RefusesEveryAttackForItsCause) {
    signer a, b;
    const update_key_set keys = keys_of({&a});
    const std::string good = a.sign(publication(42));
    const std::string body = good.substr(0, good.rfind("signature "));
    struct attack {
        const char* name;
        std::string text;
        int64_t now;
        int64_t accepted;
        release_signature_verdict verdict;
        const char* detail;
    } attacks[] = {
        {"release raised after signing", replaced(good, "release 42", "release 43"), release_time, 0,
         release_signature_bad_signature, "the release signature does not verify with key "},
        {"manifest hash changed", replaced(good, "sha256 aaaa", "sha256 baaa"), release_time, 0,
         release_signature_bad_signature, "the release signature does not verify with key "},
        {"expiry moved", replaced(good, "2027-01-10", "2028-01-10"), release_time, 0,
         release_signature_bad_signature, "the release signature does not verify with key "},
        {"signature of another text", body + a.signature_line(replaced(body, "7063", "7064")), release_time,
         0, release_signature_bad_signature, "the release signature does not verify with key "},
        {"another key's signature under this key's id", body + b.signature_line(body), release_time, 0,
         release_signature_bad_signature, "the release signature does not verify with key "},
        {"signed by a key the launcher lacks", b.sign(publication(42)), release_time, 0,
         release_signature_unknown_key, "the release signature is by key "},
        {"expired this second", good, release_time + 30 * 86400, 0, release_signature_expired,
         "the release signature expired at 2027-01-10T14:40:00Z"},
        {"older than the accepted release", good, release_time, 43, release_signature_rollback,
         "release 42 is older than release 43, installed before"},
    };
    for (const attack& t : attacks) {
        checked c = check(t.text, keys, t.now, t.accepted);
        EXPECT_EQ(c.verdict, t.verdict) << t.name << ": " << c.detail;
        EXPECT_EQ(c.detail.rfind(t.detail, 0), 0u) << t.name << ": " << c.detail;
    }
    EXPECT_EQ(check(good, keys, release_time + 30 * 86400 - 1, 42).verdict, release_signature_valid)
        << "the last second before expiry, the same release again";
}

TEST(ReleaseSignature, RefusesTextsOfAnyOtherForm) {
    signer a;
    const update_key_set keys = keys_of({&a});
    const std::string good = a.sign(publication(42));
    struct form {
        const char* name;
        std::string text;
        const char* detail;
    } forms[] = {
        {"empty", "", "it has 0 bytes"},
        {"longer than 4 KiB", good + std::string(4097 - good.size(), '\n'), "it has 4097 bytes"},
        {"a NUL byte", replaced(good, "release 42", std::string("release 42\0", 11)), "it holds a NUL byte"},
        {"format 2", replaced(good, "signature 1\n", "signature 2\n"), "line 1 is not"},
        {"release 0", replaced(good, "release 42", "release 0"), "line 2 is not"},
        {"release with a leading zero", replaced(good, "release 42", "release 042"), "line 2 is not"},
        {"release with a sign", replaced(good, "release 42", "release +42"), "line 2 is not"},
        {"release of 19 digits", replaced(good, "release 42", "release 1000000000000000000"),
         "line 2 is not"},
        {"a date that does not exist", replaced(good, "2027-01-10", "2027-02-30"), "line 3 is not"},
        {"a time without Z", replaced(good, "14:40:00Z", "14:40:00 "), "line 3 is not"},
        {"an hour of 24", replaced(good, "T14:", "T24:"), "line 3 is not"},
        {"uppercase hex", replaced(good, "sha256 aaaa", "sha256 AAAA"), "line 4 is not"},
        {"a short hash", replaced(good, "sha256 aaaa", "sha256 aaa"), "line 4 is not"},
        {"a negative length", replaced(good, "length 7063", "length -7063"), "line 5 is not"},
        {"lines swapped",
         replaced(good, "release 42\nexpires 2027-01-10T14:40:00Z\n",
                  "expires 2027-01-10T14:40:00Z\nrelease 42\n"),
         "line 2 is not"},
        {"a line missing", replaced(good, "manifest-length 7063\n", ""), "line 5 is not"},
        {"carriage returns", replaced(good, "release 42\n", "release 42\r\n"), "line 2 is not"},
        {"blank instead of the space", replaced(good, "release 42", "release\t42"), "line 2 is not"},
        {"no line feed at the end", good.substr(0, good.size() - 1), "line 7 is not"},
        {"a short signature", replaced(good, "\nsignature ", "\nsignature AAAA"), "line 7 is not"},
        {"a line after the signature", good + "release 43\n", "it goes on after the signature line"},
    };
    for (const form& f : forms) {
        checked c = check(f.text, keys);
        EXPECT_EQ(c.verdict, release_signature_malformed) << f.name;
        EXPECT_EQ(c.detail.rfind(std::string("the release signature is malformed (") + f.detail, 0), 0u)
            << f.name << ": " << c.detail;
    }
}

// An operator rotates keys by shipping launchers that carry both before signing with the new one.
TEST(ReleaseSignature, ALauncherWithTwoKeysAcceptsEither) {
    signer old_key, new_key, other;
    update_key_set keys;
    bounded_string why;
    ASSERT_EQ(parse_update_keys((old_key.base64_public_key() + " , " + new_key.base64_public_key()).c_str(),
                                keys, why),
              1)
        << why.c_str();
    ASSERT_EQ(keys.count, 2);
    EXPECT_EQ(check(old_key.sign(publication(1)), keys).verdict, release_signature_valid);
    EXPECT_EQ(check(new_key.sign(publication(2)), keys).verdict, release_signature_valid);
    EXPECT_EQ(check(other.sign(publication(3)), keys).verdict, release_signature_unknown_key);
}

TEST(ReleaseSignature, KeyListsAreReadWhole) {
    signer a;
    const std::string k = a.base64_public_key();
    std::string seventeen = k;
    for (int i = 1; i < 17; ++i) {
        seventeen += "," + k;
    }
    struct list_case {
        std::string list;
        int result;
        int count;
        const char* why;
    } cases[] = {
        {"", 1, 0, ""},
        {"  ", 1, 0, ""},
        {k, 1, 1, ""},
        {k + "," + k, 1, 2, ""},
        {k + ",", 0, 1, "key 2 is not the Base64 of 32 bytes"},
        {k + ",," + k, 0, 1, "key 2 is not the Base64 of 32 bytes"},
        {k + " " + k, 0, 0, "key 1 has a blank inside"},
        {k.substr(0, 40) + "AA==", 0, 0, "key 1 is not the Base64 of 32 bytes"},  // 31 bytes
        {k.substr(1), 0, 0, "key 1 is not the Base64 of 32 bytes"},
        {seventeen, 0, 16, "more than 16 keys"},
    };
    for (const list_case& c : cases) {
        update_key_set keys;
        bounded_string why;
        EXPECT_EQ(parse_update_keys(c.list.c_str(), keys, why), c.result) << c.list;
        EXPECT_EQ(keys.count, c.count) << c.list;
        EXPECT_STREQ(why.c_str(), c.why) << c.list;
    }
    update_key_set keys;
    bounded_string why;
    ASSERT_EQ(parse_update_keys(k.c_str(), keys, why), 1);
    EXPECT_EQ(memcmp(keys.keys[0].raw, a.public_key.raw, update_key_bytes), 0);
    EXPECT_STREQ(keys.keys[0].id, a.public_key.id);
}

}  // namespace
