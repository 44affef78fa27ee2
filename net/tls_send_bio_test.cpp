#include "net/tls_send_bio.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "net/ssl_startup.h"
#include "net/tcp_socket.h"
#include "net/tls_test_server.h"

namespace {

// What the child saw, as its exit status.
enum : int {
    wrote_and_failed = 0,     // the writes ended in -1 with the socket closed
    never_failed = 1,         // a hundred writes went through
    reset_never_arrived = 2,  // the peer's reset did not show on the socket
};

// Writes to a TLS peer that has closed its end, in a process where SIGPIPE has its default action
// (it ends the process). The first write draws the peer's reset; a write after that one finds the
// connection broken, and a plain write() then raises SIGPIPE.
int write_until_broken(kest_tcp_socket& s) {
    signal(SIGPIPE, SIG_DFL);
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigprocmask(SIG_UNBLOCK, &pipe_only, nullptr);
    for (int i = 0; i < 100; ++i) {
        int fd = s.socket.descriptor;
        if (s.nonblocking_write("data", 4) < 0) {
            return s.state == kest_tcp_socket::state_unconnected ? wrote_and_failed : never_failed;
        }
        pollfd entry{fd, 0, 0};  // POLLERR and POLLHUP are always reported
        if (poll(&entry, 1, 5000) != 1) {
            return reset_never_arrived;
        }
    }
    return never_failed;
}

}  // namespace

TEST(TlsSendBio, WritingToAPeerThatClosedNeverRaisesSigpipe) {
    ASSERT_EQ(kest_ssl_startup(), 1);
    tls_test_server server(tls_test_server::behaviour::answer_then_close_notify);
    sockaddr_in loopback{};
    ASSERT_EQ(resolve_host("127.0.0.1", &loopback), 1);
    kest_tcp_socket s;
    s.enable_ssl();
    ASSERT_EQ(s.connect_with_timeout(loopback, server.port(), 3000), 1);
    ASSERT_EQ(s.write_with_timeout("ping", 4, 2000), 4);
    server.wait();  // it answered and closed the connection

    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        _exit(write_until_broken(s));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFSIGNALED(status)) << "killed by " << strsignal(WTERMSIG(status));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), wrote_and_failed);
    s.close();
}
