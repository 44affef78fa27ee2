// Downloads over HTTPS from nginx with certificates of a CA the test makes: the server's certificate must
// come from a trusted CA, be for the name the downloader asked for, and be valid now; TLS must be 1.2 or
// later. Every refusal is a failed download whose log says why.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/mount.h>

#include <memory>
#include <string>

#include "http/http_downloader.h"
#include "net/ssl_startup.h"
#include "testing/log_capture.h"
#include "testing/nginx_server.h"
#include "testing/sandbox.h"
#include "testing/temp_directory.h"
#include "testing/test_certificates.h"

namespace {

const char host_name[] = "updates.varnholt.test";

struct tls_case {
    const char* name;
    // What nginx presents (and, for the last cases, how it talks), given the trusted CA.
    test_credentials (*credentials)(const test_certificate_authority& trusted);
    const char* connect_to;  // the name the downloader is given
    std::string server_directives;
    bool accepted;
    const char* why;  // what the log says when it is refused
};

test_credentials for_address(const test_certificate_authority& ca) {
    return ca.issue("127.0.0.1");
}

class HttpsDownload : public testing::Test {
  protected:
    void SetUp() override {
        if (!in_test_sandbox()) {
            GTEST_SKIP() << "needs the private namespaces (port 443, /etc/hosts)";
        }
        ASSERT_EQ(kest_ssl_startup(), 1);
        write_file(root_.file("client.bin"), std::string(100000, 'c'));
        write_file(dir_.file("ca.pem"), trusted_.certificate_pem());
        // The test's host name is this machine, for this process only.
        write_file(dir_.file("hosts"), std::string("127.0.0.1 ") + host_name + "\n");
        ASSERT_EQ(mount(dir_.file("hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0);
        context_.reset(kest_ssl_create_verifying_context(dir_.file("ca.pem").c_str()));
        ASSERT_NE(context_, nullptr);
    }
    void TearDown() override { umount("/etc/hosts"); }

    // nginx on 127.0.0.1:443 presenting `credentials`, with `directives` of the case's own.
    std::unique_ptr<nginx_server> serve(const test_credentials& credentials, const std::string& directives,
                                        bool tls = true) {
        write_file(dir_.file("server.pem"), credentials.certificate_pem);
        write_file(dir_.file("server.key"), credentials.key_pem, 0600);
        std::string listen = tls ? "listen 127.0.0.1:443 ssl; ssl_certificate " + dir_.file("server.pem") +
                                       "; ssl_certificate_key " + dir_.file("server.key") + ";"
                                 : "listen 127.0.0.1:443;";
        return std::make_unique<nginx_server>(root_.path(), 0, listen + directives);
    }

    // 1 when `name` on port 443 gave the whole file.
    int download(const char* name) {
        kest_http_downloader downloader;
        downloader.wait_ms = 5000;
        if (downloader.set_connection(name, 443, 1) != 1) {
            return -1;
        }
        downloader.tls_context = context_.get();
        int ok = downloader.download(name, "/client.bin", dir_.file("out.bin").c_str());
        return ok && read_file(dir_.file("out.bin")) == std::string(100000, 'c') ? 1 : 0;
    }

    temp_directory root_, dir_;
    test_certificate_authority trusted_;
    std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> context_{nullptr, SSL_CTX_free};
};

TEST_F(HttpsDownload, OnlyACertificateOfTheTrustedCaForTheServersNameIsAccepted) {
    const std::string refused = "Error in kest_tcp_socket::ssl_retry_connect(), TLS with '";
    const tls_case cases[] = {
        {"the trusted CA's certificate for the address", for_address, "127.0.0.1", "", true, ""},
        {"the trusted CA's certificate for the host name",
         [](const test_certificate_authority& ca) { return ca.issue(host_name); }, host_name, "", true, ""},
        {"a self-signed certificate",
         [](const test_certificate_authority&) { return self_signed_credentials(host_name); }, host_name, "",
         false, "self-signed certificate"},
        {"another CA's certificate",
         [](const test_certificate_authority&) { return test_certificate_authority().issue(host_name); },
         host_name, "", false, "unable to get local issuer certificate"},
        {"a certificate for another host name",
         [](const test_certificate_authority& ca) { return ca.issue("other.varnholt.test"); }, host_name, "",
         false, "hostname mismatch"},
        {"a certificate for another address",
         [](const test_certificate_authority& ca) { return ca.issue("127.0.0.2"); }, "127.0.0.1", "", false,
         "IP address mismatch"},
        {"a certificate for the host name, asked for by address",
         [](const test_certificate_authority& ca) { return ca.issue(host_name); }, "127.0.0.1", "", false,
         "IP address mismatch"},
        {"an expired certificate",
         [](const test_certificate_authority& ca) { return ca.issue(host_name, -7200, -3600); }, host_name,
         "", false, "certificate has expired"},
        {"a certificate not valid yet",
         [](const test_certificate_authority& ca) { return ca.issue(host_name, 3600, 7200); }, host_name, "",
         false, "certificate is not yet valid"},
        {"a server that speaks TLS 1.1 at most", for_address, "127.0.0.1",
         "ssl_protocols TLSv1 TLSv1.1; ssl_ciphers DEFAULT:@SECLEVEL=0;", false, "tlsv1 alert protocol version"},
    };
    for (const tls_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<nginx_server> server = serve(c.credentials(trusted_), c.server_directives);
        log_capture log;
        EXPECT_EQ(download(c.connect_to), c.accepted ? 1 : 0);
        if (c.accepted) {
            EXPECT_EQ(log.text(), "");
        } else {
            EXPECT_NE(log.text().find(refused + c.connect_to + "' failed: " + c.why + ".\n"),
                      std::string::npos)
                << log.text();
        }
    }
}

// A server that answers in plain HTTP on the TLS port ends the handshake with its first bytes (the reason
// says so), not at the connect's time limit.
TEST_F(HttpsDownload, PlainHttpOnTheTlsPortFailsAtTheHandshake) {
    std::unique_ptr<nginx_server> server = serve(for_address(trusted_), "", false);
    log_capture log;
    EXPECT_EQ(download("127.0.0.1"), 0);
    EXPECT_NE(log.text().find("TLS with '127.0.0.1' failed: wrong version number.\n"), std::string::npos)
        << log.text();
}

// A partial file is continued over TLS as over plain HTTP: the rest, and only the rest, arrives.
TEST_F(HttpsDownload, PartialFileIsContinuedOverTls) {
    std::unique_ptr<nginx_server> server = serve(trusted_.issue(host_name), "");
    write_file(dir_.file("out.bin"), std::string(60000, 'c'));
    log_capture log;
    kest_http_downloader downloader;
    ASSERT_EQ(downloader.set_connection(host_name, 443, 1), 1);
    downloader.tls_context = context_.get();
    downloader.resume_from = 60000;
    downloader.resource_size = 100000;
    ASSERT_EQ(downloader.download(host_name, "/client.bin", dir_.file("out.bin").c_str()), 1);
    EXPECT_EQ(downloader.status, 206);
    EXPECT_EQ(downloader.received, 40000);
    EXPECT_EQ(read_file(dir_.file("out.bin")), std::string(100000, 'c'));
    EXPECT_EQ(log.text(), "");
}

}  // namespace
