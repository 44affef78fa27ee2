#include "support/sha256_hasher.h"

#include <openssl/evp.h>

sha256_hasher::sha256_hasher() : context_(EVP_MD_CTX_new()), ok_(false) {
    restart();
}

sha256_hasher::~sha256_hasher() {
    EVP_MD_CTX_free(context_);
}

int sha256_hasher::restart() {
    ok_ = context_ != nullptr && EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) == 1;
    return ok_ ? 1 : 0;
}

void sha256_hasher::update(const void* data, size_t length) {
    ok_ = ok_ && EVP_DigestUpdate(context_, data, length) == 1;
}

int sha256_hasher::finish_hex(char hex[sha256_hex_length + 1]) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    ok_ = ok_ && EVP_DigestFinal_ex(context_, digest, &length) == 1 && length * 2 == sha256_hex_length;
    hex[0] = '\0';
    if (!ok_) {
        return 0;
    }
    static const char digits[] = "0123456789abcdef";
    for (unsigned int i = 0; i < length; ++i) {
        hex[2 * i] = digits[digest[i] >> 4];
        hex[2 * i + 1] = digits[digest[i] & 0x0F];
    }
    hex[sha256_hex_length] = '\0';
    ok_ = false;
    return 1;
}
