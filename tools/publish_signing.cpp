#include "tools/publish_signing.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "support/atomic_file.h"
#include "support/text_utils.h"
#include "tools/publish_report.h"
#include "updater/release_signature.h"

namespace {

struct file_closer {
    void operator()(FILE* file) const { fclose(file); }
};
using owned_file = std::unique_ptr<FILE, file_closer>;

// A passphrase prompt would wait on the terminal: an encrypted key is simply not read.
int no_passphrase(char*, int, int, void*) {
    return 0;
}

}  // namespace

void signing_key_deleter::operator()(EVP_PKEY* key) const {
    EVP_PKEY_free(key);
}

int generate_signing_key(const char* path, std::string& public_key) {
    signing_key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key) {
        publish_report("cannot generate an Ed25519 key");
        return 0;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        publish_report("cannot create key file '%s': %s", path,
                       errno == EEXIST ? "it already exists (a key is never overwritten)" : strerror(errno));
        return 0;
    }
    owned_file file(fdopen(fd, "w"));
    if (!file) {
        close(fd);
        unlink(path);
        publish_report("cannot write key file '%s': %s", path, strerror(errno));
        return 0;
    }
    bool written = PEM_write_PrivateKey(file.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
                   fflush(file.get()) == 0 && fsync(fileno(file.get())) == 0;
    int cause = errno;
    if (fclose(file.release()) != 0 || !written) {
        unlink(path);
        publish_report("cannot write key file '%s': %s", path, strerror(written ? errno : cause));
        return 0;
    }
    public_key = signing_public_key(key.get());
    return public_key.empty() ? 0 : 1;
}

signing_key load_signing_key(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        publish_report("cannot read key file '%s': %s", path, strerror(errno));
        return nullptr;
    }
    owned_file file(fdopen(fd, "r"));
    if (!file) {
        close(fd);
        publish_report("cannot read key file '%s': %s", path, strerror(errno));
        return nullptr;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        publish_report("cannot read key file '%s': it is not a regular file", path);
        return nullptr;
    }
    if ((status.st_mode & 077) != 0) {
        publish_report("key file '%s' is open to other users (mode %04o): make it private with chmod 600",
                       path, static_cast<unsigned>(status.st_mode & 07777));
        return nullptr;
    }
    signing_key key(PEM_read_PrivateKey(file.get(), nullptr, no_passphrase, nullptr));
    if (!key) {
        publish_report("cannot read key file '%s': it is not an unencrypted PEM private key", path);
        return nullptr;
    }
    if (EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
        publish_report("key file '%s' does not hold an Ed25519 key", path);
        return nullptr;
    }
    return key;
}

std::string signing_public_key(EVP_PKEY* key) {
    update_key raw;
    if (!update_key_of(key, raw)) {
        return "";
    }
    bounded_string text;
    base64_append(text, raw.raw, update_key_bytes);
    return text.c_str();
}

std::string signing_key_id(EVP_PKEY* key) {
    update_key raw;
    return update_key_of(key, raw) ? raw.id : "";
}

int64_t published_release(const std::string& path) {
    owned_file file(fopen(path.c_str(), "rb"));
    if (!file) {
        if (errno == ENOENT) {
            return 0;
        }
        publish_report("cannot read the release signature '%s': %s", path.c_str(), strerror(errno));
        return -1;
    }
    char text[release_signature_max_bytes + 1];
    size_t length = fread(text, 1, sizeof text, file.get());
    // Only the form matters here: the earlier publication may be signed with another key.
    update_key_set no_keys;
    release_signature fields;
    bounded_string detail;
    if (ferror(file.get()) || check_release_signature(text, static_cast<int32_t>(length), no_keys, 0, 0,
                                                      fields, detail) == release_signature_malformed) {
        publish_report("cannot read the release of the earlier publication: %s; remove '%s' to publish again",
                       ferror(file.get()) ? strerror(EIO) : detail.c_str(), path.c_str());
        return -1;
    }
    return fields.release;
}

int64_t next_release(int64_t previous, int64_t now) {
    return previous >= now ? previous + 1 : now;
}

int write_release_signature(const std::string& path, EVP_PKEY* key, int64_t release, int64_t expires,
                            const std::string& manifest) {
    release_signature fields;
    fields.release = release;
    fields.expires = expires;
    bounded_string text;
    update_key own_key;
    if (!sign_release_signature(key, manifest.data(), manifest.size(), fields, text) ||
        !update_key_of(key, own_key)) {
        publish_report(
            "cannot sign the manifest: the key, the SHA-256 digest or the Ed25519 signature failed");
        return 0;
    }
    // What the launcher will check, checked here first.
    update_key_set own;
    own.keys[own.count++] = own_key;
    release_signature read_back;
    bounded_string detail;
    if (check_release_signature(text.c_str(), text.len, own, 0, 0, read_back, detail) !=
        release_signature_valid) {
        publish_report("cannot sign the manifest: the signature does not check (%s)", detail.c_str());
        return 0;
    }
    kest_atomic_file out(path.c_str());
    if (out.stream() == nullptr) {
        publish_report("cannot write '%s': %s", path.c_str(), strerror(errno));
        return 0;
    }
    fwrite(text.c_str(), 1, static_cast<size_t>(text.len), out.stream());
    if (!out.commit()) {
        publish_report("cannot write '%s': %s", path.c_str(), strerror(errno));
        return 0;
    }
    return 1;
}
