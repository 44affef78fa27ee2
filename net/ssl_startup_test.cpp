#include "net/ssl_startup.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <memory>
#include <string>

#include "testing/log_capture.h"

TEST(SslStartup, MakesOneClientContext) {
    ASSERT_EQ(kest_ssl_startup(), 1);
    SSL_CTX* context = kest_ssl_context();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(kest_ssl_startup(), 1);
    EXPECT_EQ(kest_ssl_context(), context);

    EXPECT_EQ(SSL_CTX_get_verify_mode(context), SSL_VERIFY_NONE);
    STACK_OF(SSL_CIPHER)* ciphers = SSL_CTX_get_ciphers(context);
    ASSERT_GT(sk_SSL_CIPHER_num(ciphers), 0);
    for (int i = 0; i < sk_SSL_CIPHER_num(ciphers); ++i) {
        const SSL_CIPHER* cipher = sk_SSL_CIPHER_value(ciphers, i);
        EXPECT_NE(SSL_CIPHER_get_auth_nid(cipher), NID_auth_null) << SSL_CIPHER_get_name(cipher);
    }
}

TEST(SslStartup, RejectedCipherListLogsTheLibraryError) {
    log_capture log;
    EXPECT_EQ(kest_ssl_create_context("NO-SUCH-CIPHER"), nullptr);
    std::string text = log.text();
    EXPECT_EQ(text.rfind("error:", 0), 0u) << text;
    EXPECT_NE(text.find("no cipher match"), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line";
}

TEST(SslStartup, DhParametersAreCachedPerLength) {
    log_capture log;
    DH* first = get_tmp_dh_callback(nullptr, 0, 2048);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(get_tmp_dh_callback(nullptr, 0, 2048), first);
    EXPECT_EQ(log.text(), "");

    EXPECT_EQ(get_tmp_dh_callback(nullptr, 0, 1000), nullptr);
    EXPECT_EQ(log.text(),
              "Warning in get_tmp_dh_callback(), requested short key length 1000, export 0.\n"
              "Warning in get_tmp_dh_callback(), unsupported key length 1000, export 0.\n");

    log_capture short_key;
    DH* weak = get_tmp_dh_callback(nullptr, 1, 512);
    ASSERT_NE(weak, nullptr);
    EXPECT_NE(weak, first);
    EXPECT_EQ(BN_num_bits(dh_prime_of(weak)), 512);
    EXPECT_EQ(short_key.text(),
              "Warning in get_tmp_dh_callback(), requested short key length  512, export 1.\n");

    log_capture other;
    EXPECT_EQ(get_tmp_dh_callback(nullptr, 0, 8192), nullptr);
    EXPECT_EQ(other.text(), "Warning in get_tmp_dh_callback(), unsupported key length 8192, export 0.\n");
}

// Every group is a safe prime p of the stated size ((p - 1) / 2 prime as well) with generator 2.
TEST(SslStartup, DhGroupsAreSafePrimesWithGeneratorTwo) {
    log_capture log;  // the short-key warnings
    std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> bn(BN_CTX_new(), BN_CTX_free);
    for (int bits : {512, 768, 1024, 1536, 2048, 3072, 4096}) {
        DH* dh = get_tmp_dh_callback(nullptr, 0, bits);
        ASSERT_NE(dh, nullptr) << bits;
        const BIGNUM* p = dh_prime_of(dh);
        EXPECT_EQ(BN_num_bits(p), bits);
        EXPECT_TRUE(BN_is_word(dh_generator_of(dh), 2)) << bits;
        EXPECT_EQ(BN_check_prime(p, bn.get(), nullptr), 1) << bits;
        std::unique_ptr<BIGNUM, decltype(&BN_free)> q(BN_dup(p), BN_free);
        ASSERT_TRUE(BN_sub_word(q.get(), 1) && BN_rshift1(q.get(), q.get()));
        EXPECT_EQ(BN_check_prime(q.get(), bn.get(), nullptr), 1) << bits;
    }
}
