#include "testing/nginx_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

const char nginx_configuration_template[] = VARNHOLT_SOURCE_DIR "/testing/nginx.conf.in";

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port nothing listens on now; nginx binds it a moment later (the test's network is its own).
int pick_free_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("nginx_server: no free port");
    }
    close(fd);
    return ntohs(address.sin_port);
}

// A path no test asks for: the requests access_log() makes itself, left out of what it returns.
constexpr const char* log_barrier_path = "/.nginx-server-log-barrier";

// nginx runs as one process that handles one event at a time, and it writes a request's access log
// line before it closes that request's connection. So when a request of our own, made once the
// client's have been answered, has been answered and its connection closed, every earlier request is in
// the log. False when nginx did not answer within 30 s.
bool answered_barrier_request(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    std::string request = std::string("GET ") + log_barrier_path + " HTTP/1.0\r\n\r\n";
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ok) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        pollfd readable{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) == 0) {
            ok = false;
            break;
        }
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0) {
            break;  // closed: answered
        }
        ok = n > 0 || errno == EINTR;
    }
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

// `log` without the lines of barrier requests.
std::string without_barrier_lines(const std::string& log) {
    std::string kept;
    const std::string marker = std::string(" ") + log_barrier_path + " ";
    for (size_t start = 0; start < log.size();) {
        size_t end = log.find('\n', start);
        end = end == std::string::npos ? log.size() : end + 1;
        if (log.substr(start, end - start).find(marker) == std::string::npos) {
            kept.append(log, start, end - start);
        }
        start = end;
    }
    return kept;
}

bool accepts_connections(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

// Replaces every `placeholder` in `text` with `value`; 0 when there was none.
int fill_in(std::string& text, const std::string& placeholder, const std::string& value) {
    int filled = 0;
    for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at)) {
        text.replace(at, placeholder.size(), value);
        at += value.size();
        ++filled;
    }
    return filled;
}

}  // namespace

nginx_server::nginx_server(const std::string& docroot, int port, const std::string& server_directives) {
    port_ = port != 0 ? port : pick_free_port();
    std::string conf = work_.file("nginx.conf");
    std::string server = "server {\n    listen 127.0.0.1:" + std::to_string(port_) + ";\n    root " +
                         docroot + ";\n    " + server_directives + "\n  }";
    write_file(conf, nginx_configuration(work_.path(), server));
    std::string output = work_.file("output.txt");
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("nginx_server: fork failed");
    }
    if (pid_ == 0) {
        int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        std::string prefix = work_.path() + "/";
        std::string early_log = work_.file("error.log");
        execl(program, program, "-p", prefix.c_str(), "-c", conf.c_str(), "-e", early_log.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!accepts_connections(port_)) {
        int status = 0;
        bool exited = waitpid(pid_, &status, WNOHANG) == pid_;
        if (exited || std::chrono::steady_clock::now() > deadline) {
            if (!exited) {
                stop();
            }
            pid_ = -1;
            throw std::runtime_error("nginx_server: nginx did not start: " + read_file(output) + error_log());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // A port that takes connections is not yet nginx at work: it opens its listening sockets one after
    // another (the port of a test's own listen directive, such as 443, may come after this one) and
    // answers only once all are open. So once it has answered a request, every port is there.
    if (!answered_barrier_request(port_)) {
        stop();
        throw std::runtime_error("nginx_server: nginx did not answer: " + read_file(output) + error_log());
    }
}

nginx_server::~nginx_server() {
    stop();
}

std::string nginx_server::access_log() const {
    if (pid_ > 0 && !paused_ && !answered_barrier_request(port_)) {
        fprintf(stderr, "nginx_server: nginx did not answer; its access log may lack lines\n");
    }
    return without_barrier_lines(read_file(work_.file("access.log")));
}

std::string nginx_server::access_log(size_t lines) const {
    std::string log = access_log();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (static_cast<size_t>(std::count(log.begin(), log.end(), '\n')) < lines &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log = access_log();
    }
    return log;
}

void nginx_server::pause() {
    if (pid_ > 0 && !paused_ && kill(pid_, SIGSTOP) == 0) {
        paused_ = true;
    }
}

void nginx_server::resume() {
    if (pid_ > 0 && paused_) {
        kill(pid_, SIGCONT);
        paused_ = false;
    }
}

std::string nginx_server::error_log() const {
    return read_file(work_.file("error.log"));
}

void nginx_server::stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    resume();  // a stopped process sees the SIGTERM only once it runs again
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

std::string nginx_site_locations(const std::string& site_text) {
    const std::string begin = "# --- launcher locations: begin ---";
    const std::string end = "# --- launcher locations: end ---";
    size_t from = site_text.find(begin);
    size_t to = site_text.find(end);
    if (from == std::string::npos || to == std::string::npos || to < from) {
        return "";
    }
    return site_text.substr(from, to - from);
}

std::string nginx_configuration(const std::string& work, const std::string& server) {
    std::string text = read_file(nginx_configuration_template);
    if (fill_in(text, "@WORK@", work) == 0 || fill_in(text, "@SERVER@", server) != 1) {
        throw std::runtime_error(std::string("nginx_server: no @WORK@ or no single @SERVER@ in ") +
                                 nginx_configuration_template);
    }
    return text;
}
