// Certificates for TLS tests, made with OpenSSL when a test asks: a certificate authority of the test's
// own, server certificates it issues (or that sign themselves) for a host name or an IPv4 address, valid
// in a window around the present.
#pragma once

#include <memory>
#include <string>

struct test_credentials {
    std::string certificate_pem;
    std::string key_pem;
};

class test_certificate_authority {
  public:
    test_certificate_authority();  // a new key and a self-signed CA certificate, valid for a day
    ~test_certificate_authority();
    test_certificate_authority(const test_certificate_authority&) = delete;
    test_certificate_authority& operator=(const test_certificate_authority&) = delete;

    std::string certificate_pem() const;
    // A server certificate for `name` (a DNS name, or an IPv4 address such as "127.0.0.1", which goes
    // into the subjectAltName as an address), valid from now + valid_from to now + valid_until seconds.
    test_credentials issue(const std::string& name, long valid_from = -3600, long valid_until = 86400) const;

  private:
    struct parts;
    std::unique_ptr<parts> parts_;
};

// A certificate for `name` that no authority signed but itself.
test_credentials self_signed_credentials(const std::string& name);
