#include "testing/test_certificates.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <stdexcept>

namespace {

std::atomic<long> serial{1};

template <typename T, void (*free_fn)(T*)>
struct openssl_deleter {
    void operator()(T* p) const { free_fn(p); }
};
using key_ptr = std::unique_ptr<EVP_PKEY, openssl_deleter<EVP_PKEY, EVP_PKEY_free>>;
using certificate_ptr = std::unique_ptr<X509, openssl_deleter<X509, X509_free>>;

void require(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("test certificate: ") + what + " failed");
    }
}

key_ptr new_key() {
    key_ptr key(EVP_EC_gen("P-256"));
    require(key != nullptr, "EC key generation");
    return key;
}

bool is_ipv4_address(const std::string& name) {
    return !name.empty() && name.find_first_not_of("0123456789.") == std::string::npos;
}

void add_extension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    require(extension != nullptr, "certificate extension");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

// A certificate for `key` named `name`, signed by `issuer_key` as `issuer` (null: by itself).
certificate_ptr make_certificate(EVP_PKEY* key, const std::string& name, bool is_ca, X509* issuer,
                                 EVP_PKEY* issuer_key, long valid_from, long valid_until) {
    certificate_ptr certificate(X509_new());
    require(certificate != nullptr, "X509_new");
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), valid_from);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), valid_until);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : certificate.get();
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer));
    if (is_ca) {
        add_extension(certificate.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        add_extension(certificate.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        add_extension(certificate.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        add_extension(certificate.get(), signer, NID_ext_key_usage, "serverAuth");
        add_extension(certificate.get(), signer, NID_subject_alt_name,
                      (is_ipv4_address(name) ? "IP:" : "DNS:") + name);
    }
    add_extension(certificate.get(), signer, NID_subject_key_identifier, "hash");
    require(X509_sign(certificate.get(), issuer_key != nullptr ? issuer_key : key, EVP_sha256()) > 0,
            "X509_sign");
    return certificate;
}

std::string pem_of(X509* certificate) {
    BIO* out = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(out, certificate);
    char* data = nullptr;
    long length = BIO_get_mem_data(out, &data);
    std::string text(data, static_cast<size_t>(length));
    BIO_free(out);
    return text;
}

std::string pem_of(EVP_PKEY* key) {
    BIO* out = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long length = BIO_get_mem_data(out, &data);
    std::string text(data, static_cast<size_t>(length));
    BIO_free(out);
    return text;
}

}  // namespace

struct test_certificate_authority::parts {
    key_ptr key;
    certificate_ptr certificate;
};

test_certificate_authority::test_certificate_authority() : parts_(new parts) {
    parts_->key = new_key();
    // Each authority has a name of its own, so that none passes for another by its name.
    parts_->certificate = make_certificate(parts_->key.get(), "Varnholt test CA " + std::to_string(serial++),
                                           true, nullptr, nullptr, -3600, 86400);
}

test_certificate_authority::~test_certificate_authority() = default;

std::string test_certificate_authority::certificate_pem() const {
    return pem_of(parts_->certificate.get());
}

test_credentials test_certificate_authority::issue(const std::string& name, long valid_from,
                                                   long valid_until) const {
    key_ptr key = new_key();
    certificate_ptr certificate = make_certificate(key.get(), name, false, parts_->certificate.get(),
                                                   parts_->key.get(), valid_from, valid_until);
    return {pem_of(certificate.get()), pem_of(key.get())};
}

test_credentials self_signed_credentials(const std::string& name) {
    key_ptr key = new_key();
    certificate_ptr certificate = make_certificate(key.get(), name, false, nullptr, nullptr, -3600, 86400);
    return {pem_of(certificate.get()), pem_of(key.get())};
}
