#include "tools/publish_hash.h"

#include <openssl/evp.h>

sha256_hasher::sha256_hasher() : context_(EVP_MD_CTX_new()), ok_(false) {
    ok_ = context_ != nullptr && EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) == 1;
}

sha256_hasher::~sha256_hasher() {
    EVP_MD_CTX_free(context_);
}

void sha256_hasher::update(const void* data, size_t length) {
    ok_ = ok_ && EVP_DigestUpdate(context_, data, length) == 1;
}

std::string sha256_hasher::finish_hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    ok_ = ok_ && EVP_DigestFinal_ex(context_, digest, &length) == 1 && length * 2 == sha256_hex_length;
    if (!ok_) {
        return "";
    }
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 0x0F];
    }
    ok_ = false;
    return hex;
}
