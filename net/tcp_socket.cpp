// The non-blocking IPv4 client socket with its optional TLS layer.
#include "net/tcp_socket.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>

#include "net/ssl_startup.h"
#include "net/tls_send_bio.h"
#include "support/bounded_string.h"
#include "support/debug_log.h"

namespace {

// What TLS calls leave in errno is only meaningful if it was clear before; the error queue must be
// empty for SSL_get_error() to be reliable.
void prepare_tls_call() {
    ERR_clear_error();
    errno = 0;
}

// A peer that ends the stream without a close-notify: the TLS library reports that as an error of its
// own (older ones as a system-call error with errno 0); either way the peer finished, nothing broke.
bool is_bare_end_of_stream(int error) {
    if (error == SSL_ERROR_SYSCALL) {
        return network_error_from_errno() == net_error_none && ERR_peek_error() == 0;
    }
    return error == SSL_ERROR_SSL && ERR_GET_LIB(ERR_peek_error()) == ERR_LIB_SSL &&
           ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

// Sends `name` as the server name and makes the session accept only a certificate for it: a host name, or
// for an IPv4 address in dotted form, that address (an address is never sent as a server name).
bool expect_peer(SSL* ssl, const char* name) {
    if (name == nullptr || name[0] == '\0') {
        return false;
    }
    in_addr address;
    if (inet_pton(AF_INET, name, &address) == 1) {
        return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name) == 1;
    }
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return SSL_set_tlsext_host_name(ssl, name) == 1 && SSL_set1_host(ssl, name) == 1;
}

}  // namespace

void log_tls_error(int code) {
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    char message[1024];
    snprintf(message, sizeof message, "%s - err code %d.", text, code);
    debug_log_line(3, "%s", message);
}

kest_tcp_socket::~kest_tcp_socket() {
    if (socket.descriptor != -1) {
        debug_log_line(1, "Error in ~kest_tcp_socket(), socket not closed.");
        socket.close_descriptor();
    }
    SSL_free(ssl);
}

int kest_tcp_socket::enable_ssl() {
    if (state != state_unconnected) {
        debug_log_line(1, "Error in kest_tcp_socket::enable_ssl(), socket not in unconnected state.");
        return 0;
    }
    if (ssl_enabled) {
        debug_log_line(
            1, "Error in kest_server_socket_writeable::make_ssl_capable(), socket already SSL enabled.");
    }
    ssl_enabled = 1;
    return 1;
}

int kest_tcp_socket::disable_ssl() {
    if (state != state_unconnected) {
        debug_log_line(1, "Error in kest_tcp_socket::disable_ssl(), socket not in unconnected state.");
        return 0;
    }
    ssl_enabled = 0;
    SSL_free(ssl);
    ssl = nullptr;
    return 1;
}

int kest_tcp_socket::abandon_connect(int32_t code) {
    write_error = code;
    close();
    return -1;
}

int kest_tcp_socket::fail_connect(const char* message) {
    debug_log_line(1, "%s", message);
    return abandon_connect(net_error_connection_reset);
}

int32_t kest_tcp_socket::pending_connect_error() {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket.descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return network_error_from_errno();
    }
    if (error == 0) {
        return 0;
    }
    errno = error;
    return network_error_from_errno();
}

int kest_tcp_socket::start_nonblocking_connect(const sockaddr_in& target, int port) {
    if (state & (state_connecting | state_tls_handshake)) {
        write_error = net_error_in_progress;
        return -1;
    }
    if (state == state_connected) {
        write_error = net_error_already_connected;
        return -1;
    }
    if (port < 0 || port > 65535) {
        write_error = net_error_bad_argument;
        return -1;
    }
    if (socket.descriptor != -1) {
        debug_log_line(1, "Error in kest_tcp_socket::start_nonblocking_connect(), socket not closed.");
        socket.close_descriptor();
    }
    if (!socket.create_stream(AF_INET, SOCK_STREAM, 0)) {
        debug_log_line(1,
                       "Error in kest_tcp_socket::start_nonblocking_connect(), unable to create new socket?");
        write_error = net_error_out_of_descriptors;
        return -1;
    }
    state = state_connecting;
    address = target;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_family = AF_INET;
    socket.set_nonblocking();
    int r = socket.connect_to(reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (r == 0 || r == net_error_already_connected) {
        write_error = 0;
        return ssl_try_connect(0);
    }
    write_error = r;
    // EINPROGRESS is the normal answer of a non-blocking connect: the result arrives as writability.
    if (is_transient_network_error(r) || r == net_error_already_done) {
        state = state_connecting;
        return 0;
    }
    close();
    return r;
}

int kest_tcp_socket::connect_with_timeout(const sockaddr_in& target, int port, int ms) {
    int64_t start = monotonic_ms();
    int r = start_nonblocking_connect(target, port);
    if (r == 1) {
        return 1;
    }
    if (r < 0) {
        return -1;
    }
    if (state == state_connecting) {
        int ready = 0;
        int waited = socket.wait_ready(wait_writable | wait_exception, ms, &ready);
        if (waited < 0) {
            return abandon_connect(net_error_unknown);
        }
        if (waited == 0) {
            return abandon_connect(net_error_timeout);
        }
        if ((ready & wait_exception) || !(ready & wait_writable)) {
            return abandon_connect(net_error_connection_reset);
        }
        // Writable also means refused: the kernel's record of the connect tells which.
        int32_t pending = pending_connect_error();
        if (pending != 0) {
            return abandon_connect(pending);
        }
        r = ssl_try_connect(0);
        if (r == 1) {
            return 1;
        }
        if (r == 0 && state != state_tls_handshake) {
            return 0;  // no TLS session could be allocated
        }
        if (r < 0) {
            if (state != state_unconnected) {
                close();
            }
            return -1;
        }
    }
    return finish_handshake(start, ms);
}

int kest_tcp_socket::finish_handshake(int64_t start_ms, int ms) {
    while (state == state_tls_handshake) {
        int left = -1;
        if (ms >= 0) {
            int64_t remaining = ms - (monotonic_ms() - start_ms);
            if (remaining <= 0) {
                return abandon_connect(net_error_timeout);
            }
            left = static_cast<int>(remaining);
        }
        int ready = 0;
        int waited = socket.wait_ready(handshake_wants_write_ ? wait_writable : wait_readable, left, &ready);
        if (waited < 0) {
            return abandon_connect(waited);
        }
        if (waited == 0) {
            return abandon_connect(net_error_timeout);
        }
        int r = ssl_retry_connect();
        if (r < 0) {
            close();
            return -1;
        }
    }
    return state == state_connected ? 1 : -1;
}

int kest_tcp_socket::poll_connect() {
    if (state == state_connected) {
        write_error = net_error_already_connected;
        return -1;
    }
    if (state == state_tls_handshake) {
        return ssl_retry_connect();
    }
    if (state != state_connecting) {
        write_error = net_error_not_connected;
        return -1;
    }
    int ready = 0;
    int waited = socket.wait_ready(wait_writable | wait_exception, 0, &ready);
    if (waited < 0) {
        write_error = waited;
        if (is_transient_network_error(waited)) {
            return 0;
        }
        close();
        return -1;
    }
    if (waited == 0) {
        return 0;
    }
    if (ready & wait_exception) {
        return abandon_connect(net_error_connection_reset);
    }
    if (!(ready & wait_writable)) {
        return 0;
    }
    int32_t pending = pending_connect_error();
    if (pending != 0) {
        return abandon_connect(pending);
    }
    return ssl_try_connect(0);
}

int kest_tcp_socket::update_connect_state() {
    if (state == state_connecting) {
        poll_connect();
    }
    return state;
}

int kest_tcp_socket::ssl_try_connect(int blocking) {
    if (!ssl_enabled) {
        state = state_connected;
        return 1;
    }
    if (state != state_connecting) {
        return fail_connect("Error in kest_tcp_socket::ssl_try_connect(), socket not in connecting state.");
    }
    SSL_free(ssl);
    ssl = SSL_new(ssl_context != nullptr ? ssl_context : kest_ssl_context());
    if (ssl == nullptr) {
        debug_log_line(1,
                       "Unable to allocate SSL struct in kest_tcp_socket::ssl_try_connect(), did you run "
                       "kest_ssl_startup()?");
        log_tls_error(0);
        return 0;
    }
    if (SSL_set_cipher_list(ssl, kest_ssl_cipher_list) != 1) {
        return fail_connect("Error in kest_tcp_socket::ssl_try_connect(), unable to set cipher list?");
    }
    if (ssl_context != nullptr && !expect_peer(ssl, ssl_peer_name)) {
        return fail_connect("Error in kest_tcp_socket::ssl_try_connect(), unable to set the server's name?");
    }
    if (SSL_set_fd(ssl, socket.descriptor) != 1) {
        return fail_connect("Error in kest_tcp_socket::ssl_try_connect(), set_fd failed?");
    }
    // The library's socket BIO writes with write(): a peer that has gone away would raise SIGPIPE.
    BIO* send_bio = new_tls_send_bio(socket.descriptor);
    if (send_bio == nullptr) {
        return fail_connect("Error in kest_tcp_socket::ssl_try_connect(), unable to make the send BIO?");
    }
    SSL_set0_wbio(ssl, send_bio);
    // A write that returned 0 is retried with the rest of the caller's data, from wherever it now is.
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    state = state_tls_handshake;
    if (!blocking) {
        return ssl_retry_connect();
    }
    socket.set_blocking();
    int r = ssl_retry_connect();
    socket.set_nonblocking();
    return r;
}

int kest_tcp_socket::ssl_retry_connect() {
    if (ssl == nullptr) {
        debug_log_line(1, "Error in kest_tcp_socket::ssl_retry_connect(), NULL ssl context?");
        write_error = net_error_connection_reset;
        return -1;
    }
    prepare_tls_call();
    int r = SSL_connect(ssl);
    if (r > 0) {
        state = state_connected;
        return 1;
    }
    if (r == 0) {
        debug_log_line(1,
                       "Warning in kest_tcp_socket::ssl_retry_connect(), SSL connect failed due to protocol "
                       "issue.");
        write_error = net_error_connection_reset;
        return -1;
    }
    int error = SSL_get_error(ssl, r);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        handshake_wants_write_ = error == SSL_ERROR_WANT_WRITE;
        return 0;
    }
    if (error == SSL_ERROR_ZERO_RETURN) {
        debug_log_line(1, "Controlled ssl close in kest_tcp_socket::ssl_retry_connect(), bailing.");
    } else {
        debug_log_line(1, "SSL connect failed in kest_tcp_socket::ssl_retry_connect().");
        if (ssl_context != nullptr) {
            log_refused_peer();
        }
        log_tls_error(error);
    }
    write_error = net_error_connection_reset;
    return -1;
}

// Why a verified handshake failed, at level 1: the certificate check's verdict, or the TLS library's reason
// ("wrong version number" for a server that answered in plain text).
void kest_tcp_socket::log_refused_peer() {
    long verdict = SSL_get_verify_result(ssl);
    const char* why = verdict != X509_V_OK ? X509_verify_cert_error_string(verdict)
                                           : ERR_reason_error_string(ERR_peek_error());
    bounded_string peer(ssl_peer_name);
    debug_log_line(1, "Error in kest_tcp_socket::ssl_retry_connect(), TLS with '%s' failed: %s.", peer.c_str(),
                   why != nullptr ? why : "the connection ended during the handshake");
}

int kest_tcp_socket::nonblocking_read(void* buffer, int size) {
    if (state != state_connected) {
        read_error = net_error_not_connected;
        return -1;
    }
    if (buffer == nullptr || size <= 0) {
        return 0;
    }
    if (ssl != nullptr) {
        prepare_tls_call();
        int r = SSL_read(ssl, buffer, size);
        if (r > 0) {
            return r;
        }
        int error = SSL_get_error(ssl, r);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            return 0;
        }
        if (error == SSL_ERROR_ZERO_RETURN || is_bare_end_of_stream(error)) {
            read_error = 0;
        } else {
            debug_log_line(3, "Unexpected ssl close in kest_tcp_socket::nonblocking_read().");
            read_error = net_error_connection_reset;
            log_tls_error(error);
        }
        close();
        return -1;
    }
    int r = socket.read_some(buffer, size);
    if (r > 0) {
        return r;
    }
    if (r == 0) {
        read_error = 0;
        close();
        return -1;
    }
    read_error = r;
    if (is_transient_network_error(r)) {
        return 0;
    }
    close();
    return -1;
}

int kest_tcp_socket::read_with_timeout(void* buffer, int size, int ms) {
    if (state != state_connected) {
        read_error = net_error_not_connected;
        return -1;
    }
    if (buffer == nullptr || size <= 0) {
        return 0;
    }
    // Read before waiting: a busy stream then costs one system call per block instead of a wait and a
    // read, and a TLS session may hold decrypted bytes that the descriptor no longer shows as readable.
    int first = nonblocking_read(buffer, size);
    if (first != 0) {
        return first;
    }
    int64_t start = monotonic_ms();
    int left = ms;
    for (;;) {
        int ready = 0;
        int waited = socket.wait_ready(wait_readable | wait_exception, left, &ready);
        if (waited < 0) {
            if (is_transient_network_error(waited)) {
                return 0;
            }
            read_error = waited;
            close();
            return -1;
        }
        if (waited == 0) {
            return 0;
        }
        if (ready & wait_exception) {
            read_error = net_error_connection_reset;
            close();
            return -1;
        }
        int r = nonblocking_read(buffer, size);
        // A TLS record that carried no data (a session ticket, say) leaves the time that is left to wait.
        if (r != 0 || ssl == nullptr) {
            return r;
        }
        if (ms >= 0) {
            left = static_cast<int>(ms - (monotonic_ms() - start));
            if (left <= 0) {
                return 0;
            }
        }
    }
}

int kest_tcp_socket::nonblocking_write(const void* data, int length) {
    if (state != state_connected) {
        write_error = net_error_not_connected;
        return -1;
    }
    if (data == nullptr || length <= 0) {
        return 0;
    }
    if (ssl != nullptr) {
        prepare_tls_call();
        int r = SSL_write(ssl, data, length);
        if (r > 0) {
            return r;
        }
        int error = SSL_get_error(ssl, r);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            return 0;
        }
        if (error == SSL_ERROR_ZERO_RETURN) {
            write_error = 0;
            debug_log_line(3, "Clean SSL shutdown in kest_tcp_socket::nonblocking_write().");
        } else {
            write_error = net_error_connection_reset;
            debug_log_line(3, "Unexpected ssl close in kest_tcp_socket::nonblocking_write().");
        }
        close();
        return -1;
    }
    int r = socket.write_some(data, length);
    if (r >= 0) {
        return r;
    }
    write_error = r;
    if (is_transient_network_error(r)) {
        return 0;
    }
    close();
    return -1;
}

int kest_tcp_socket::write_with_timeout(const void* data, int length, int ms) {
    if (state != state_connected) {
        write_error = net_error_not_connected;
        return -1;
    }
    if (data == nullptr || length <= 0) {
        return 0;
    }
    int ready = 0;
    int waited = socket.wait_ready(wait_writable | wait_exception, ms, &ready);
    if (waited < 0) {
        write_error = net_error_unknown;
        close();
        return -1;
    }
    if (waited == 0) {
        return 0;
    }
    if (ready & wait_exception) {
        write_error = net_error_connection_reset;
        close();
        return -1;
    }
    if (ready & wait_writable) {
        return nonblocking_write(data, length);
    }
    return 0;
}

void kest_tcp_socket::close() {
    state = state_unconnected;
    socket.close_descriptor();
}
