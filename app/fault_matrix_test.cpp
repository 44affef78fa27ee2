// The launcher against every way an update server can misbehave, and against the faults it can meet on
// its own disk. Each case runs the real program in a process of its own, with its own loopback, /tmp
// and display, several cases at a time. Afterwards the launcher must have ended in time, booted a client,
// and left the files under HOME exactly as they were installed, or exactly as a correct update leaves
// them. The suite prints the whole matrix as a table (and writes it to fault-matrix.txt beside itself);
// VARNHOLT_FAULT_CASES=<text> runs only the cases whose names hold the text.
//
// This file holds the cases, the installation they all start from and the test that runs them;
// app/fault_case.h runs and judges one case, app/fault_world.h makes the world it runs in.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "app/fault_case.h"
#include "app/fault_world.h"
#include "app/launcher_program_fixture.h"
#include "app/publication_fixture.h"
#include "testing/child_jobs.h"
#include "testing/nginx_server.h"
#include "testing/process.h"
#include "testing/scripted_server.h"
#include "testing/temp_directory.h"
#include "testing/test_certificates.h"
#include "testing/text_table.h"
#include "updater/update_test_support.h"

namespace fault_matrix {

namespace {

const std::string file_failed = "Unable to update file '" + client_2 + "' - download failed.";
constexpr size_t cases_at_once = 6;

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

// The rest of `file` from byte `from`, as a server that honours Range sends it.
std::string rest_of(const std::string& file, size_t from) {
    return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
           std::to_string(file.size() - 1) + "/" + std::to_string(file.size()) +
           "\r\nContent-Length: " + std::to_string(file.size() - from) + "\r\nConnection: close\r\n\r\n" +
           file.substr(from);
}

std::string retrying_from(size_t byte) {
    return "Retrying '" + client_2 + "' from byte " + std::to_string(byte) + ".";
}

// The next request for client_2 answered with the rest from `from`; should the launcher ask from
// elsewhere (a reset can cut off bytes that were on their way), it is refused, and the whole file sent
// to the request from byte 0 that follows.
void rest_then_whole(scripted_server::script& plan, const std::string& file, size_t from) {
    plan.accept().read_request().send(rest_of(file, from)).close();
    plan.accept().read_request().send(head(static_cast<int64_t>(file.size())) + file).close();
}

// The launcher built with the test keys, from an installation it verified, against attacks on the update
// system: each must leave every installed file as it was and boot the installed client.
void add_signed_cases(std::vector<fault_case>& cases) {
    auto add = [&](fault_case c) {
        c.name = "signed: " + c.name;
        c.build = launcher_build::signed_updates;
        cases.push_back(std::move(c));
    };
    const std::string refused_manifest = "the manifest does not match its release signature";
    const std::string no_signature = "Refusing the update - no release signature could be fetched.";
    const int64_t month = 30 * 86400;
    add({"a newer client, signed properly", "verified, installed, listed and booted", outcome::updated,
         "One file to update.", 30, [](fault_world& w) { w.serve(); }});
    add({"newer publication by the second key", "either key the launcher carries will do", outcome::updated,
         "One file to update.", 30, [=](fault_world& w) {
             sign_publication(w.docroot(), test_update_key("second", w.docroot()),
                              published_release(w.docroot()), time(nullptr) + month);
             w.serve();
         }});
    add({"new client of its size, other bytes", "file refused, release accepted; old client boots",
         outcome::kept_release_accepted,
         "Unable to update file '" + client_2 + "' - content does not match the manifest.", 30,
         [](fault_world& w) {
             std::string file = read_file(w.published(client_2));
             file[file.size() / 2] ^= 1;
             write_file(w.published(client_2), file, 0644);
             w.serve();
         }});
    add({"a manifest changed after signing", "refused; installed client boots", outcome::kept,
         refused_manifest, 30, [](fault_world& w) {
             // A well-formed manifest that hands client_2's name to other bytes.
             std::string text = w.base().manifest_text;
             size_t line = text.find(client_2) - 76;  // the first digit of its hash
             text[line] = text[line] == 'a' ? 'b' : 'a';
             write_file(w.published(manifest_name), gzip_text(text));
             w.serve();
         }});
    add({"the manifest without its signature", "refused; installed client boots", outcome::kept, no_signature,
         30, [](fault_world& w) {
             fault_world::must(unlink((w.published(manifest_name) + ".sig").c_str()) == 0, "unlink");
             w.serve();
         }});
    add({"a signature by a key the launcher lacks", "refused; installed client boots", outcome::kept,
         "which this launcher does not carry.", 30, [=](fault_world& w) {
             std::string key = w.docroot() + "/unknown.pem";
             process_result made = run_process({VARNHOLT_PUBLISH_PROGRAM, "--keygen", key});
             fault_world::must(made.exit_status == 0, "varnholt-publish --keygen: " + made.err);
             sign_publication(w.docroot(), key, published_release(w.docroot()), time(nullptr) + month);
             w.serve();
         }});
    add({"an expired signature", "refused (freeze); installed client boots", outcome::kept,
         "Refusing the update - the release signature expired at", 30, [](fault_world& w) {
             sign_publication(w.docroot(), test_update_key("first", w.docroot()),
                              published_release(w.docroot()), time(nullptr) - 3600);
             w.serve();
         }});
    add({"an older signed publication served again", "refused (rollback); installed client boots",
         outcome::kept, "installed before.", 30, [](fault_world& w) {
             w.replace_publication(w.base().oldest_docroot);
             w.serve();
         }});
    add({"the old signature with the new manifest", "refused (mix and match); installed client boots",
         outcome::kept, refused_manifest, 30, [](fault_world& w) {
             std::string signature = "/" + manifest_name + ".sig";
             write_file(w.published(manifest_name) + ".sig",
                        read_file(w.base().old_docroot + download_root + signature), 0644);
             w.serve();
         }});
    add({"reset in the middle of the new client, then the rest",
         "continued with Range; its SHA-256 covers it all: installed", outcome::updated,
         "Retrying '" + client_2 + "' from byte ", 30, [](fault_world& w) {
             const std::string& file = w.base().client_2;
             const std::string signature = read_file(w.published(manifest_name) + ".sig");
             const std::string& gz = w.base().manifest_gz;
             scripted_server::script plan;
             plan.accept()
                 .read_request()
                 .send(head(static_cast<int64_t>(signature.size())) + signature)
                 .close();
             plan.accept().read_request().send(head(static_cast<int64_t>(gz.size())) + gz).close();
             plan.accept()
                 .read_request()
                 .send(head(static_cast<int64_t>(file.size())) + file.substr(0, file.size() / 2))
                 .reset();
             rest_then_whole(plan, file, file.size() / 2);
             w.play(plan);
         }});
    add({"a signature file without end", "given up at 4 KiB, refused; installed client boots", outcome::kept,
         no_signature, 30, [](fault_world& w) {
             w.play(scripted_server::script().accept().read_request().send(head(-1)).repeat(
                 std::string(4096, 's')));
         }});
}

// The launcher built for HTTPS with a CA file against certificates it must refuse; the server is nginx
// with the operators' sample on port 443.
void add_https_cases(std::vector<fault_case>& cases) {
    auto add = [&](fault_case c) {
        c.name = "HTTPS: " + c.name;
        c.build = launcher_build::tls;
        cases.push_back(std::move(c));
    };
    add({"a certificate of the trusted CA", "verified, new client installed and booted", outcome::updated,
         "One file to update.", 30, [](fault_world& w) {
             test_certificate_authority ca;
             w.serve_https(ca.issue("127.0.0.1"), ca.certificate_pem());
         }});
    add({"a self-signed certificate", "refused, fetch fails; installed client boots", outcome::kept,
         "failed: self-signed certificate.", 30, [](fault_world& w) {
             w.serve_https(self_signed_credentials("127.0.0.1"),
                           test_certificate_authority().certificate_pem());
         }});
    add({"a certificate for another host", "refused, fetch fails; installed client boots", outcome::kept,
         "failed: IP address mismatch.", 30, [](fault_world& w) {
             test_certificate_authority ca;
             w.serve_https(ca.issue("127.0.0.2"), ca.certificate_pem());
         }});
    add({"an expired certificate", "refused, fetch fails; installed client boots", outcome::kept,
         "failed: certificate has expired.", 30, [](fault_world& w) {
             test_certificate_authority ca;
             w.serve_https(ca.issue("127.0.0.1", -7200, -3600), ca.certificate_pem());
         }});
    add({"plain HTTP on the TLS port", "handshake fails at once; installed client boots", outcome::kept,
         "failed: wrong version number.", 30, [](fault_world& w) {
             test_certificate_authority ca;
             w.serve_https(ca.issue("127.0.0.1"), ca.certificate_pem(), false);
         }});
}

// The launcher built with two hosts, 127.0.0.2 and then 127.0.0.1: a host that cannot serve is passed
// over and the next one asked.
void add_mirror_cases(std::vector<fault_case>& cases) {
    auto add = [&](fault_case c) {
        c.name = "mirrors: " + c.name;
        c.build = launcher_build::mirrors;
        cases.push_back(std::move(c));
    };
    const std::string passed_over = "passing over update host '127.0.0.2' for the rest of this run: ";
    add({"the first refuses, the second serves", "first passed over; installed from the second",
         outcome::updated, passed_over + "connection refused.", 30, [](fault_world& w) { w.serve(); }});
    add({"the first answers 503 for the new client", "first passed over; the client from the second",
         outcome::updated, passed_over + "it answered 503.", 30, [](fault_world& w) {
             scripted_server::script plan = manifest_then_file_request(w.base());
             plan.send("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
             w.play(plan, "127.0.0.2");
             w.serve();
         }});
    add({"both down", "fetch fails at once; installed client boots", outcome::kept, "connect failed.", 30,
         [](fault_world&) {}});
}

std::vector<fault_case> fault_cases() {
    const std::string stalled = "transfer stalled, giving up.";
    std::vector<fault_case> cases;
    auto add = [&](fault_case c) { cases.push_back(std::move(c)); };

    // The slow ones first, so that the others run while they wait out the stall limit.
    add({"accept, then silence", "manifest given up after the stall limit; client boots", outcome::kept,
         stalled, 90,
         [](fault_world& w) { w.play(scripted_server::script().accept().read_request().stall()); }});
    // 4 attempts that each stall for the 60 s limit, and waits of 1, 2 and 4 s between them: 247 s.
    add({"stalls on every attempt at the new client", "4 attempts, given up after 247 s; old client boots",
         outcome::kept, retrying_from(0), 275, [](fault_world& w) {
             scripted_server::script plan = manifest_then_file_request(w.base());
             plan.stall();
             for (int i = 0; i < 3; ++i) {
                 plan.accept().read_request().stall();
             }
             w.play(plan);
         }});
    add({"stall in the middle of the new client", "given up after the stall limit, continued: installed",
         outcome::updated, "Retrying '" + client_2 + "' from byte ", 90, [](fault_world& w) {
             const std::string& file = w.base().client_2;
             scripted_server::script plan = manifest_then_file_request(w.base());
             plan.send(head(static_cast<int64_t>(file.size())) + file.substr(0, file.size() / 2)).stall();
             rest_then_whole(plan, file, file.size() / 2);
             w.play(plan);
         }});
    add({"new client at 1 byte per second", "given up after the stall limit, continued: installed",
         outcome::updated, retrying_from(50), 90, [](fault_world& w) {
             const std::string& file = w.base().client_2;
             scripted_server::script plan = manifest_then_file_request(w.base());
             plan.send(head(static_cast<int64_t>(file.size()))).drip(file.substr(0, 50), 1000).stall();
             rest_then_whole(plan, file, 50);
             w.play(plan);
         }});

    add({"a newer client, served properly", "new client installed, listed and booted", outcome::updated,
         "One file to update.", 30, [](fault_world& w) { w.serve(); }});
    add({"connection refused", "fetch fails at once; installed client boots", outcome::kept,
         "connect failed.", 30, [](fault_world&) {}});
    add({"host that cannot be resolved", "fetch fails; installed client boots", outcome::kept,
         "connect failed.", 30, [](fault_world& w) {
             w.use_local_resolver();
             w.program = "varnholt-launcher-test-unresolvable";
         }});
    add({"reset in the middle of the new client", "continued with Range: installed", outcome::updated,
         "Retrying '" + client_2 + "' from byte ", 30, [](fault_world& w) {
             const std::string& file = w.base().client_2;
             scripted_server::script plan = manifest_then_file_request(w.base());
             plan.send(head(static_cast<int64_t>(file.size())) + file.substr(0, file.size() / 2)).reset();
             rest_then_whole(plan, file, file.size() / 2);
             w.play(plan);
         }});
    add({"new client shorter than its Content-Length", "the last byte fetched with Range: installed",
         outcome::updated, "connection closed before the response was complete.", 30, [](fault_world& w) {
             const std::string& file = w.base().client_2;
             scripted_server::script plan = manifest_then_file_request(w.base());
             plan.send(head(static_cast<int64_t>(file.size())) + file.substr(0, file.size() - 1)).close();
             rest_then_whole(plan, file, file.size() - 1);
             w.play(plan);
         }});
    add({"new client 503, then served", "tried again after 1 s: installed", outcome::updated,
         retrying_from(0), 30, [](fault_world& w) {
             const std::string& file = w.base().client_2;
             scripted_server::script plan = manifest_then_file_request(w.base());
             plan.send("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                 .close();
             plan.accept().read_request().send(head(static_cast<int64_t>(file.size())) + file).close();
             w.play(plan);
         }});
    add({"new client without length, never ending", "download stops past the record's size; old client boots",
         outcome::kept, "body longer than", 30, [](fault_world& w) {
             w.play(manifest_then_file_request(w.base()).send(head(-1)).repeat(std::string(65536, 'x')));
         }});
    add({"manifest without length, junk after it without end",
         "fetch stops at the body limit; installed client boots", outcome::kept,
         "bytes of compressed manifest", 60, [](fault_world& w) {
             w.play(scripted_server::script()
                        .accept()
                        .read_request()
                        .send(head(-1) + w.base().manifest_gz)
                        .repeat(std::string(65536, '\0')));
         }});
    add({"manifest of empty deflate blocks without end",
         "fetch stops at the body limit; installed client boots", outcome::kept,
         "bytes of compressed manifest", 60, [](fault_world& w) {
             // A gzip header, then stored blocks of no bytes, which inflate to nothing.
             std::string empty_blocks;
             for (int i = 0; i < 8192; ++i) {
                 empty_blocks += std::string("\0\0\0\xff\xff", 5);
             }
             w.play(scripted_server::script()
                        .accept()
                        .read_request()
                        .send(head(-1) + std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10))
                        .repeat(empty_blocks));
         }});
    add({"new client longer than its record's size",
         "download stops past the record's size; old client boots", outcome::kept, "body longer than", 30,
         [](fault_world& w) {
             std::string path = w.published(client_2);
             write_file(path, read_file(path) + std::string(1000, 'x'), 0755);
             w.serve();
         }});
    const std::string refused_status = "download failed in callback mode.";
    add({"manifest 404", "fetch fails; installed client boots", outcome::kept, refused_status, 30,
         [](fault_world& w) {
             fault_world::must(unlink(w.published(manifest_name).c_str()) == 0, "unlink");
             w.serve();
         }});
    add({"manifest 500", "fetch fails; installed client boots", outcome::kept, refused_status, 30,
         [](fault_world& w) {
             w.serve("location = " + download_root + manifest_name + " { return 500; }");
         }});
    add({"manifest 301 elsewhere", "not followed, fetch fails; installed client boots", outcome::kept,
         refused_status, 30, [](fault_world& w) {
             w.serve("location = " + download_root + manifest_name +
                     " { return 301 http://127.0.0.1/moved.gz; }");
         }});
    add({"new client 404", "download fails; old client boots", outcome::kept, "download failed for file", 30,
         [](fault_world& w) {
             fault_world::must(unlink(w.published(client_2).c_str()) == 0, "unlink");
             w.serve();
         }});
    static const char garbage_bytes[] = "\x16\x03\x01\x02\0 no status line here\r\n\r\n";
    static const std::string garbage(garbage_bytes, sizeof garbage_bytes - 1);
    add({"garbage instead of a status line", "fetch fails; installed client boots", outcome::kept,
         "failed to parse response line", 30, [&](fault_world& w) {
             w.play(scripted_server::script()
                        .accept()
                        .read_request()
                        .send(garbage + w.base().manifest_gz)
                        .close());
         }});
    add({"header line of 100 KB", "fetch fails; installed client boots", outcome::kept,
         "too much header data", 30, [](fault_world& w) {
             w.play(scripted_server::script()
                        .accept()
                        .read_request()
                        .send("HTTP/1.1 200 OK\r\nX-Filler: " + std::string(100 * 1024, 'f') + "\r\n\r\n")
                        .stall(30000));
         }});
    const std::string fetch_broke = "http data fetch failed.";
    add({"chunk size beyond 32 bits", "fetch fails; installed client boots", outcome::kept, fetch_broke, 30,
         [](fault_world& w) {
             w.play(scripted_server::script()
                        .accept()
                        .read_request()
                        .send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFF\r\n" +
                              w.base().manifest_gz)
                        .stall(30000));
         }});
    add({"negative chunk size", "fetch fails; installed client boots", outcome::kept, fetch_broke, 30,
         [](fault_world& w) {
             w.play(scripted_server::script()
                        .accept()
                        .read_request()
                        .send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-10\r\n" +
                              w.base().manifest_gz)
                        .stall(30000));
         }});
    add({"1-byte chunks with long extensions every half second",
         "fetch fails at the extension bound; client boots", outcome::kept, "too much chunk extension data",
         30, [](fault_world& w) {
             const std::string& gz = w.base().manifest_gz;
             scripted_server::script plan;
             plan.accept().read_request().send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
             for (size_t i = 0; i < 400; ++i) {
                 plan.send("1;" + std::string(1100, 'e') + "\r\n" + gz[i % gz.size()] + "\r\n").sleep(500);
             }
             w.play(plan);
         }});
    add({"manifest that is not gzip", "fetch fails; installed client boots", outcome::kept, "inflate failed",
         30, [](fault_world& w) {
             write_file(w.published(manifest_name), "this is not a compressed manifest\n");
             w.serve();
         }});
    add({"manifest cut short", "fetch fails; installed client boots", outcome::kept,
         "ends before its stream does", 30, [](fault_world& w) {
             const std::string& gz = w.base().manifest_gz;
             write_file(w.published(manifest_name), gz.substr(0, gz.size() / 2));
             w.serve();
         }});
    add({"manifest listing a name with \"..\"", "the name is skipped, the rest updates; nothing outside",
         outcome::updated, "Skipping unsafe file name '../../.profile'", 30, [](fault_world& w) {
             std::string escape = std::string(64, 'e') + "         10 ../../.profile\n";
             write_file(w.published(manifest_name), gzip_text(escape + w.base().manifest_text));
             w.serve();
         }});
    add({"disk full during the download", "download fails, nothing installed; old client boots",
         outcome::kept, file_failed, 30, [](fault_world& w) {
             w.limit_disk(64 * 1024);
             w.serve();
         }});
    add({"disk full during the manifest save", "save fails, run stops, manifest stays; old client boots",
         outcome::kept_new_file, "Error - unable to save manifest file.", 30, [](fault_world& w) {
             // Room for the new client to the byte page and a page for the record of its download, none
             // for the manifest written after it.
             int64_t pages = (static_cast<int64_t>(w.base().client_2.size()) + 4095) / 4096;
             w.limit_disk((pages + 1) * 4096);
             w.serve();
         }});
    add({"read-only executables directory", "update skipped; installed client boots", outcome::kept,
         "Skipping the update.", 30, [](fault_world& w) {
             w.make_read_only(w.executables_dir());
             w.serve();
         }});
    add({"damaged local manifest (junk after the records)", "rewritten without the junk; client boots",
         outcome::kept, "file manifest", 30, [](fault_world& w) {
             std::string path = w.executables_dir() + "/update_manifest.lst";
             write_file(path, read_file(path) + "\x01\x02 not a manifest line\n");
             w.serve_old_publication();
         }});
    add({"damaged local manifest (all junk)", "client fetched again, manifest rewritten; client boots",
         outcome::kept, "file manifest", 30, [](fault_world& w) {
             write_file(w.executables_dir() + "/update_manifest.lst", std::string("\x7f"
                                                                                  "ELF\x02\x01\x01",
                                                                                  7) +
                                                                          std::string(3000, '\xee'));
             w.serve_old_publication();
         }});
    add({"damaged launcher.cfg", "rewritten as it was; client boots", outcome::kept, "bad XML header", 30,
         [](fault_world& w) {
             write_file(w.config_dir() + "/launcher.cfg", "<?xml garbage\x01\x02<launcher_config><beta");
             w.serve_old_publication();
         }});
    add_signed_cases(cases);
    add_https_cases(cases);
    add_mirror_cases(cases);
    return cases;
}

class FaultMatrix : public launcher_program_fixture {
  protected:
    void publish(const std::vector<client_image>& images, const std::string& docroot,
                 const std::string& key = "") {
        publish_images(images, work_.file("source"), docroot, key);
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
        base.updated_manifest = installed.substr(0, records + 2) +
                                manifest_line_of(dir + client_2, client_2) +
                                manifest_line_of(dir + client_1, client_1);
        unlink(report_path().c_str());
        unlink(launcher_log_path);
        // As a client that started well leaves it: its boot did not fail.
        write_file(config_dir() + "/bootname.txt", "");
    }

    // The launcher built with the test keys installs client_1 from a signed publication of it alone, made
    // after an older one (kept for the rollback case); the newer signed publication adds client_2. Each
    // is published over a copy of the one before, so that its release follows theirs.
    void install_signed(const installation& plain, installation& base) {
        base = plain;
        base.home = work_.file("signed-home");
        base.oldest_docroot = work_.file("signed-oldest");
        base.old_docroot = work_.file("signed-old");
        base.new_docroot = work_.file("signed-new");
        std::string key = test_update_key("first", work_.path());
        publish({{client_1, 0}}, base.oldest_docroot, key);
        copy_tree(base.oldest_docroot, base.old_docroot);
        publish({{client_1, 0}}, base.old_docroot, key);
        copy_tree(base.old_docroot, base.new_docroot);
        publish({{client_1, 0}, {client_2, 300 * 1024}}, base.new_docroot, key);
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_LT(published_release(base.oldest_docroot), published_release(base.old_docroot));
        ASSERT_LT(published_release(base.old_docroot), published_release(base.new_docroot));
        base.newer_release = std::to_string(published_release(base.new_docroot)) + "\n";
        ASSERT_EQ(read_file(base.new_docroot + download_root + manifest_name), base.manifest_gz)
            << "signing leaves the manifest as it is";

        ASSERT_EQ(mkdir(base.home.c_str(), 0700), 0);
        nginx_server nginx(base.old_docroot, 80, nginx_site_locations(read_file(VARNHOLT_NGINX_SAMPLE)));
        start_display(640, 480);
        std::string report = base.home + "/boot-report.txt";
        process_options options;
        options.environment = launcher_environment(base.home, display_.display_name(), report);
        options.working_directory = base.home;
        process_result first =
            run_process({test_binary_directory() + "/varnholt-launcher-test-signed"}, options);
        display_.stop();
        ASSERT_EQ(first.exit_status, 0) << first.out << log();
        std::string booted = read_file(report);
        ASSERT_EQ(booted.substr(0, booted.find("cwd=")), booted_as(client_1)) << first.out << log();
        ASSERT_EQ(read_file(base.home + "/.Varnholt/executables/accepted_release.txt"),
                  std::to_string(published_release(base.old_docroot)) + "\n");
        ASSERT_EQ(read_file(base.home + "/.Varnholt/executables/update_manifest.lst"),
                  read_file(plain.home + "/.Varnholt/executables/update_manifest.lst"));
        unlink(report.c_str());
        unlink(launcher_log_path);
        write_file(base.home + "/.Varnholt/bootname.txt", "");
    }

    static void copy_tree(const std::string& from, const std::string& to) {
        process_result copied = run_process({"/bin/cp", "-a", from, to});
        ASSERT_EQ(copied.exit_status, 0) << copied.err;
    }

    temp_directory work_;
};

}  // namespace

TEST_F(FaultMatrix, EveryCaseEndsInTimeBootsAndLeavesTheInstallationWholeOrUpdated) {
    installation base;
    install(base);
    if (HasFatalFailure()) {
        return;
    }
    installation signed_base;
    install_signed(base, signed_base);
    if (HasFatalFailure()) {
        return;
    }

    std::vector<fault_case> cases = fault_cases();
    // VARNHOLT_FAULT_CASES=text runs only the cases whose name holds the text (when looking into one).
    if (const char* only = getenv("VARNHOLT_FAULT_CASES")) {
        cases.erase(
            std::remove_if(cases.begin(), cases.end(),
                           [&](const fault_case& c) { return c.name.find(only) == std::string::npos; }),
            cases.end());
    }
    std::vector<child_job_result> ran = run_child_jobs(cases.size(), cases_at_once, [&](size_t i) {
        const fault_case& c = cases[i];
        return result_text(run_case(c, c.build == launcher_build::signed_updates ? signed_base : base));
    });

    std::vector<case_result> results(cases.size());
    std::vector<std::vector<std::string>> rows;
    for (size_t i = 0; i < cases.size(); ++i) {
        case_result& r = results[i];
        if (!ran[i].returned || !parse_result(ran[i].text, r)) {
            r = case_result();
            r.observed = "the case's process ended without a result (status " +
                         std::to_string(ran[i].wait_status) + ")";
        }
        char seconds[16];
        snprintf(seconds, sizeof seconds, "%6.1fs", r.seconds);
        rows.push_back(
            {cases[i].name, cases[i].expected, seconds, (r.passed ? "" : "FAILED: ") + r.observed});
    }
    std::string table = text_table({52, 58, 7, 50}, {"case", "expected", "time", "observed"}, rows);
    std::cout << "\n" << table << std::flush;
    write_file(test_binary_directory() + "/fault-matrix.txt", table);
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_TRUE(results[i].passed) << cases[i].name << ": " << results[i].observed;
    }
}

}  // namespace fault_matrix
