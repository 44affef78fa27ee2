// The process TLS context and the temporary Diffie-Hellman parameters a server side of it would offer.
// The DH calls of the TLS library are deprecated since 3.0; this file alone keeps using them.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "net/ssl_startup.h"

#include <openssl/bn.h>
#include <openssl/dh.h>
#include <openssl/err.h>

#include "support/bounded_string.h"
#include "support/debug_log.h"

const char kest_ssl_cipher_list[] = "HIGH:@STRENGTH:!aNULL";

namespace {

SSL_CTX* tls_context = nullptr;

// Every group is a safe prime p ((p - 1) / 2 is prime too) with generator 2. The 512-bit one was
// generated once for this program (big-endian).
const unsigned char prime_512[] = {
    0xCE, 0xE3, 0x5B, 0x93, 0x11, 0x8C, 0x86, 0x17, 0x59, 0xEA, 0x1F, 0xD6, 0x95, 0xB1, 0x41, 0xA9,
    0x3D, 0xD2, 0x9E, 0x47, 0xFE, 0xAE, 0xF6, 0xC2, 0x5D, 0x6D, 0x68, 0x16, 0x70, 0xD0, 0xFB, 0x0E,
    0xF2, 0x04, 0x5D, 0xE3, 0xE4, 0x7C, 0x55, 0xDF, 0x78, 0xC6, 0x52, 0x55, 0x86, 0x1C, 0x1C, 0xBF,
    0xD6, 0xE8, 0xE6, 0x66, 0x5A, 0x17, 0xA3, 0x92, 0xE2, 0xB5, 0x62, 0xD0, 0xDC, 0x33, 0x07, 0xBB,
};

BIGNUM* generated_prime_512(BIGNUM* into) {
    return BN_bin2bn(prime_512, sizeof prime_512, into);
}

// The other primes are the well-known ones, as OpenSSL has them: RFC 2409 groups 1 and 2 (768 and 1024
// bits) and RFC 3526 groups 5, 14, 15 and 16 (1536 to 4096 bits).
struct dh_group {
    int bits;
    BIGNUM* (*prime)(BIGNUM* into);
    DH* cached;
};

dh_group dh_groups[] = {
    {512, generated_prime_512, nullptr},           {768, BN_get_rfc2409_prime_768, nullptr},
    {1024, BN_get_rfc2409_prime_1024, nullptr},    {1536, BN_get_rfc3526_prime_1536, nullptr},
    {2048, BN_get_rfc3526_prime_2048, nullptr},    {3072, BN_get_rfc3526_prime_3072, nullptr},
    {4096, BN_get_rfc3526_prime_4096, nullptr},
};

DH* make_dh(const dh_group& group) {
    DH* dh = DH_new();
    if (dh == nullptr) {
        return nullptr;
    }
    BIGNUM* p = group.prime(nullptr);
    BIGNUM* g = BN_new();
    if (p == nullptr || g == nullptr || !BN_set_word(g, 2) || !DH_set0_pqg(dh, p, nullptr, g)) {
        BN_free(p);
        BN_free(g);
        DH_free(dh);
        return nullptr;
    }
    return dh;
}

void log_oldest_tls_error() {
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    bounded_string message(text);
    debug_log_line(1, "%s", message.c_str());
}

}  // namespace

SSL_CTX* kest_ssl_create_context(const char* cipher_list) {
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(SSLv23_method());
    if (context == nullptr) {
        log_oldest_tls_error();
        return nullptr;
    }
    // SSL 2 is long gone from the library (the option is 0); kept to say what the context refuses.
    SSL_CTX_set_options(context, SSL_OP_NO_SSLv2);
    if (SSL_CTX_set_cipher_list(context, cipher_list) != 1) {
        log_oldest_tls_error();
        SSL_CTX_free(context);
        return nullptr;
    }
    SSL_CTX_set_tmp_dh_callback(context, get_tmp_dh_callback);
    return context;
}

SSL_CTX* kest_ssl_create_verifying_context(const char* ca_file) {
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        log_oldest_tls_error();
        return nullptr;
    }
    bool own_file = ca_file != nullptr && ca_file[0] != '\0';
    if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(context, kest_ssl_cipher_list) != 1) {
        log_oldest_tls_error();
        SSL_CTX_free(context);
        return nullptr;
    }
    int loaded = own_file ? SSL_CTX_load_verify_locations(context, ca_file, nullptr)
                          : SSL_CTX_set_default_verify_paths(context);
    if (loaded != 1) {
        bounded_string where(own_file ? ca_file : "the system's store");
        debug_log_line(1, "Error in kest_ssl_create_verifying_context(), unable to load CA certificates from '%s'.",
                       where.c_str());
        log_oldest_tls_error();
        SSL_CTX_free(context);
        return nullptr;
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    return context;
}

int kest_ssl_startup() {
    if (tls_context != nullptr) {
        return 1;
    }
    SSL_load_error_strings();
    SSL_library_init();
    tls_context = kest_ssl_create_context(kest_ssl_cipher_list);
    return tls_context != nullptr;
}

SSL_CTX* kest_ssl_context() {
    return tls_context;
}

DH* get_tmp_dh_callback(SSL*, int is_export, int key_length) {
    if (key_length < 1024) {
        debug_log_line(1, "Warning in get_tmp_dh_callback(), requested short key length %4d, export %d.",
                       key_length, is_export);
    }
    for (dh_group& group : dh_groups) {
        if (group.bits != key_length) {
            continue;
        }
        if (group.cached == nullptr) {
            group.cached = make_dh(group);
        }
        return group.cached;
    }
    debug_log_line(1, "Warning in get_tmp_dh_callback(), unsupported key length %4d, export %d.", key_length,
                   is_export);
    return nullptr;
}

const BIGNUM* dh_prime_of(const DH* dh) {
    return DH_get0_p(dh);
}

const BIGNUM* dh_generator_of(const DH* dh) {
    return DH_get0_g(dh);
}
