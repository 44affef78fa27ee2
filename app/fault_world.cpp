#include "app/fault_world.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "testing/process.h"

namespace fault_matrix {

namespace {

// Files the launcher rewrites on every run, whatever happens: they are not compared.
const char* const volatile_files[] = {
    ".Varnholt/bootname.txt",
    ".Varnholt/executables/download.tmp",
    ".Varnholt/executables/lock.tmp",
    "boot-report.txt",
};

void copy_tree(const std::string& from, const std::string& to) {
    process_result copied = run_process({"/bin/cp", "-a", from, to});
    if (copied.exit_status != 0) {
        throw std::runtime_error("cp -a " + from + " " + to + ": " + copied.err);
    }
}

}  // namespace

fault_world::fault_world(const installation& base) : base_(base) {
    copy_tree(base.home, home());
    copy_tree(base.new_docroot, docroot());
}

void fault_world::serve_old_publication() {
    replace_publication(base_.old_docroot);
    serve();
}

void fault_world::replace_publication(const std::string& from) {
    remove_tree(docroot());
    copy_tree(from, docroot());
}

void fault_world::serve(const std::string& directives) {
    nginx_ = std::make_unique<nginx_server>(
        docroot(), 80, directives + "\n" + nginx_site_locations(read_file(VARNHOLT_NGINX_SAMPLE)));
}

void fault_world::serve_https(const test_credentials& server, const std::string& ca_certificate, bool tls) {
    write_file(tls_launcher_ca_file, ca_certificate);
    write_file(work_.file("server.pem"), server.certificate_pem);
    write_file(work_.file("server.key"), server.key_pem, 0600);
    std::string listen = tls ? "listen 127.0.0.1:443 ssl; ssl_certificate " + work_.file("server.pem") +
                                   "; ssl_certificate_key " + work_.file("server.key") + ";"
                             : "listen 127.0.0.1:443;";
    serve(listen);
}

void fault_world::play(const scripted_server::script& plan, const std::string& address) {
    scripts_.push_back(std::make_unique<scripted_server>(plan, 80, address));
}

void fault_world::limit_disk(int64_t free_bytes) {
    std::string saved = work_.file("saved-config");
    must(rename(config_dir().c_str(), saved.c_str()) == 0, "move the config directory aside");
    must(mkdir(config_dir().c_str(), 0700) == 0, "create the mount point");
    must(mount("tmpfs", config_dir().c_str(), "tmpfs", 0, "size=64m,mode=0700") == 0, "mount a tmpfs");
    copy_tree(saved + "/.", config_dir());
    struct statvfs fs;
    must(statvfs(config_dir().c_str(), &fs) == 0, "statvfs");
    int64_t used = static_cast<int64_t>(fs.f_blocks - fs.f_bfree) * static_cast<int64_t>(fs.f_frsize);
    std::string size = "size=" + std::to_string(used + free_bytes);
    must(mount("tmpfs", config_dir().c_str(), "tmpfs", MS_REMOUNT, size.c_str()) == 0, "shrink the tmpfs");
}

void fault_world::make_read_only(const std::string& directory) {
    must(mount(directory.c_str(), directory.c_str(), nullptr, MS_BIND, nullptr) == 0, "bind");
    must(mount(nullptr, directory.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0,
         "remount read-only");
}

void fault_world::use_local_resolver() {
    std::string conf = work_.file("resolv.conf");
    write_file(conf, "nameserver 127.0.0.1\n");
    if (file_exists("/etc/resolv.conf")) {
        must(mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0, "bind resolv.conf");
    }
}

void fault_world::must(bool ok, const std::string& what) {
    if (!ok) {
        throw std::runtime_error(what + ": " + strerror(errno));
    }
}

tree_snapshot home_snapshot(const std::string& home) {
    tree_snapshot tree = snapshot_tree(home);
    for (const char* name : volatile_files) {
        tree.erase(name);
    }
    return tree;
}

}  // namespace fault_matrix
