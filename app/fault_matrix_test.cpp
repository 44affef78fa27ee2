// The launcher against every way an update server can misbehave, and against the faults it can meet on
// its own disk. Each case runs the real program in a process of its own, with its own loopback, /tmp
// and display, several cases at a time. Afterwards the launcher must have ended in time, booted a client,
// and left the files under HOME exactly as they were installed, or exactly as a correct update leaves
// them. The suite prints the whole matrix as a table (and writes it to fault-matrix.txt beside itself);
// VARNHOLT_FAULT_CASES=<text> runs only the cases whose names hold the text.
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/launcher_program_fixture.h"
#include "app/publication_fixture.h"
#include "testing/nginx_server.h"
#include "testing/process.h"
#include "testing/sandbox.h"
#include "testing/scripted_server.h"
#include "testing/temp_directory.h"
#include "testing/xvfb_display.h"
#include "updater/update_test_support.h"

namespace {

const std::string client_1 = "tessar_v3_client_0001";
const std::string client_2 = "tessar_v3_client_0002";
const std::string manifest_name = "manifest_linux32_executables.txt.gz";
const std::string download_root = "/downloads/tessar_v3/";
const std::string file_failed = "Unable to update file '" + client_2 + "' - download failed.";
constexpr int display_number = 72;
constexpr int cases_at_once = 6;

// Files the launcher rewrites on every run, whatever happens: they are not compared.
const char* const volatile_files[] = {
    ".Varnholt/bootname.txt",
    ".Varnholt/executables/download.tmp",
    ".Varnholt/executables/lock.tmp",
    "boot-report.txt",
};

// What the cases start from: the launcher's HOME after it installed client_1 from a publication of
// client_1 alone, and a newer publication that adds client_2.
struct installation {
    std::string home;
    std::string old_docroot;
    std::string new_docroot;
    std::string manifest_gz;       // the newer publication's compressed manifest
    std::string manifest_text;     // and its text
    std::string client_2;          // and its new client
    std::string updated_manifest;  // the local manifest once client_2 is installed
};

enum class outcome {
    kept,          // client_1 booted; HOME as installed
    kept_new_file, // client_1 booted; HOME as installed plus client_2's complete file, not listed
    updated,       // client_2 booted; HOME as installed plus client_2 and its line in the local manifest
};

class fault_row;

struct fault_case {
    std::string name;
    std::string expected;
    outcome result;
    std::string evidence;  // a line the console output or the log must hold
    double limit_seconds;  // the launcher must have ended within this
    std::function<void(fault_row&)> prepare;
};

struct row_result {
    bool passed = false;
    double seconds = 0;
    std::string observed;
};

// One case's world, in its own process: a copy of the installation, the newer publication as a document
// root, a display, and the server the case sets up.
class fault_row {
  public:
    explicit fault_row(const installation& base) : base_(base) {
        copy_tree(base.home, home());
        copy_tree(base.new_docroot, docroot());
    }

    std::string home() const { return work_.file("home"); }
    std::string docroot() const { return work_.file("docroot"); }
    std::string config_dir() const { return home() + "/.Varnholt"; }
    std::string executables_dir() const { return config_dir() + "/executables"; }
    std::string published(const std::string& name) const { return docroot() + download_root + name; }
    const installation& base() const { return base_; }

    void serve_old_publication() {
        remove_tree(docroot());
        copy_tree(base_.old_docroot, docroot());
        serve();
    }
    // nginx with the operators' sample locations after `directives` of the case's own.
    void serve(const std::string& directives = "") {
        nginx_ = std::make_unique<nginx_server>(
            docroot(), 80, directives + "\n" + nginx_site_locations(read_file(VARNHOLT_NGINX_SAMPLE)));
    }
    void play(const scripted_server::script& plan) { script_ = std::make_unique<scripted_server>(plan, 80); }

    // The launcher directory on a tmpfs of its own with `free_bytes` left after the installation.
    void limit_disk(int64_t free_bytes) {
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
    void make_read_only(const std::string& directory) {
        must(mount(directory.c_str(), directory.c_str(), nullptr, MS_BIND, nullptr) == 0, "bind");
        must(mount(nullptr, directory.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0,
             "remount read-only");
    }
    // Name lookups in this process's world ask a server on 127.0.0.1 that is not there.
    void use_local_resolver() {
        std::string conf = work_.file("resolv.conf");
        write_file(conf, "nameserver 127.0.0.1\n");
        if (file_exists("/etc/resolv.conf")) {
            must(mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0, "bind resolv.conf");
        }
    }

    std::string program = "varnholt-launcher-test-host";

    static void must(bool ok, const std::string& what) {
        if (!ok) {
            throw std::runtime_error(what + ": " + strerror(errno));
        }
    }

  private:
    static void copy_tree(const std::string& from, const std::string& to) {
        process_result copied = run_process({"/bin/cp", "-a", from, to});
        if (copied.exit_status != 0) {
            throw std::runtime_error("cp -a " + from + " " + to + ": " + copied.err);
        }
    }

    const installation& base_;
    temp_directory work_;
    std::unique_ptr<nginx_server> nginx_;
    std::unique_ptr<scripted_server> script_;
};

// Every file, directory and link below `root`, by relative path: contents, "<dir>" or "-> target".
std::map<std::string, std::string> tree_of(const std::string& root) {
    static std::map<std::string, std::string>* tree;
    static size_t prefix;
    std::map<std::string, std::string> result;
    tree = &result;
    prefix = root.size() + 1;
    nftw(
        root.c_str(),
        [](const char* path, const struct stat* st, int type, FTW*) {
            if (strlen(path) < prefix) {
                return 0;
            }
            std::string name = path + prefix;
            if (type == FTW_D || type == FTW_DNR) {
                (*tree)[name] = "<dir>";
            } else if (type == FTW_SL) {
                char target[4096];
                ssize_t n = readlink(path, target, sizeof target);
                (*tree)[name] = "-> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
            } else if (S_ISREG(st->st_mode)) {
                (*tree)[name] = read_file(path);
            } else {
                (*tree)[name] = "<special>";
            }
            return 0;
        },
        16, FTW_PHYS);
    for (const char* name : volatile_files) {
        result.erase(name);
    }
    return result;
}

// What differs between the tree found and the one expected, briefly.
std::string tree_differences(const std::map<std::string, std::string>& found,
                             const std::map<std::string, std::string>& expected) {
    std::string differences;
    auto note = [&](const std::string& what) { differences += (differences.empty() ? "" : ", ") + what; };
    for (const auto& [name, content] : expected) {
        auto it = found.find(name);
        if (it == found.end()) {
            note("missing " + name);
        } else if (it->second != content) {
            note("changed " + name);
        }
    }
    for (const auto& [name, content] : found) {
        if (expected.count(name) == 0) {
            note("new " + name);
        }
    }
    return differences;
}

std::string head(int64_t length) {
    std::string text = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n";
    if (length >= 0) {
        text += "Content-Length: " + std::to_string(length) + "\r\n";
    }
    return text + "Connection: close\r\n\r\n";
}

// The newer manifest answered properly, then the request for client_2 accepted and read.
scripted_server::script manifest_then_file_request(const installation& base) {
    scripted_server::script plan;
    plan.accept().read_request().send(head(static_cast<int64_t>(base.manifest_gz.size())) + base.manifest_gz);
    plan.close().accept().read_request();
    return plan;
}

// The line of `text` that holds `wanted`, cut to fit a table cell; "" when none does.
std::string first_matching_line(const std::string& text, const std::string& wanted) {
    size_t at = text.find(wanted);
    if (at == std::string::npos) {
        return "";
    }
    size_t start = text.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    std::string line = text.substr(start, text.find('\n', at) - start);
    // Messages name their function first and what happened last.
    return line.size() <= 80 ? line : "..." + line.substr(line.size() - 77);
}

std::vector<fault_case> fault_cases() {
    const std::string stalled = "transfer stalled, giving up.";
    std::vector<fault_case> cases;
    auto add = [&](fault_case c) { cases.push_back(std::move(c)); };

    // The slow ones first, so that the others run while they wait out the stall limit.
    add({"accept, then silence", "manifest given up after the stall limit; client boots",
         outcome::kept, stalled, 90, [](fault_row& r) { r.play(scripted_server::script().accept().read_request().stall()); }});
    add({"stall in the middle of the new client", "download given up after the stall limit; old client boots",
         outcome::kept, stalled, 90, [](fault_row& r) {
             const std::string& file = r.base().client_2;
             r.play(manifest_then_file_request(r.base())
                        .send(head(static_cast<int64_t>(file.size())) + file.substr(0, file.size() / 2))
                        .stall());
         }});
    add({"new client at 1 byte per second", "download given up after the stall limit; old client boots",
         outcome::kept, stalled, 90, [](fault_row& r) {
             const std::string& file = r.base().client_2;
             r.play(manifest_then_file_request(r.base())
                        .send(head(static_cast<int64_t>(file.size())))
                        .drip(file.substr(0, 120), 1000));
         }});

    add({"a newer client, served properly", "new client installed, listed and booted", outcome::updated,
         "One file to update.", 30, [](fault_row& r) { r.serve(); }});
    add({"connection refused", "fetch fails at once; installed client boots", outcome::kept, "connect failed.", 30,
         [](fault_row&) {}});
    add({"host that cannot be resolved", "fetch fails; installed client boots", outcome::kept, "connect failed.", 30,
         [](fault_row& r) {
             r.use_local_resolver();
             r.program = "varnholt-launcher-test-unresolvable";
         }});
    add({"reset in the middle of the new client", "download fails; old client boots", outcome::kept, file_failed,
         30, [](fault_row& r) {
             const std::string& file = r.base().client_2;
             r.play(manifest_then_file_request(r.base())
                        .send(head(static_cast<int64_t>(file.size())) + file.substr(0, file.size() / 2))
                        .reset());
         }});
    add({"new client shorter than its Content-Length", "download fails; old client boots", outcome::kept,
         "connection closed before the response was complete.", 30, [](fault_row& r) {
             const std::string& file = r.base().client_2;
             r.play(manifest_then_file_request(r.base())
                        .send(head(static_cast<int64_t>(file.size())) + file.substr(0, file.size() - 1))
                        .close());
         }});
    add({"new client without length, never ending", "download stops past the record's size; old client boots",
         outcome::kept, "body longer than", 30, [](fault_row& r) {
             r.play(manifest_then_file_request(r.base()).send(head(-1)).repeat(std::string(65536, 'x')));
         }});
    add({"manifest without length, junk after it without end",
         "fetch stops at the body limit; installed client boots", outcome::kept, "bytes of compressed manifest",
         60, [](fault_row& r) {
             r.play(scripted_server::script()
                        .accept()
                        .read_request()
                        .send(head(-1) + r.base().manifest_gz)
                        .repeat(std::string(65536, '\0')));
         }});
    add({"manifest of empty deflate blocks without end", "fetch stops at the body limit; installed client boots",
         outcome::kept, "bytes of compressed manifest", 60, [](fault_row& r) {
             // A gzip header, then stored blocks of no bytes, which inflate to nothing.
             std::string empty_blocks;
             for (int i = 0; i < 8192; ++i) {
                 empty_blocks += std::string("\0\0\0\xff\xff", 5);
             }
             r.play(scripted_server::script()
                        .accept()
                        .read_request()
                        .send(head(-1) + std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10))
                        .repeat(empty_blocks));
         }});
    add({"new client longer than its record's size", "download stops past the record's size; old client boots",
         outcome::kept, "body longer than", 30, [](fault_row& r) {
             std::string path = r.published(client_2);
             write_file(path, read_file(path) + std::string(1000, 'x'), 0755);
             r.serve();
         }});
    const std::string refused_status = "download failed in callback mode.";
    add({"manifest 404", "fetch fails; installed client boots", outcome::kept, refused_status, 30, [](fault_row& r) {
             fault_row::must(unlink(r.published(manifest_name).c_str()) == 0, "unlink");
             r.serve();
         }});
    add({"manifest 500", "fetch fails; installed client boots", outcome::kept, refused_status, 30,
         [](fault_row& r) { r.serve("location = " + download_root + manifest_name + " { return 500; }"); }});
    add({"manifest 301 elsewhere", "not followed, fetch fails; installed client boots", outcome::kept,
         refused_status, 30, [](fault_row& r) {
             r.serve("location = " + download_root + manifest_name + " { return 301 http://127.0.0.1/moved.gz; }");
         }});
    add({"new client 404", "download fails; old client boots", outcome::kept, "download failed for file", 30, [](fault_row& r) {
             fault_row::must(unlink(r.published(client_2).c_str()) == 0, "unlink");
             r.serve();
         }});
    static const char garbage_bytes[] = "\x16\x03\x01\x02\0 no status line here\r\n\r\n";
    static const std::string garbage(garbage_bytes, sizeof garbage_bytes - 1);
    add({"garbage instead of a status line", "fetch fails; installed client boots", outcome::kept,
         "failed to parse response line",
         30, [&](fault_row& r) {
             r.play(scripted_server::script()
                        .accept()
                        .read_request()
                        .send(garbage + r.base().manifest_gz)
                        .close());
         }});
    add({"header line of 100 KB", "fetch fails; installed client boots", outcome::kept, "too much header data", 30,
         [](fault_row& r) {
             r.play(scripted_server::script()
                        .accept()
                        .read_request()
                        .send("HTTP/1.1 200 OK\r\nX-Filler: " + std::string(100 * 1024, 'f') + "\r\n\r\n")
                        .stall(30000));
         }});
    const std::string fetch_broke = "http data fetch failed.";
    add({"chunk size beyond 32 bits", "fetch fails; installed client boots", outcome::kept, fetch_broke, 30,
         [](fault_row& r) {
             r.play(scripted_server::script()
                        .accept()
                        .read_request()
                        .send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFF\r\n" +
                              r.base().manifest_gz)
                        .stall(30000));
         }});
    add({"negative chunk size", "fetch fails; installed client boots", outcome::kept, fetch_broke, 30,
         [](fault_row& r) {
             r.play(scripted_server::script()
                        .accept()
                        .read_request()
                        .send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-10\r\n" + r.base().manifest_gz)
                        .stall(30000));
         }});
    add({"manifest that is not gzip", "fetch fails; installed client boots", outcome::kept, "inflate failed", 30,
         [](fault_row& r) {
             write_file(r.published(manifest_name), "this is not a compressed manifest\n");
             r.serve();
         }});
    add({"manifest cut short", "fetch fails; installed client boots", outcome::kept,
         "ends before its stream does", 30, [](fault_row& r) {
             const std::string& gz = r.base().manifest_gz;
             write_file(r.published(manifest_name), gz.substr(0, gz.size() / 2));
             r.serve();
         }});
    add({"manifest listing a name with \"..\"", "the name is skipped, the rest updates; nothing outside",
         outcome::updated, "Skipping unsafe file name '../../.profile'", 30, [](fault_row& r) {
             std::string escape = std::string(64, 'e') + "         10 ../../.profile\n";
             write_file(r.published(manifest_name), gzip_text(escape + r.base().manifest_text));
             r.serve();
         }});
    add({"disk full during the download", "download fails, nothing installed; old client boots", outcome::kept,
         file_failed, 30, [](fault_row& r) {
             r.limit_disk(64 * 1024);
             r.serve();
         }});
    add({"disk full during the manifest save", "save fails, run stops, manifest stays; old client boots",
         outcome::kept_new_file, "Error - unable to save manifest file.", 30, [](fault_row& r) {
             // Room for the new client to the byte page, none for the manifest written after it.
             int64_t pages = (static_cast<int64_t>(r.base().client_2.size()) + 4095) / 4096;
             r.limit_disk(pages * 4096);
             r.serve();
         }});
    add({"read-only executables directory", "update skipped; installed client boots", outcome::kept,
         "Skipping the update.", 30, [](fault_row& r) {
             r.make_read_only(r.executables_dir());
             r.serve();
         }});
    add({"damaged local manifest (junk after the records)", "rewritten without the junk; client boots",
         outcome::kept, "file manifest", 30, [](fault_row& r) {
             std::string path = r.executables_dir() + "/update_manifest.lst";
             write_file(path, read_file(path) + "\x01\x02 not a manifest line\n");
             r.serve_old_publication();
         }});
    add({"damaged local manifest (all junk)", "client fetched again, manifest rewritten; client boots",
         outcome::kept, "file manifest", 30, [](fault_row& r) {
             write_file(r.executables_dir() + "/update_manifest.lst", std::string("\x7f" "ELF\x02\x01\x01", 7) +
                                                                           std::string(3000, '\xee'));
             r.serve_old_publication();
         }});
    add({"damaged launcher.cfg", "rewritten as it was; client boots", outcome::kept, "bad XML header", 30,
         [](fault_row& r) {
             write_file(r.config_dir() + "/launcher.cfg", "<?xml garbage\x01\x02<launcher_config><beta");
             r.serve_old_publication();
         }});
    return cases;
}

// Runs one case; called in a child process of its own.
row_result run_case(const fault_case& c, const installation& installed) {
    row_result result;
    // The case's own /tmp hides the one that holds the installation: it stays reachable through a
    // descriptor of the old /tmp opened before.
    int old_tmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (old_tmp < 0 || !enter_test_sandbox()) {
        result.observed = "no sandbox for the case";
        return result;
    }
    const std::string old_tmp_path = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(old_tmp);
    auto reachable = [&](const std::string& path) {
        return path.rfind("/tmp/", 0) == 0 ? old_tmp_path + path.substr(4) : path;
    };
    installation base = installed;
    base.home = reachable(installed.home);
    base.old_docroot = reachable(installed.old_docroot);
    base.new_docroot = reachable(installed.new_docroot);
    try {
        fault_row row(base);
        xvfb_display display;
        if (!display.start(display_number, 640, 480)) {
            result.observed = "Xvfb did not start";
            return result;
        }
        c.prepare(row);

        std::string report = row.home() + "/boot-report.txt";
        process_options options;
        options.environment = launcher_environment(row.home(), display.display_name(), report);
        options.working_directory = row.home();
        options.timeout_seconds = c.limit_seconds + 30;
        auto started = std::chrono::steady_clock::now();
        process_result launcher = run_process({test_binary_directory() + "/" + row.program}, options);
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

        std::string log = file_exists(launcher_log_path) ? read_file(launcher_log_path) : "";
        std::string booted = file_exists(report) ? read_file(report) : "";
        booted = booted.substr(0, booted.find("cwd="));
        const std::string& expected_image = c.result == outcome::updated ? client_2 : client_1;

        std::map<std::string, std::string> expected = tree_of(base.home);
        if (c.result != outcome::kept) {
            expected[".Varnholt/executables/" + client_2] = base.client_2;
        }
        if (c.result == outcome::updated) {
            expected[".Varnholt/executables/update_manifest.lst"] = base.updated_manifest;
        }
        std::string differences = tree_differences(tree_of(row.home()), expected);
        std::string evidence = first_matching_line(launcher.out + "\n" + log, c.evidence);

        std::vector<std::string> problems;
        if (launcher.timed_out || launcher.exit_status != 0) {
            problems.push_back(launcher.timed_out ? "still running, killed"
                                                  : "exit status " + std::to_string(launcher.exit_status) +
                                                        " signal " + std::to_string(launcher.signal));
        }
        if (result.seconds > c.limit_seconds) {
            problems.push_back("took longer than " + std::to_string(static_cast<int>(c.limit_seconds)) + " s");
        }
        if (booted != booted_as(expected_image)) {
            problems.push_back(booted.empty() ? "booted nothing" : "booted " + booted.substr(0, booted.find('\n', 7)));
        }
        if (!differences.empty()) {
            problems.push_back(differences);
        }
        if (evidence.empty()) {
            problems.push_back("no line with \"" + c.evidence + "\"");
        }
        result.passed = problems.empty();
        if (result.passed) {
            result.observed = "booted " + expected_image.substr(expected_image.size() - 4) + ", HOME " +
                              (c.result == outcome::updated         ? "updated"
                               : c.result == outcome::kept_new_file ? "intact + unlisted 0002"
                                                                    : "intact") +
                              "; " + evidence;
        } else {
            for (const std::string& p : problems) {
                result.observed += (result.observed.empty() ? "" : "; ") + p;
            }
            std::cerr << "--- " << c.name << ": console output\n"
                      << launcher.out << launcher.err << "--- log\n"
                      << log << "---\n";
        }
    } catch (const std::exception& e) {
        result.observed = std::string("set-up failed: ") + e.what();
    }
    return result;
}

}  // namespace

namespace {

class FaultMatrix : public launcher_program_fixture {
  protected:
    void publish(const std::vector<client_image>& images, const std::string& docroot) {
        publish_images(images, work_.file("source"), docroot);
    }

    // The launcher installs client_1 from a publication of it alone; a newer one adds client_2.
    void install(installation& base) {
        base.home = home_.path();
        base.old_docroot = work_.file("old");
        base.new_docroot = work_.file("new");
        publish({{client_1, 0}}, base.old_docroot);
        publish({{client_1, 0}, {client_2, 300 * 1024}}, base.new_docroot);
        {
            nginx_server nginx(base.old_docroot, 80, nginx_site_locations(read_file(VARNHOLT_NGINX_SAMPLE)));
            start_display(640, 480);
            start_launcher();
            process_result first = wait_for_exit();
            ASSERT_EQ(first.exit_status, 0) << log();
            ASSERT_EQ(booted_argv(), booted_as(client_1)) << log();
            display_.stop();
        }
        std::string dir = base.new_docroot + download_root;
        base.manifest_gz = read_file(dir + manifest_name);
        process_result text = run_process({"/bin/gzip", "-dc", dir + manifest_name});
        ASSERT_EQ(text.exit_status, 0);
        base.manifest_text = text.out;
        base.client_2 = read_file(dir + client_2);
        std::string installed = read_file(executables_dir() + "/update_manifest.lst");
        size_t records = installed.find("\n\n");
        ASSERT_NE(records, std::string::npos) << installed;
        base.updated_manifest = installed.substr(0, records + 2) + manifest_line_of(dir + client_2, client_2) +
                                manifest_line_of(dir + client_1, client_1);
        unlink(report_path().c_str());
        unlink(launcher_log_path);
        // As a client that started well leaves it: its boot did not fail.
        write_file(config_dir() + "/bootname.txt", "");
    }

    temp_directory work_;
};

std::string cell(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

}  // namespace

TEST_F(FaultMatrix, EveryCaseEndsInTimeBootsAndLeavesTheInstallationWholeOrUpdated) {
    installation base;
    install(base);
    if (HasFatalFailure()) {
        return;
    }

    std::vector<fault_case> cases = fault_cases();
    // VARNHOLT_FAULT_CASES=text runs only the cases whose name holds the text (when looking into one).
    if (const char* only = getenv("VARNHOLT_FAULT_CASES")) {
        cases.erase(std::remove_if(cases.begin(), cases.end(),
                                   [&](const fault_case& c) { return c.name.find(only) == std::string::npos; }),
                    cases.end());
    }
    std::vector<row_result> results(cases.size());
    std::map<pid_t, std::pair<size_t, int>> running;  // pid -> its case, the pipe its result comes through
    size_t next = 0;
    while (next < cases.size() || !running.empty()) {
        if (next < cases.size() && running.size() < cases_at_once) {
            int result_pipe[2];
            ASSERT_EQ(pipe2(result_pipe, O_CLOEXEC), 0) << strerror(errno);
            pid_t pid = fork();
            ASSERT_GE(pid, 0) << strerror(errno);
            if (pid == 0) {
                close(result_pipe[0]);
                row_result r = run_case(cases[next], base);
                // Far less than a pipe holds, so the write does not wait for the reader.
                std::string text = std::to_string(r.passed ? 1 : 0) + "\n" + std::to_string(r.seconds) + "\n" +
                                   r.observed.substr(0, 4000);
                ssize_t written = write(result_pipe[1], text.data(), text.size());
                _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
            }
            close(result_pipe[1]);
            running[pid] = {next++, result_pipe[0]};
            continue;
        }
        int status = 0;
        pid_t done = waitpid(-1, &status, 0);
        ASSERT_GT(done, 0) << strerror(errno);
        auto it = running.find(done);
        if (it == running.end()) {
            continue;
        }
        row_result& r = results[it->second.first];
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = read(it->second.second, buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<size_t>(n));
        }
        close(it->second.second);
        std::istringstream in(text);
        int passed = 0;
        if (in >> passed >> r.seconds) {
            in.ignore(1);
            std::getline(in, r.observed, '\0');
            r.passed = passed == 1;
        } else {
            r.observed = "the case's process ended without a result (status " + std::to_string(status) + ")";
        }
        running.erase(it);
    }

    std::ostringstream table;
    const size_t name_width = 50, expected_width = 58;
    table << cell("case", name_width) << " | " << cell("expected", expected_width) << " | " << cell("time", 7)
          << " | observed\n"
          << std::string(name_width + expected_width + 7 + 50, '-') << "\n";
    for (size_t i = 0; i < cases.size(); ++i) {
        char seconds[16];
        snprintf(seconds, sizeof seconds, "%6.1fs", results[i].seconds);
        table << cell(cases[i].name, name_width) << " | " << cell(cases[i].expected, expected_width) << " | "
              << seconds << " | " << (results[i].passed ? "" : "FAILED: ") << results[i].observed << "\n";
    }
    std::cout << "\n" << table.str() << std::flush;
    write_file(test_binary_directory() + "/fault-matrix.txt", table.str());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_TRUE(results[i].passed) << cases[i].name << ": " << results[i].observed;
    }
}
