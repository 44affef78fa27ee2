// The lowest layer of the network transport: one POSIX socket descriptor, the fixed table of network
// error codes every failing socket call is translated into, and IPv4 host resolution. Nothing here
// retries, throws or logs a failed system call: results are counts, 0, or a negative network error code.
#pragma once

#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cstdint>

// Network error codes. Values not listed (and any outside -44 to -2) mean "unknown error".
enum : int32_t {
    net_error_not_connected = -44,
    net_error_already_connected = -43,
    net_error_already_done = -42,
    net_error_timeout = -41,
    net_error_connection_refused = -40,
    net_error_interrupted = -32,
    net_error_in_progress = -31,
    net_error_would_block = -30,
    net_error_network_reset = -26,
    net_error_network_unreachable = -25,
    net_error_network_down = -24,
    net_error_host_unreachable = -23,
    net_error_host_down = -22,
    net_error_connection_reset = -21,
    net_error_broken_pipe = -20,
    net_error_address_in_use = -16,
    net_error_message_too_big = -15,
    net_error_out_of_memory = -14,
    net_error_out_of_descriptors = -13,
    net_error_address_fault = -12,
    net_error_bad_argument = -11,
    net_error_uninitialized = -10,
    net_error_none = -2,
    net_error_unknown = -1,
};

// The fixed description of a code, e.g. "is not connected" for -44; "unknown error" for unused codes.
const char* network_error_description(int32_t code);

// The code for the calling thread's errno: -2 for 0, -1 for anything the table does not map.
int32_t network_error_from_errno();

// 1 for the conditions that never fail an operation: in progress, would block, interrupted, no error.
int is_transient_network_error(int32_t code);

// Called before every name look-up; the socket layer of this platform needs no start-up.
void network_subsystem_init();

// Flags for kest_network_socket::wait_ready, with select()'s meaning of each condition.
enum : int {
    wait_readable = 1,
    wait_writable = 2,
    wait_exception = 4,
};

class kest_network_socket {
  public:
    kest_network_socket() = default;
    ~kest_network_socket() { close_descriptor(); }
    kest_network_socket(const kest_network_socket&) = delete;
    kest_network_socket& operator=(const kest_network_socket&) = delete;

    // 1 if socket() gave a descriptor (stored, close-on-exec), else 0 with -1 stored.
    int create_stream(int family, int type, int protocol);
    // 0 when connect() succeeded, else the mapped error code.
    int connect_to(const sockaddr* address, socklen_t length);
    // Bytes read (0: end of stream), or the mapped error code. A negative size or null buffer is -11.
    int read_some(void* buffer, int size);
    // Bytes written, or the mapped error code (-20 for a peer that has gone away; never raises SIGPIPE).
    // A negative length or null data is -11.
    int write_some(const void* data, int length);
    // select()'s result when it is not negative, else the mapped error code.
    int wait_select(int count, fd_set* read_set, fd_set* write_set, fd_set* exception_set, timeval* timeout);
    // Waits up to `ms` milliseconds (negative: no limit) for any condition of `wanted` (wait_* flags) on
    // the descriptor. Unlike wait_select it works for descriptors of any number and resumes after a
    // signal with the time that is left. The number of conditions met (flags in *ready), 0 when the time
    // ran out, or a negative code.
    int wait_ready(int wanted, int ms, int* ready);
    // Closes the descriptor once; nothing when it is -1.
    void close_descriptor();
    // 1 on success; 0 after logging the failure.
    int set_blocking();
    int set_nonblocking();

    int32_t descriptor = -1;
};

// 1 if `text` is an IPv4 literal of four decimal parts of at most 255, with 4 to 12 digits in all.
int is_dotted_quad(const char* text);

// Fills only the family (AF_INET) and the IPv4 address of `address` and answers 1, or answers 0 and
// leaves it untouched; the caller zeroes the structure and sets the port. A dotted quad is converted
// without a name look-up (its parts are decimal: leading zeros are not octal); anything else is looked
// up with getaddrinfo and the first IPv4 result is taken.
int resolve_host(const char* host, sockaddr_in* address);

// getaddrinfo() calls made by resolve_host so far in this process (a diagnostic).
int name_lookup_count();

// Milliseconds of a clock that never jumps, for time limits measured across several waits.
int64_t monotonic_ms();
