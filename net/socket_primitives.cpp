// The socket descriptor wrapper, the errno translation and host resolution.
#include "net/socket_primitives.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "support/debug_log.h"
#include "support/text_utils.h"

namespace {

struct error_description {
    int32_t code;
    const char* text;
};

constexpr error_description descriptions[] = {
    {net_error_not_connected, "is not connected"},
    {net_error_already_connected, "already is connected"},
    {net_error_already_done, "already done"},
    {net_error_timeout, "timeout"},
    {net_error_connection_refused, "connection refused"},
    {net_error_interrupted, "interrupted"},
    {net_error_in_progress, "in progress"},
    {net_error_would_block, "would block"},
    {net_error_network_reset, "network was reset"},
    {net_error_network_unreachable, "network unreachable"},
    {net_error_network_down, "network down"},
    {net_error_host_unreachable, "remote host unreachable"},
    {net_error_host_down, "remote host down"},
    {net_error_connection_reset, "connection aborted/reset"},
    {net_error_broken_pipe, "broken network pipe"},
    {net_error_address_in_use, "address in use"},
    {net_error_message_too_big, "data too big for operation"},
    {net_error_out_of_memory, "oom or buffer space"},
    {net_error_out_of_descriptors, "out of file descriptors"},
    {net_error_address_fault, "address/segmentation fault"},
    {net_error_bad_argument, "bad function argument"},
    {net_error_uninitialized, "network socket subsystem uninitialized"},
    {net_error_none, "no error"},
};

// errno 0 to 115 (the Linux numbers) to a code; every entry not set here is -1.
constexpr int errno_table_size = 116;

struct errno_table {
    int8_t code[errno_table_size];

    constexpr errno_table() : code() {
        for (int i = 0; i < errno_table_size; ++i) {
            code[i] = net_error_unknown;
        }
        code[0] = net_error_none;
        code[ENOTCONN] = net_error_not_connected;
        code[EISCONN] = net_error_already_connected;
        code[EALREADY] = net_error_already_done;
        code[ETIMEDOUT] = net_error_timeout;
        code[ECONNREFUSED] = net_error_connection_refused;
        code[EINTR] = net_error_interrupted;
        code[EINPROGRESS] = net_error_in_progress;
        code[EAGAIN] = net_error_would_block;
        code[ERESTART] = net_error_would_block;
        code[ENETRESET] = net_error_network_reset;
        code[ENETUNREACH] = net_error_network_unreachable;
        code[ENETDOWN] = net_error_network_down;
        code[EHOSTUNREACH] = net_error_host_unreachable;
        code[EHOSTDOWN] = net_error_host_down;
        code[ECONNABORTED] = net_error_connection_reset;
        code[ECONNRESET] = net_error_connection_reset;
        code[EPIPE] = net_error_broken_pipe;
        code[ESHUTDOWN] = net_error_broken_pipe;
        code[EADDRINUSE] = net_error_address_in_use;
        code[EMSGSIZE] = net_error_message_too_big;
        code[ENOMEM] = net_error_out_of_memory;
        code[ENOBUFS] = net_error_out_of_memory;
        code[ENFILE] = net_error_out_of_descriptors;
        code[EMFILE] = net_error_out_of_descriptors;
        code[EFAULT] = net_error_address_fault;
        code[EBADF] = net_error_bad_argument;
        code[EINVAL] = net_error_bad_argument;
        code[EBADFD] = net_error_bad_argument;
        code[ENOTSOCK] = net_error_bad_argument;
    }
};

constexpr errno_table errno_codes;
static_assert(EINPROGRESS == 115 && EAGAIN == 11, "the errno table holds the Linux numbers");

std::atomic<int> lookups{0};

int set_nonblocking_flag(int descriptor, bool nonblocking) {
    int flags = fcntl(descriptor, F_GETFL);
    flags = nonblocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(descriptor, F_SETFL, flags) == 0;
}

}  // namespace

const char* network_error_description(int32_t code) {
    for (const error_description& d : descriptions) {
        if (d.code == code) {
            return d.text;
        }
    }
    return "unknown error";
}

int32_t network_error_from_errno() {
    int e = errno;
    if (e < 0 || e >= errno_table_size) {
        return net_error_unknown;
    }
    return errno_codes.code[e];
}

int is_transient_network_error(int32_t code) {
    return code == net_error_in_progress || code == net_error_would_block || code == net_error_interrupted ||
           code == net_error_none;
}

void network_subsystem_init() {}

int kest_network_socket::create_stream(int family, int type, int protocol) {
    descriptor = socket(family, type | SOCK_CLOEXEC, protocol);
    if (descriptor < 0) {
        descriptor = -1;
        return 0;
    }
    return 1;
}

int kest_network_socket::connect_to(const sockaddr* address, socklen_t length) {
    int r = connect(descriptor, address, length);
    return r >= 0 ? r : network_error_from_errno();
}

int kest_network_socket::read_some(void* buffer, int size) {
    if (buffer == nullptr || size < 0) {
        return net_error_bad_argument;
    }
    ssize_t r = read(descriptor, buffer, static_cast<size_t>(size));
    return r >= 0 ? static_cast<int>(r) : network_error_from_errno();
}

int kest_network_socket::write_some(const void* data, int length) {
    if (data == nullptr || length < 0) {
        return net_error_bad_argument;
    }
    // send() rather than write(): a peer that has gone away gives EPIPE even where SIGPIPE is not ignored.
    ssize_t r = send(descriptor, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    return r >= 0 ? static_cast<int>(r) : network_error_from_errno();
}

int kest_network_socket::wait_select(int count, fd_set* read_set, fd_set* write_set, fd_set* exception_set,
                                     timeval* timeout) {
    int r = select(count, read_set, write_set, exception_set, timeout);
    return r >= 0 ? r : network_error_from_errno();
}

int kest_network_socket::wait_ready(int wanted, int ms, int* ready) {
    *ready = 0;
    if (descriptor < 0) {
        return net_error_bad_argument;
    }
    pollfd entry{};
    entry.fd = descriptor;
    // The conditions select() reports in each of its three sets.
    const short readable = POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR;
    const short writable = POLLOUT | POLLWRNORM | POLLWRBAND | POLLERR;
    if (wanted & wait_readable) {
        entry.events |= POLLIN | POLLRDNORM | POLLRDBAND;
    }
    if (wanted & wait_writable) {
        entry.events |= POLLOUT | POLLWRNORM | POLLWRBAND;
    }
    if (wanted & wait_exception) {
        entry.events |= POLLPRI;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    int left = ms;
    for (;;) {
        int r = poll(&entry, 1, left);
        if (r > 0) {
            break;
        }
        if (r == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return network_error_from_errno();
        }
        if (ms >= 0) {
            auto now = std::chrono::steady_clock::now();
            if (now >= deadline) {
                return 0;
            }
            left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1);
        }
    }
    if (entry.revents & POLLNVAL) {
        errno = EBADF;
        return network_error_from_errno();
    }
    if ((wanted & wait_readable) && (entry.revents & readable)) {
        *ready |= wait_readable;
    }
    if ((wanted & wait_writable) && (entry.revents & writable)) {
        *ready |= wait_writable;
    }
    if ((wanted & wait_exception) && (entry.revents & POLLPRI)) {
        *ready |= wait_exception;
    }
    return ((*ready & wait_readable) != 0) + ((*ready & wait_writable) != 0) +
           ((*ready & wait_exception) != 0);
}

void kest_network_socket::close_descriptor() {
    if (descriptor == -1) {
        return;
    }
    ::close(descriptor);
    descriptor = -1;
}

int kest_network_socket::set_blocking() {
    if (!set_nonblocking_flag(descriptor, false)) {
        debug_log_line(1, "Error in kest_network_socket::set_blocking(), setting blocking mode failed.");
        return 0;
    }
    return 1;
}

int kest_network_socket::set_nonblocking() {
    if (!set_nonblocking_flag(descriptor, true)) {
        debug_log_line(1,
                       "Error in kest_network_socket::set_nonblocking(), setting nonblocking mode failed.");
        return 0;
    }
    return 1;
}

// The decimal part at `text`, when it parses to at most 255.
static int parse_quad_part(const char* text, uint32_t* value) {
    int32_t parsed = 0;
    if (!parse_int(text, &parsed) || static_cast<uint32_t>(parsed) > 255) {
        return 0;
    }
    *value = static_cast<uint32_t>(parsed);
    return 1;
}

int64_t monotonic_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int is_dotted_quad(const char* text) {
    uint32_t part = 0;
    if (text == nullptr || !parse_quad_part(text, &part)) {
        return 0;
    }
    int digits = 0;
    int dots = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p >= '0' && *p <= '9') {
            ++digits;
        } else if (*p == '.') {
            ++dots;
            if (!parse_quad_part(p + 1, &part)) {
                return 0;
            }
        } else {
            return 0;
        }
    }
    return dots == 3 && digits >= 4 && digits <= 12;
}

int resolve_host(const char* host, sockaddr_in* address) {
    if (host == nullptr || address == nullptr) {
        return 0;
    }
    if (is_dotted_quad(host)) {
        // Converted here rather than with inet_addr(), which reads "010" as octal and turns "09" into the
        // broadcast address.
        uint32_t value = 0;
        const char* p = host;
        for (int i = 0; i < 4; ++i) {
            uint32_t part = 0;
            parse_quad_part(p, &part);
            value = (value << 8) | part;
            p = strchr(p, '.');
            p = p != nullptr ? p + 1 : "";
        }
        address->sin_family = AF_INET;
        address->sin_addr.s_addr = htonl(value);
        return 1;
    }
    network_subsystem_init();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    ++lookups;
    if (getaddrinfo(host, nullptr, &hints, &result) != 0 || result == nullptr) {
        return 0;
    }
    int found = 0;
    if (result->ai_family == AF_INET && result->ai_addr != nullptr &&
        result->ai_addrlen >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        const sockaddr_in* first = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
        address->sin_family = AF_INET;
        address->sin_addr = first->sin_addr;
        found = 1;
    }
    freeaddrinfo(result);
    return found;
}

int name_lookup_count() {
    return lookups.load();
}
