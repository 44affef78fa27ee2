// The world one case of the fault matrix runs in, made inside the case's own process and namespaces:
// a copy of the launcher's installation as HOME, a newer publication as the update server's document
// root, and the faults the case arranges there (a server that misbehaves, a full or read-only disk, a
// name server that is not there).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "testing/nginx_server.h"
#include "testing/scripted_server.h"
#include "testing/temp_directory.h"
#include "testing/test_certificates.h"
#include "testing/tree_snapshot.h"

namespace fault_matrix {

inline const std::string client_1 = "tessar_v3_client_0001";
inline const std::string client_2 = "tessar_v3_client_0002";
inline const std::string manifest_name = "manifest_linux32_executables.txt.gz";
inline const std::string download_root = "/downloads/tessar_v3/";
// Where varnholt-launcher-test-tls finds the one CA certificate it trusts, in the case's own /tmp.
inline const std::string tls_launcher_ca_file = "/tmp/varnholt-test-ca.pem";

// What the cases start from: the launcher's HOME after it installed client_1 from a publication of
// client_1 alone, and a newer publication that adds client_2. For the launcher built with keys they
// are signed, and an older signed publication of client_1 comes before both.
struct installation {
    std::string home;
    std::string oldest_docroot;  // signed only
    std::string old_docroot;
    std::string new_docroot;
    std::string manifest_gz;       // the newer publication's compressed manifest
    std::string manifest_text;     // and its text
    std::string client_2;          // and its new client
    std::string updated_manifest;  // the local manifest once client_2 is installed
    std::string newer_release;     // signed only: accepted_release.txt once the newer publication held
};

// One case's world, in its own process: copies of the installation and of the newer publication, and the
// server the case sets up on 127.0.0.1:80. Mounts are made in the process's mount namespace and end with
// it. A step that fails throws std::runtime_error.
class fault_world {
  public:
    explicit fault_world(const installation& base);

    std::string home() const { return work_.file("home"); }
    std::string docroot() const { return work_.file("docroot"); }
    std::string config_dir() const { return home() + "/.Varnholt"; }
    std::string executables_dir() const { return config_dir() + "/executables"; }
    std::string published(const std::string& name) const { return docroot() + download_root + name; }
    const installation& base() const { return base_; }

    // The older publication (client_1 alone) instead of the newer one, served as serve() does.
    void serve_old_publication();
    // The publication in `docroot` (of the installation) instead of the newer one, not yet served.
    void replace_publication(const std::string& docroot);
    // nginx with the operators' sample locations after `directives` of the case's own.
    void serve(const std::string& directives = "");
    // The same over HTTPS on port 443, presenting `server`, with `ca_certificate` where the TLS launcher
    // looks for the CA it trusts (tls_launcher_ca_file); with `tls` false, plain HTTP on port 443.
    void serve_https(const test_credentials& server, const std::string& ca_certificate, bool tls = true);
    // A scripted server on port 80 of `address` (another address of 127.0.0.0/8 for a mirror case).
    void play(const scripted_server::script& plan, const std::string& address = "127.0.0.1");

    // The launcher directory on a tmpfs of its own with `free_bytes` left after the installation.
    void limit_disk(int64_t free_bytes);
    void make_read_only(const std::string& directory);
    // Name lookups in this process's world ask a server on 127.0.0.1 that is not there.
    void use_local_resolver();

    // The launcher program the case runs, in the test binary's directory.
    std::string program = "varnholt-launcher-test-host";

    // Throws std::runtime_error naming `what` and errno unless `ok`.
    static void must(bool ok, const std::string& what);

  private:
    const installation& base_;
    temp_directory work_;
    std::unique_ptr<nginx_server> nginx_;
    std::vector<std::unique_ptr<scripted_server>> scripts_;
};

// The files below `home` as the matrix compares them: all but those the launcher rewrites on every run,
// whatever happens.
tree_snapshot home_snapshot(const std::string& home);

}  // namespace fault_matrix
