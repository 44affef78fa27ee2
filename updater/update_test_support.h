// What the updater's tests share: compressed manifests, an update server's document root served by
// nginx on port 80, standard output captured around a call, and a call run in a child process.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "testing/nginx_server.h"
#include "testing/sandbox.h"
#include "testing/temp_directory.h"

// Skips a test that needs the private namespaces of the test sandbox (port 80, mounts).
#define REQUIRE_SANDBOX()                               \
    if (!in_test_sandbox()) {                           \
        GTEST_SKIP() << "needs the private namespaces"; \
    }

// The five lines every saved local manifest starts with.
extern const char manifest_header[];

// The text as one gzip member (zlib's gzip writer) or as a zlib stream.
std::string gzip_text(const std::string& text, int level = 9);
std::string zlib_text(const std::string& text, int level = 9);

// One manifest line as the server writes it: a 20-digit hash made from `seed`, the size, the name.
std::string manifest_line(const std::string& name, int size, char seed = 'a');

// A document root laid out like the update server's, served by nginx on 127.0.0.1:80 once started.
class update_server {
  public:
    static constexpr const char* root_path = "/downloads/tessar_v3";
    static constexpr const char* list = "manifest_linux32_executables.txt.gz";

    // Stores `body` (compressed or not) as the remote manifest.
    void put_manifest(const std::string& body);
    // Stores a client file under the download root; `name` may hold directories.
    void put_file(const std::string& name, const std::string& content);
    void start(const std::string& server_directives = "");
    // nginx's access log once it holds `lines` lines (it logs a request after its response), or after 5 s.
    std::string access_log(size_t lines = 0) const;
    const temp_directory& docroot() const { return docroot_; }

  private:
    temp_directory docroot_;
    std::unique_ptr<nginx_server> nginx_;
};

// Everything written to file descriptor 1 while the object lives (stdio is flushed at both ends).
class console_capture {
  public:
    console_capture();
    ~console_capture();  // restores standard output
    console_capture(const console_capture&) = delete;
    console_capture& operator=(const console_capture&) = delete;

    // What was written so far; the capture goes on.
    std::string text();

  private:
    temp_directory dir_;
    int saved_fd_;
};

struct child_outcome {
    int exit_status;  // the status passed to exit(), or -1 when the child was killed
    std::string out;  // its standard output
};

// Runs `body` in a forked child whose standard output is captured; the child ends with `body`'s result
// unless the code it runs calls exit() first.
child_outcome run_in_child(const std::function<int()>& body);
