// A one-connection TLS server on loopback for the socket tests.
#include "net/tls_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <mutex>

namespace {

constexpr int kWaitMs = 5000;

// One key and certificate for every server of the process.
struct credentials {
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
};

credentials make_credentials() {
    credentials c;
    c.key = EVP_EC_gen("P-256");
    c.certificate = X509_new();
    X509_set_version(c.certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(c.certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(c.certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(c.certificate), 86400);
    X509_set_pubkey(c.certificate, c.key);
    X509_NAME* name = X509_get_subject_name(c.certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"),
                               -1, -1, 0);
    X509_set_issuer_name(c.certificate, name);
    X509_sign(c.certificate, c.key, EVP_sha256());
    return c;
}

const credentials& server_credentials() {
    static std::once_flag once;
    static credentials c;
    std::call_once(once, [] { c = make_credentials(); });
    return c;
}

int accept_within(int listen_fd, int ms) {
    pollfd entry{listen_fd, POLLIN, 0};
    if (poll(&entry, 1, ms) != 1) {
        return -1;
    }
    int fd = accept(listen_fd, nullptr, nullptr);
    if (fd >= 0) {
        timeval limit{kWaitMs / 1000, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    return fd;
}

}  // namespace

tls_test_server::tls_test_server(behaviour what, std::string reply) : what_(what), reply_(std::move(reply)) {
    server_credentials();
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        listen(listen_fd_, 4) == 0 &&
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port_ = ntohs(address.sin_port);
    }
    thread_ = std::thread([this] { serve(); });
}

tls_test_server::~tls_test_server() {
    release();
    wait();
    close(listen_fd_);
}

void tls_test_server::release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    released_changed_.notify_all();
}

void tls_test_server::wait() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void tls_test_server::serve() {
    int fd = accept_within(listen_fd_, kWaitMs);
    if (fd < 0) {
        return;
    }
    char buffer[4096];
    if (what_ == behaviour::silent) {
        // Until the client closes (or the receive limit passes).
        while (read(fd, buffer, sizeof buffer) > 0) {
        }
        close(fd);
        return;
    }
    if (what_ == behaviour::close_during_handshake) {
        pollfd entry{fd, POLLIN, 0};
        poll(&entry, 1, kWaitMs);
        ssize_t got = read(fd, buffer, sizeof buffer);
        (void)got;
        close(fd);
        return;
    }
    if (what_ == behaviour::answer_when_released) {
        std::unique_lock<std::mutex> lock(mutex_);
        released_changed_.wait(lock, [this] { return released_; });
    }
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(context, server_credentials().certificate);
    SSL_CTX_use_PrivateKey(context, server_credentials().key);
    SSL* session = SSL_new(context);
    SSL_set_fd(session, fd);
    if (SSL_accept(session) == 1) {
        handshake_done_ = true;
        int n = SSL_read(session, buffer, sizeof buffer);
        if (n > 0) {
            received_.assign(buffer, n);
        }
        SSL_write(session, reply_.data(), static_cast<int>(reply_.size()));
        if (what_ != behaviour::answer_then_bare_close) {
            SSL_shutdown(session);
        }
    }
    SSL_free(session);
    SSL_CTX_free(context);
    ERR_clear_error();
    close(fd);
}
