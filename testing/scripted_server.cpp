#include "testing/scripted_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace {

using clock_type = std::chrono::steady_clock;

int milliseconds_left(clock_type::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

scripted_server::scripted_server(const script& plan, int port, const std::string& address)
    : steps_(plan.steps()) {
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0 || pipe2(release_pipe_, O_CLOEXEC) != 0) {
        throw std::runtime_error("scripted_server: pipe failed");
    }
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof bound;
    if (listen_fd_ < 0 || inet_pton(AF_INET, address.c_str(), &bound.sin_addr) != 1 ||
        bind(listen_fd_, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
        listen(listen_fd_, 16) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        int saved = errno;
        for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1], release_pipe_[0], release_pipe_[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        throw std::runtime_error("scripted_server: cannot listen on " + address + ":" + std::to_string(port) +
                                 ": " + strerror(saved));
    }
    port_ = ntohs(bound.sin_port);
    thread_ = std::thread([this] { play(); });
}

scripted_server::~scripted_server() {
    char byte = 0;
    while (write(stop_pipe_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    if (connection_fd_ >= 0) {
        ::close(connection_fd_);
    }
    for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1], release_pipe_[0], release_pipe_[1]}) {
        ::close(fd);
    }
}

void scripted_server::release() {
    char byte = 0;
    while (write(release_pipe_[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

std::vector<std::string> scripted_server::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool scripted_server::wait_finished(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return finished_changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                      [this] { return finished_; });
}

// True when `fd` shows one of `events` within `timeout_ms` (negative: no limit); false on a time-out or
// when the server is being stopped.
bool scripted_server::wait_for(int fd, short events, int timeout_ms) {
    pollfd fds[2] = {{stop_pipe_[0], POLLIN, 0}, {fd, events, 0}};
    int n = poll(fds, fd >= 0 ? 2 : 1, timeout_ms);
    while (n < 0 && errno == EINTR) {
        n = poll(fds, fd >= 0 ? 2 : 1, timeout_ms);
    }
    return n > 0 && fds[0].revents == 0 && fds[1].revents != 0;
}

// False when the server is being stopped.
bool scripted_server::sleep_ms(int ms) {
    pollfd stop = {stop_pipe_[0], POLLIN, 0};
    return poll(&stop, 1, ms) == 0;
}

bool scripted_server::wait_for_release() {
    while (wait_for(release_pipe_[0], POLLIN, -1)) {
        char byte;
        ssize_t n = read(release_pipe_[0], &byte, 1);
        if (n == 1) {
            return true;
        }
        if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return false;
}

void scripted_server::play() {
    bool stopped = false;
    for (const step& s : steps_) {
        if (stopped) {
            break;
        }
        switch (s.what) {
            case step::kind::accept:
                if (connection_fd_ >= 0) {
                    close_connection_cleanly();
                }
                if (!wait_for(listen_fd_, POLLIN, -1)) {
                    stopped = true;
                    break;
                }
                connection_fd_ = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
                ++accepted_;
                break;
            case step::kind::read_request:
                read_request();
                break;
            case step::kind::send:
                send_all(s.bytes);
                break;
            case step::kind::sleep:
                stopped = !sleep_ms(s.ms);
                break;
            case step::kind::close:
                close_connection_cleanly();
                break;
            case step::kind::reset:
                close_connection_with_reset();
                break;
            case step::kind::stall:
                stall(s.ms);
                break;
            case step::kind::drip:
                for (char c : s.bytes) {
                    if (!sleep_ms(s.ms)) {
                        stopped = true;
                        break;
                    }
                    send_all(std::string(1, c));
                }
                break;
            case step::kind::repeat:
                while (!s.bytes.empty() && send_all(s.bytes)) {
                }
                break;
            case step::kind::hold:
                stopped = !wait_for_release();
                break;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    finished_changed_.notify_all();
}

bool scripted_server::send_all(const std::string& bytes) {
    size_t sent = 0;
    while (connection_fd_ >= 0 && sent < bytes.size()) {
        if (!wait_for(connection_fd_, POLLOUT, -1)) {
            return false;
        }
        ssize_t n = ::send(connection_fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return connection_fd_ >= 0;
}

void scripted_server::read_request() {
    // Byte by byte, so that nothing after the empty line is taken from the connection.
    std::string request;
    bool ended = false;
    while (connection_fd_ >= 0 && !ended && wait_for(connection_fd_, POLLIN, -1)) {
        char c;
        ssize_t n = recv(connection_fd_, &c, 1, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        request += c;
        size_t size = request.size();
        ended = (size >= 4 && request.compare(size - 4, 4, "\r\n\r\n") == 0) ||
                (size >= 2 && request.compare(size - 2, 2, "\n\n") == 0);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
}

void scripted_server::stall(int ms) {
    auto deadline = clock_type::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    while (connection_fd_ >= 0) {
        int timeout = ms < 0 ? -1 : milliseconds_left(deadline);
        if (ms >= 0 && timeout == 0) {
            return;
        }
        if (!wait_for(connection_fd_, POLLIN, timeout)) {
            return;
        }
        char dropped[4096];
        ssize_t n = recv(connection_fd_, dropped, sizeof dropped, 0);
        if (n == 0 || (n < 0 && errno != EINTR)) {
            return;
        }
    }
}

void scripted_server::close_connection_cleanly() {
    if (connection_fd_ < 0) {
        return;
    }
    // Closing with unread bytes pending would send a reset instead of a FIN: shut down the sending side
    // and read until the peer has closed as well.
    shutdown(connection_fd_, SHUT_WR);
    stall(2000);
    ::close(connection_fd_);
    connection_fd_ = -1;
}

void scripted_server::close_connection_with_reset() {
    if (connection_fd_ < 0) {
        return;
    }
    linger abort_at_once = {1, 0};
    setsockopt(connection_fd_, SOL_SOCKET, SO_LINGER, &abort_at_once, sizeof abort_at_once);
    ::close(connection_fd_);
    connection_fd_ = -1;
}
