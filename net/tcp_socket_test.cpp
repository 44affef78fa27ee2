#include "net/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "net/ssl_startup.h"
#include "net/tls_test_server.h"
#include "testing/log_capture.h"

namespace {

sockaddr_in loopback() {
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    resolve_host("127.0.0.1", &a);
    return a;
}

// A listening socket on 127.0.0.1 at a port the kernel picks.
class listener {
  public:
    explicit listener(int backlog = 8) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback();
        socklen_t length = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, backlog) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
            port_ = ntohs(a.sin_port);
        }
    }
    ~listener() { close(fd_); }
    listener(const listener&) = delete;
    listener& operator=(const listener&) = delete;

    int port() const { return port_; }
    // The next connection, or -1 after 5 s.
    int accept_one() {
        pollfd entry{fd_, POLLIN, 0};
        if (poll(&entry, 1, 5000) != 1) {
            return -1;
        }
        return accept(fd_, nullptr, nullptr);
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// A port on loopback where nothing listens.
int closed_port() {
    listener l;
    return l.port();
}

// A connected pair: the socket under test and the server's end of it.
struct connection {
    listener server;
    kest_tcp_socket client;
    int peer = -1;

    connection() {
        if (client.connect_with_timeout(loopback(), server.port(), 2000) == 1) {
            peer = server.accept_one();
        }
    }
    ~connection() {
        client.close();
        if (peer >= 0) {
            close(peer);
        }
    }
};

std::string read_some(kest_tcp_socket& s, int size = 4096) {
    std::string buffer(size, '\0');
    int n = s.read_with_timeout(&buffer[0], size, 2000);
    return n > 0 ? buffer.substr(0, n) : std::string();
}

bool descriptor_is_open(int fd) {
    return fd >= 0 && fcntl(fd, F_GETFD) != -1;
}

long elapsed_ms(std::chrono::steady_clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
            .count());
}

// Polls a connect that start_nonblocking_connect began (its result `r`) until it is decided or 10 s
// pass, sleeping on the descriptor in between: the TCP connect waits to be writable, the handshake for
// the server's answer.
int poll_until_decided(kest_tcp_socket& s, int r) {
    auto start = std::chrono::steady_clock::now();
    while (r == 0 && elapsed_ms(start) < 10000) {
        pollfd next{s.socket.descriptor,
                    static_cast<short>(s.state == kest_tcp_socket::state_connecting ? POLLOUT : POLLIN), 0};
        poll(&next, 1, 100);
        r = s.poll_connect();
    }
    return r;
}

// Start-up ignores SIGPIPE; the tests that write to a vanished peer do the same while they run.
class sigpipe_disposition {
  public:
    explicit sigpipe_disposition(void (*handler)(int)) { saved_ = signal(SIGPIPE, handler); }
    ~sigpipe_disposition() { signal(SIGPIPE, saved_); }

  private:
    void (*saved_)(int);
};

}  // namespace

// Owners test the state with masks (state & 6: a connect is under way), so the bits are fixed.
TEST(TcpSocket, StatesAreFixedSingleBits) {
    EXPECT_EQ(kest_tcp_socket::state_unconnected, 1);
    EXPECT_EQ(kest_tcp_socket::state_connecting, 2);
    EXPECT_EQ(kest_tcp_socket::state_tls_handshake, 4);
    EXPECT_EQ(kest_tcp_socket::state_connected, 8);
}

TEST(TcpSocket, OperationsOnAnUnconnectedSocketFailWithNotConnected) {
    kest_tcp_socket s;
    EXPECT_EQ(s.state, kest_tcp_socket::state_unconnected);
    char buffer[8];
    EXPECT_EQ(s.nonblocking_read(buffer, sizeof buffer), -1);
    EXPECT_EQ(s.read_error, net_error_not_connected);
    s.read_error = 0;
    EXPECT_EQ(s.read_with_timeout(buffer, sizeof buffer, 10), -1);
    EXPECT_EQ(s.read_error, net_error_not_connected);
    EXPECT_EQ(s.nonblocking_write("x", 1), -1);
    EXPECT_EQ(s.write_error, net_error_not_connected);
    s.write_error = 0;
    EXPECT_EQ(s.write_with_timeout("x", 1, 10), -1);
    EXPECT_EQ(s.write_error, net_error_not_connected);
    s.write_error = 0;
    EXPECT_EQ(s.poll_connect(), -1);
    EXPECT_EQ(s.write_error, net_error_not_connected);
    EXPECT_EQ(s.update_connect_state(), kest_tcp_socket::state_unconnected);
    EXPECT_EQ(s.socket.descriptor, -1);
    EXPECT_EQ(s.state, kest_tcp_socket::state_unconnected);
}

TEST(TcpSocket, ExchangesDataAndSeesACleanClose) {
    connection c;
    ASSERT_GE(c.peer, 0);
    EXPECT_EQ(c.client.state, kest_tcp_socket::state_connected);
    EXPECT_EQ(ntohs(c.client.address.sin_port), c.server.port());
    EXPECT_EQ(c.client.address.sin_family, AF_INET);

    EXPECT_EQ(c.client.write_with_timeout("hello", 5, 2000), 5);
    char got[16] = {};
    ASSERT_EQ(read(c.peer, got, sizeof got), 5);
    EXPECT_STREQ(got, "hello");

    char buffer[8];
    EXPECT_EQ(c.client.nonblocking_read(buffer, sizeof buffer), 0) << "nothing there yet";
    EXPECT_EQ(c.client.read_error, net_error_would_block);
    EXPECT_EQ(c.client.state, kest_tcp_socket::state_connected);
    EXPECT_EQ(c.client.read_with_timeout(buffer, sizeof buffer, 50), 0) << "time-out";
    EXPECT_EQ(c.client.nonblocking_read(buffer, 0), 0);
    EXPECT_EQ(c.client.nonblocking_write(nullptr, 3), 0);

    // Reads never pass the size they are given, whatever the peer sends.
    ASSERT_EQ(write(c.peer, "0123456789", 10), 10);
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(c.client.read_with_timeout(buffer, 3, 2000), 3);
    EXPECT_EQ(std::string(buffer, sizeof buffer), "012#####");
    EXPECT_EQ(read_some(c.client), "3456789");

    close(c.peer);
    c.peer = -1;
    EXPECT_EQ(c.client.read_with_timeout(buffer, sizeof buffer, 2000), -1);
    EXPECT_EQ(c.client.read_error, 0);
    EXPECT_EQ(c.client.state, kest_tcp_socket::state_unconnected);
    EXPECT_EQ(c.client.socket.descriptor, -1);
    EXPECT_EQ(c.client.nonblocking_read(buffer, sizeof buffer), -1);
    EXPECT_EQ(c.client.read_error, net_error_not_connected);
}

TEST(TcpSocket, ResetByThePeerIsABrokenConnection) {
    connection c;
    ASSERT_GE(c.peer, 0);
    linger abort_on_close{1, 0};
    ASSERT_EQ(setsockopt(c.peer, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close), 0);
    close(c.peer);
    c.peer = -1;
    char buffer[8];
    EXPECT_EQ(c.client.read_with_timeout(buffer, sizeof buffer, 2000), -1);
    EXPECT_EQ(c.client.read_error, net_error_connection_reset);
    EXPECT_EQ(c.client.state, kest_tcp_socket::state_unconnected);
    EXPECT_EQ(c.client.socket.descriptor, -1);
}

// Writing to a peer that has gone away ends in EPIPE (-20) and never in a signal; the plain path does
// not depend on the disposition at all.
TEST(TcpSocket, WriteToAVanishedPeerGivesBrokenPipe) {
    for (auto handler : {SIG_IGN, SIG_DFL}) {
        sigpipe_disposition pipe(handler);
        connection c;
        ASSERT_GE(c.peer, 0);
        close(c.peer);
        c.peer = -1;
        int r = 0;
        for (int i = 0; i < 200 && r >= 0; ++i) {
            r = c.client.write_with_timeout("data", 4, 1000);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(r, -1);
        EXPECT_EQ(c.client.write_error, net_error_broken_pipe);
        EXPECT_EQ(c.client.state, kest_tcp_socket::state_unconnected);
        EXPECT_EQ(c.client.socket.descriptor, -1);
    }
}

TEST(TcpSocket, RefusedConnectFails) {
    int port = closed_port();
    kest_tcp_socket s;
    EXPECT_EQ(s.connect_with_timeout(loopback(), port, 2000), -1);
    EXPECT_EQ(s.write_error, net_error_connection_refused);
    EXPECT_EQ(s.state, kest_tcp_socket::state_unconnected);
    EXPECT_EQ(s.socket.descriptor, -1);

    // Polled: the refusal arrives after the connect was started.
    int r = s.start_nonblocking_connect(loopback(), port);
    EXPECT_TRUE(r == 0 || r == net_error_connection_refused) << r;
    EXPECT_EQ(poll_until_decided(s, r), -1);
    EXPECT_EQ(s.write_error, net_error_connection_refused);
    EXPECT_EQ(s.state, kest_tcp_socket::state_unconnected);
    EXPECT_EQ(s.socket.descriptor, -1);
}

TEST(TcpSocket, PolledConnectReachesConnected) {
    listener server;
    kest_tcp_socket s;
    int r = s.start_nonblocking_connect(loopback(), server.port());
    ASSERT_GE(r, 0);
    auto start = std::chrono::steady_clock::now();
    while (s.update_connect_state() == kest_tcp_socket::state_connecting && elapsed_ms(start) < 2000) {
    }
    EXPECT_EQ(s.state, kest_tcp_socket::state_connected);
    EXPECT_EQ(s.poll_connect(), -1);
    EXPECT_EQ(s.write_error, net_error_already_connected);
    EXPECT_EQ(s.start_nonblocking_connect(loopback(), server.port()), -1);
    EXPECT_EQ(s.write_error, net_error_already_connected);
    EXPECT_EQ(s.state, kest_tcp_socket::state_connected);
    s.close();
    EXPECT_EQ(s.state, kest_tcp_socket::state_unconnected);
    EXPECT_EQ(s.socket.descriptor, -1);

    // A closed socket connects again.
    EXPECT_EQ(s.connect_with_timeout(loopback(), server.port(), 2000), 1);
    s.close();
}

// A listener whose accept queue is full and never accepted drops further SYNs, so a connect to it stays
// in progress: the kernel's own retransmission takes a second, far longer than the limits used here.
class StalledConnect : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GT(server_.port(), 0);
        filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback();
        a.sin_port = htons(static_cast<uint16_t>(server_.port()));
        ASSERT_EQ(connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    void TearDown() override { close(filler_); }

    listener server_{0};
    int filler_ = -1;
};

TEST_F(StalledConnect, ConnectTimesOutWithinTheLimit) {
    kest_tcp_socket s;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.connect_with_timeout(loopback(), server_.port(), 300), -1);
    long ms = elapsed_ms(start);
    EXPECT_EQ(s.write_error, net_error_timeout);
    EXPECT_EQ(s.state, kest_tcp_socket::state_unconnected);
    EXPECT_EQ(s.socket.descriptor, -1);
    EXPECT_GE(ms, 290);
    // A connect that ignored the limit would wait for the kernel to give up, after about two minutes.
    EXPECT_LT(ms, 10000);
}

TEST_F(StalledConnect, SecondConnectWhileConnectingIsRefused) {
    kest_tcp_socket s;
    ASSERT_EQ(s.start_nonblocking_connect(loopback(), server_.port()), 0);
    EXPECT_EQ(s.state, kest_tcp_socket::state_connecting);
    EXPECT_EQ(s.write_error, net_error_in_progress);
    int fd = s.socket.descriptor;
    s.write_error = 0;
    EXPECT_EQ(s.start_nonblocking_connect(loopback(), server_.port()), -1);
    EXPECT_EQ(s.write_error, net_error_in_progress);
    EXPECT_EQ(s.state, kest_tcp_socket::state_connecting);
    EXPECT_EQ(s.socket.descriptor, fd);
    EXPECT_TRUE(descriptor_is_open(fd));
    EXPECT_EQ(s.poll_connect(), 0);
    EXPECT_EQ(s.update_connect_state(), kest_tcp_socket::state_connecting);

    log_capture log;
    EXPECT_EQ(s.enable_ssl(), 0);
    EXPECT_EQ(s.disable_ssl(), 0);
    EXPECT_EQ(log.text(),
              "Error in kest_tcp_socket::enable_ssl(), socket not in unconnected state.\n"
              "Error in kest_tcp_socket::disable_ssl(), socket not in unconnected state.\n");
    s.close();
}

TEST(TcpSocket, PortOutsideTheRangeIsRefused) {
    kest_tcp_socket s;
    for (int port : {-1, 65536}) {
        EXPECT_EQ(s.start_nonblocking_connect(loopback(), port), -1);
        EXPECT_EQ(s.write_error, net_error_bad_argument);
        EXPECT_EQ(s.state, kest_tcp_socket::state_unconnected);
        EXPECT_EQ(s.socket.descriptor, -1);
    }
}

TEST(TcpSocket, EnableSslTwiceWarnsButSucceeds) {
    log_capture log;
    kest_tcp_socket s;
    EXPECT_EQ(s.enable_ssl(), 1);
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(s.enable_ssl(), 1);
    EXPECT_EQ(s.ssl_enabled, 1);
    EXPECT_EQ(log.text(),
              "Error in kest_server_socket_writeable::make_ssl_capable(), socket already SSL enabled.\n");
    EXPECT_EQ(s.disable_ssl(), 1);
    EXPECT_EQ(s.ssl_enabled, 0);
}

TEST(TcpSocket, DestroyingAnOpenSocketLogsAndCloses) {
    listener server;
    log_capture log;
    int fd = -1;
    {
        kest_tcp_socket s;
        ASSERT_EQ(s.connect_with_timeout(loopback(), server.port(), 2000), 1);
        fd = s.socket.descriptor;
        EXPECT_TRUE(descriptor_is_open(fd));
    }
    EXPECT_FALSE(descriptor_is_open(fd));
    EXPECT_EQ(log.text(), "Error in ~kest_tcp_socket(), socket not closed.\n");

    log_capture quiet;
    {
        kest_tcp_socket s;
        ASSERT_EQ(s.connect_with_timeout(loopback(), server.port(), 2000), 1);
        s.close();
    }
    EXPECT_EQ(quiet.text(), "");
}

class TlsSocket : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(kest_ssl_startup(), 1); }
    sigpipe_disposition pipe_{SIG_IGN};
};

TEST_F(TlsSocket, HandshakeWriteReadAndCloseNotify) {
    tls_test_server server(tls_test_server::behaviour::answer_then_close_notify);
    kest_tcp_socket s;
    ASSERT_EQ(s.enable_ssl(), 1);
    ASSERT_EQ(s.connect_with_timeout(loopback(), server.port(), 3000), 1);
    EXPECT_EQ(s.state, kest_tcp_socket::state_connected);
    EXPECT_NE(s.ssl, nullptr);
    EXPECT_EQ(s.write_with_timeout("ping", 4, 2000), 4);
    EXPECT_EQ(read_some(s), "pong");
    char buffer[8];
    int r = 0;
    for (int i = 0; i < 10 && r == 0; ++i) {
        r = s.read_with_timeout(buffer, sizeof buffer, 2000);
    }
    EXPECT_EQ(r, -1);
    EXPECT_EQ(s.read_error, 0);
    EXPECT_EQ(s.state, kest_tcp_socket::state_unconnected);
    EXPECT_EQ(s.socket.descriptor, -1);
    server.wait();
    EXPECT_EQ(server.received(), "ping");
}

TEST_F(TlsSocket, BareEndAfterDataIsACleanEnd) {
    tls_test_server server(tls_test_server::behaviour::answer_then_bare_close, std::string(20000, 'z'));
    kest_tcp_socket s;
    s.enable_ssl();
    ASSERT_EQ(s.connect_with_timeout(loopback(), server.port(), 3000), 1);
    EXPECT_EQ(s.write_with_timeout("ping", 4, 2000), 4);
    std::string got;
    char buffer[1000];
    int r = 0;
    for (int i = 0; i < 100 && r >= 0; ++i) {
        r = s.read_with_timeout(buffer, sizeof buffer, 2000);
        if (r > 0) {
            got.append(buffer, r);
        }
    }
    EXPECT_EQ(got, std::string(20000, 'z'));
    EXPECT_EQ(r, -1);
    EXPECT_EQ(s.read_error, 0);
    EXPECT_EQ(s.state, kest_tcp_socket::state_unconnected);
}

TEST_F(TlsSocket, PolledHandshake) {
    tls_test_server server(tls_test_server::behaviour::answer_when_released);
    kest_tcp_socket s;
    s.enable_ssl();
    ASSERT_EQ(s.start_nonblocking_connect(loopback(), server.port()), 0);
    EXPECT_EQ(s.state, kest_tcp_socket::state_connecting);
    // Writable: the TCP connect is done. The next poll sends the client's hello, which the server
    // leaves unanswered until it is released.
    pollfd connected{s.socket.descriptor, POLLOUT, 0};
    ASSERT_EQ(poll(&connected, 1, 10000), 1);
    EXPECT_EQ(s.update_connect_state(), kest_tcp_socket::state_tls_handshake);
    EXPECT_EQ(s.poll_connect(), 0);
    EXPECT_EQ(s.state, kest_tcp_socket::state_tls_handshake);
    server.release();
    EXPECT_EQ(poll_until_decided(s, 0), 1);
    EXPECT_EQ(s.state, kest_tcp_socket::state_connected);
    EXPECT_EQ(s.write_with_timeout("ping", 4, 2000), 4);
    EXPECT_EQ(read_some(s), "pong");
    s.close();
}

TEST_F(TlsSocket, ServerClosingDuringTheHandshakeFailsTheConnect) {
    tls_test_server server(tls_test_server::behaviour::close_during_handshake);
    log_capture log;
    kest_tcp_socket s;
    s.enable_ssl();
    EXPECT_EQ(s.connect_with_timeout(loopback(), server.port(), 3000), -1);
    EXPECT_EQ(s.write_error, net_error_connection_reset);
    EXPECT_EQ(s.state, kest_tcp_socket::state_unconnected);
    EXPECT_EQ(s.socket.descriptor, -1);
    EXPECT_EQ(log.text(), "SSL connect failed in kest_tcp_socket::ssl_retry_connect().\n");
}

TEST_F(TlsSocket, PolledHandshakeFailureLeavesTheSocketToItsOwner) {
    tls_test_server server(tls_test_server::behaviour::close_during_handshake);
    log_capture log(3);
    kest_tcp_socket s;
    s.enable_ssl();
    EXPECT_EQ(poll_until_decided(s, s.start_nonblocking_connect(loopback(), server.port())), -1);
    EXPECT_EQ(s.write_error, net_error_connection_reset);
    EXPECT_EQ(s.state, kest_tcp_socket::state_tls_handshake);
    EXPECT_NE(s.socket.descriptor, -1);
    // The library's own text follows at level 3.
    std::string text = log.text();
    EXPECT_NE(text.find("SSL connect failed in kest_tcp_socket::ssl_retry_connect().\nerror:"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(" - err code "), std::string::npos) << text;
    s.close();
}

TEST_F(TlsSocket, SilentServerTimesTheHandshakeOut) {
    tls_test_server server(tls_test_server::behaviour::silent);
    kest_tcp_socket s;
    s.enable_ssl();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.connect_with_timeout(loopback(), server.port(), 300), -1);
    long ms = elapsed_ms(start);
    EXPECT_EQ(s.write_error, net_error_timeout);
    EXPECT_EQ(s.state, kest_tcp_socket::state_unconnected);
    EXPECT_EQ(s.socket.descriptor, -1);
    EXPECT_GE(ms, 290);
    // A handshake that ignored the limit would wait until the silent server hangs up, after 5 s.
    EXPECT_LT(ms, 4000);
    EXPECT_FALSE(server.handshake_done());
}

// Needs a process in which the TLS start-up has not run (ctest runs each case in its own).
TEST(TlsWithoutStartup, SessionCannotBeMade) {
    if (kest_ssl_context() != nullptr) {
        GTEST_SKIP() << "the TLS start-up already ran in this process";
    }
    listener server;
    log_capture log;
    kest_tcp_socket s;
    s.enable_ssl();
    EXPECT_EQ(s.connect_with_timeout(loopback(), server.port(), 2000), 0);
    EXPECT_EQ(s.state, kest_tcp_socket::state_connecting);
    EXPECT_NE(s.socket.descriptor, -1);
    EXPECT_EQ(s.ssl, nullptr);
    EXPECT_EQ(log.text(),
              "Unable to allocate SSL struct in kest_tcp_socket::ssl_try_connect(), did you run "
              "kest_ssl_startup()?\n");
    s.close();
}
