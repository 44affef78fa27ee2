// Defines send() for the test program: the net library's calls bind to this definition instead of the
// C library's, which it passes on to as the sendto system call.
#include "http/send_faults.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<int> fault_port{0};
std::atomic<size_t> fault_max_bytes{0};
std::atomic<int> fault_error{0};
std::atomic<int> fault_calls{0};

bool is_connection_to(int fd, int port) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int saved = errno;
    bool to_port = getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
                   peer.sin_family == AF_INET && ntohs(peer.sin_port) == port;
    errno = saved;
    return to_port;
}

}  // namespace

extern "C" ssize_t send(int fd, const void* data, size_t length, int flags) {
    int port = fault_port.load();
    if (port != 0 && is_connection_to(fd, port)) {
        fault_calls.fetch_add(1);
        if (fault_error.load() != 0) {
            errno = fault_error.load();
            return -1;
        }
        if (length > fault_max_bytes.load()) {
            length = fault_max_bytes.load();
        }
    }
    return syscall(SYS_sendto, fd, data, length, flags, nullptr, 0);
}

send_faults::send_faults(int port, size_t max_bytes, int error) {
    fault_max_bytes = max_bytes;
    fault_error = error;
    fault_calls = 0;
    fault_port = port;
}

send_faults::~send_faults() {
    fault_port = 0;
}

int send_faults::calls() const {
    return fault_calls.load();
}
