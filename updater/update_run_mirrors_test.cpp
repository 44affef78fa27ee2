// Whole update runs from a launcher built with several hosts, given by name: names this test resolves
// itself (its own /etc/hosts in its private mount namespace) to addresses of the loopback network.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "net/ssl_startup.h"
#include "testing/log_capture.h"
#include "testing/nginx_server.h"
#include "testing/sandbox.h"
#include "testing/temp_directory.h"
#include "testing/test_certificates.h"
#include "updater/update_run.h"
#include "updater/update_test_support.h"

namespace {

const std::string client = "tessar_v3_client_0002";
const std::string client_bytes(50000, 'c');

class UpdateRunMirrors : public testing::Test {
  protected:
    void SetUp() override {
        if (!in_test_sandbox()) {
            GTEST_SKIP() << "needs the private namespaces (/etc/hosts, ports 80 and 443)";
        }
        ASSERT_EQ(kest_ssl_startup(), 1);
        // mirror-a is the second loopback address, mirror-b this machine; nowhere has no address, and the
        // name server asked for it is not there, so the look-up fails at once.
        write_file(etc_.file("hosts"),
                   "127.0.0.2 mirror-a.varnholt.test\n127.0.0.1 mirror-b.varnholt.test\n");
        write_file(etc_.file("resolv.conf"), "nameserver 127.0.0.1\n");
        ASSERT_EQ(mount(etc_.file("hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0);
        hosts_mounted_ = true;
        if (file_exists("/etc/resolv.conf")) {
            ASSERT_EQ(mount(etc_.file("resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr),
                      0);
            resolv_mounted_ = true;
        }
        std::string dir = docroot_.path() + update_server::root_path;
        ASSERT_EQ(mkdir((docroot_.path() + "/downloads").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        write_file(dir + "/" + client, client_bytes);
        write_file(dir + "/" + update_server::list, gzip_text(manifest_line(client, 50000)));
        mkdir(destination_.c_str(), 0700);
    }
    void TearDown() override {
        if (resolv_mounted_) {
            umount("/etc/resolv.conf");
        }
        if (hosts_mounted_) {
            umount("/etc/hosts");
        }
    }

    // nginx serving the publication on `listen` (its own directives, TLS ones included).
    std::unique_ptr<nginx_server> serve(const std::string& listen) {
        return std::make_unique<nginx_server>(docroot_.path(), 0, listen);
    }
    std::string tls_listen(const std::string& address, const test_credentials& credentials,
                           const std::string& tag) {
        write_file(etc_.file(tag + ".pem"), credentials.certificate_pem);
        write_file(etc_.file(tag + ".key"), credentials.key_pem, 0600);
        return "listen " + address + ":443 ssl; ssl_certificate " + etc_.file(tag + ".pem") +
               "; ssl_certificate_key " + etc_.file(tag + ".key") + ";";
    }

    int run(const char* hosts, const update_server_settings& server) {
        update_run_options options{nullptr, nullptr, nullptr, nullptr, &server};
        console_capture capture;
        int result = run_executable_updater(options, hosts, update_server::root_path, update_server::list,
                                            (destination_ + "/update_manifest.lst").c_str(),
                                            destination_.c_str(), (destination_ + "/download.tmp").c_str());
        console_ = capture.text();
        return result;
    }
    bool installed() const {
        std::string path = destination_ + "/" + client;
        return file_exists(path) && read_file(path) == client_bytes;
    }

    temp_directory etc_, docroot_, home_;
    const std::string destination_ = home_.file("executables");
    std::string console_;
    bool hosts_mounted_ = false;
    bool resolv_mounted_ = false;
};

const std::string passing_over = "Warning in update_host_list::pass_over(), passing over update host '";

}  // namespace

// A first host whose name cannot be resolved, or that refuses, is passed over once for the manifest;
// the file is fetched from the second host straight away.
TEST_F(UpdateRunMirrors, FirstHostPassedOverForTheWholeRun) {
    std::unique_ptr<nginx_server> b = serve("listen 127.0.0.1:80;");
    const update_server_settings plain{80, 0, nullptr, nullptr};
    struct {
        const char* hosts;
        std::string logged;
    } cases[] = {
        {"nowhere.varnholt.test,mirror-b.varnholt.test",
         passing_over + "nowhere.varnholt.test' for the rest of this run: its name cannot be resolved.\n"},
        {"mirror-a.varnholt.test,mirror-b.varnholt.test",
         passing_over + "mirror-a.varnholt.test' for the rest of this run: connection refused.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hosts);
        remove_tree(destination_);
        mkdir(destination_.c_str(), 0700);
        log_capture log;
        EXPECT_EQ(run(c.hosts, plain), 1);
        EXPECT_TRUE(installed());
        EXPECT_EQ(console_.find("Retrying"), std::string::npos) << console_;
        EXPECT_NE(log.text().find(c.logged), std::string::npos) << log.text();
        EXPECT_EQ(log.text().find(passing_over, log.text().find(passing_over) + 1), std::string::npos)
            << "passed over once: " << log.text();
    }
    EXPECT_EQ(
        b->access_log(4),
        "\"GET /downloads/tessar_v3/manifest_linux32_executables.txt.gz HTTP/1.1\" 200 " +
            std::to_string(
                read_file(docroot_.path() + update_server::root_path + "/" + update_server::list).size()) +
            "\n\"GET /downloads/tessar_v3/" + client + " HTTP/1.1\" 200 50000\n" +
            "\"GET /downloads/tessar_v3/manifest_linux32_executables.txt.gz HTTP/1.1\" 200 " +
            std::to_string(
                read_file(docroot_.path() + update_server::root_path + "/" + update_server::list).size()) +
            "\n\"GET /downloads/tessar_v3/" + client + " HTTP/1.1\" 200 50000\n");
}

// Over TLS each host must show a certificate for its own name: the first shows one for another name
// and is passed over; the second's is for its name, and the update comes from it.
TEST_F(UpdateRunMirrors, EveryHostsCertificateIsCheckedForItsOwnName) {
    test_certificate_authority ca;
    write_file(etc_.file("ca.pem"), ca.certificate_pem());
    std::unique_ptr<nginx_server> a = serve(tls_listen("127.0.0.2", ca.issue("mirror-b.varnholt.test"), "a"));
    std::unique_ptr<nginx_server> b = serve(tls_listen("127.0.0.1", ca.issue("mirror-b.varnholt.test"), "b"));
    const std::string ca_file = etc_.file("ca.pem");
    const update_server_settings tls{443, 1, ca_file.c_str(), nullptr};
    log_capture log;
    EXPECT_EQ(run("mirror-a.varnholt.test,mirror-b.varnholt.test", tls), 1);
    EXPECT_TRUE(installed());
    EXPECT_NE(log.text().find("TLS with 'mirror-a.varnholt.test' failed: hostname mismatch.\n"),
              std::string::npos)
        << log.text();
    EXPECT_NE(
        log.text().find(passing_over + "mirror-a.varnholt.test' for the rest of this run: its TLS handshake "
                                       "failed.\n"),
        std::string::npos)
        << log.text();
    EXPECT_EQ(a->access_log(), "");
    EXPECT_EQ(b->access_log(2).substr(0, 5), "\"GET ");
}
