// The client connection: an IPv4 TCP socket that is always non-blocking, with an optional TLS layer.
// Every failure is recorded as a network error code in read_error or write_error; every fatal failure
// closes the descriptor and returns the socket to the unconnected state, so that the owner only has to
// look at results and, for the reason, at the error fields. Used by one thread at a time.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "net/socket_primitives.h"

struct ssl_st;      // the TLS library's session (SSL)
struct ssl_ctx_st;  // and its context (SSL_CTX)

// Logs the TLS library's oldest queued error of the calling thread with `code` at level 3.
void log_tls_error(int code);

class kest_tcp_socket {
  public:
    // Single bits: state & 6 means a connect is under way.
    enum : int32_t {
        state_unconnected = 1,
        state_connecting = 2,
        state_tls_handshake = 4,
        state_connected = 8,
    };

    kest_tcp_socket() = default;
    // Logs "socket not closed." and closes a descriptor that is still open; frees the TLS session.
    ~kest_tcp_socket();
    kest_tcp_socket(const kest_tcp_socket&) = delete;
    kest_tcp_socket& operator=(const kest_tcp_socket&) = delete;

    // 1 when unconnected (the next connect uses TLS), else 0.
    int enable_ssl();
    // 1 when unconnected (the next connect is plain TCP; an old session is freed), else 0.
    int disable_ssl();

    // Starts a connect to the family and IPv4 address of `address` at `port` (host byte order).
    // 1 connected (with TLS: handshake done); 0 in progress; negative code on failure (write_error).
    int start_nonblocking_connect(const sockaddr_in& address, int port);
    // Connects, TLS handshake included, within `ms` milliseconds in all (negative: no limit).
    // 1 connected; 0 when no TLS session could be allocated; -1 on failure (reason in write_error,
    // -41 when the time ran out), the socket then being closed.
    int connect_with_timeout(const sockaddr_in& address, int port, int ms);
    // 1 connected; 0 still in progress; -1 on failure.
    int poll_connect();
    // Polls a TCP connect in progress (state 2) and returns the state.
    int update_connect_state();
    // Begins the TLS handshake on a finished TCP connect, or completes a plain connect. With `blocking`
    // the handshake runs in blocking mode, without a time limit. 1 connected; 0 handshake in progress
    // (or no session could be allocated); -1 on failure.
    int ssl_try_connect(int blocking);
    // Continues the handshake: 1 done; 0 in progress; -1 failed (state and descriptor are left for the
    // owner to close).
    int ssl_retry_connect();

    // Bytes read (> 0); 0 when nothing is available; -1 when the connection ended: read_error 0 for a
    // clean end by the peer, else the reason. Never more than `size` bytes.
    int nonblocking_read(void* buffer, int size);
    // As nonblocking_read, waiting up to `ms` milliseconds (negative: no limit); 0 also on time-out.
    int read_with_timeout(void* buffer, int size, int ms);
    // Bytes written (> 0); 0 when nothing could be written now; -1 when the connection ended (write_error:
    // -20 for a peer that has gone away, -21 with TLS). Never raises SIGPIPE, with or without TLS.
    int nonblocking_write(const void* data, int length);
    // As nonblocking_write, waiting up to `ms` milliseconds for room; 0 also on time-out.
    int write_with_timeout(const void* data, int length, int ms);
    // Unconnected, descriptor closed. Sends no close-notify and keeps the session.
    void close();

    ssl_st* ssl = nullptr;
    int32_t ssl_enabled = 0;
    // For a verified TLS connect, both set before it: the context to make the session from (from
    // kest_ssl_create_verifying_context; null: the process context, which checks no certificate), and the
    // server's name, sent as SNI and checked against its certificate: a host name, or for a dotted quad
    // the address. Neither is owned; both must outlive the connect.
    ssl_ctx_st* ssl_context = nullptr;
    const char* ssl_peer_name = nullptr;
    kest_network_socket socket;
    sockaddr_in address{};
    int32_t state = state_unconnected;
    int32_t read_error = 0;
    int32_t write_error = 0;

  private:
    void log_refused_peer();
    // Logs `message`, closes, write_error -21; -1.
    int fail_connect(const char* message);
    // write_error = code, closed; -1.
    int abandon_connect(int32_t code);
    // The error the kernel recorded for the connect; 0 when it succeeded.
    int32_t pending_connect_error();
    // Continues a handshake in state 4 until it is done or `ms` (from `start`) has passed.
    int finish_handshake(int64_t start_ms, int ms);

    // The direction the handshake waits for after ssl_retry_connect returned 0.
    int handshake_wants_write_ = 0;
};
