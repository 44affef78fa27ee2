// A real nginx for tests: serves a directory on a loopback port with the shared configuration
// (testing/nginx.conf.in), whose logs, pid file and temporary paths all live in a private temporary
// directory.
#pragma once

#include <sys/types.h>

#include <string>

#include "testing/temp_directory.h"

class nginx_server {
  public:
    // Serves `docroot` as "/" on 127.0.0.1:`port` (0: a port that is free now) and returns once nginx
    // answers, on every port it listens on. `server_directives` are put into the server block as they
    // stand (for example "ssi on; ssi_types *;" to make nginx send bodies of unknown length chunked, or
    // another listen directive). Throws std::runtime_error with nginx's error log when nginx does not
    // come up within 30 seconds.
    explicit nginx_server(const std::string& docroot, int port = 0,
                          const std::string& server_directives = "");
    ~nginx_server();  // stop()
    nginx_server(const nginx_server&) = delete;
    nginx_server& operator=(const nginx_server&) = delete;

    int port() const { return port_; }
    // One line per finished request: "<request line>" <status> <body bytes sent>, for example
    // "GET /a.txt HTTP/1.1" 200 5
    // nginx logs a request only after it has sent the response, so a client can be done before its line
    // is written. This answers once every request answered before the call is in the log (see
    // nginx_server.cpp); a request still being answered may or may not be. Not while paused.
    std::string access_log() const;
    // The access log once it holds `lines` lines, or as it is after 30 s.
    std::string access_log(size_t lines) const;
    std::string error_log() const;
    // Stops nginx where it is (SIGSTOP) until resume(): connections wait for it, none is lost.
    void pause();
    void resume();
    // Ends nginx and waits for it; later calls do nothing.
    void stop();

    static constexpr const char* program = "/usr/sbin/nginx";

  private:
    temp_directory work_;
    int port_ = 0;
    pid_t pid_ = -1;
    bool paused_ = false;
};

// The directives between the "# --- launcher locations: begin ---" and "...: end ---" markers of an nginx
// site file (tools/nginx-varnholt.conf), to be served by nginx_server as `server_directives`; "" when a
// marker is missing.
std::string nginx_site_locations(const std::string& site_text);

// testing/nginx.conf.in, the configuration every nginx of the tests, benchmarks and scripts/demo runs with.
extern const char nginx_configuration_template[];

// That configuration with its pid file, logs and temporaries in `work` and `server` as its server (a
// server block, or "include SITE;"). Throws std::runtime_error when the template cannot be read or has
// lost a placeholder.
std::string nginx_configuration(const std::string& work, const std::string& server);
