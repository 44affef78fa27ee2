// The scripted server's hold: a point of the script where the server waits for the test.
#include "testing/scripted_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

// Everything the server sends until it closes.
std::string read_to_end(int fd) {
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

bool requests_read(const scripted_server& server, size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (server.requests().size() < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return server.requests().size() >= count;
}

const std::string request = "GET / HTTP/1.1\r\n\r\n";

}  // namespace

TEST(ScriptedServer, HoldWaitsForReleaseBeforeTheNextStep) {
    scripted_server server(scripted_server::script().accept().read_request().hold().send("answer").close());
    int fd = connect_to(server.port());
    ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    ASSERT_TRUE(requests_read(server, 1));
    // At the hold now, and nothing sent.
    pollfd readable{fd, POLLIN, 0};
    EXPECT_EQ(poll(&readable, 1, 0), 0);
    EXPECT_FALSE(server.wait_finished(0));
    server.release();
    EXPECT_EQ(read_to_end(fd), "answer");
    close(fd);
    EXPECT_TRUE(server.wait_finished());
}

TEST(ScriptedServer, ReleaseBeforeTheHoldLetsItPass) {
    scripted_server server(scripted_server::script().accept().hold().send("a").hold().send("b").close());
    server.release();
    server.release();
    int fd = connect_to(server.port());
    EXPECT_EQ(read_to_end(fd), "ab");
    close(fd);
}

TEST(ScriptedServer, DestroyedWhileHolding) {
    int fd = -1;
    {
        scripted_server server(scripted_server::script().accept().hold().send("never"));
        fd = connect_to(server.port());
    }
    EXPECT_EQ(read_to_end(fd), "");
    close(fd);
}
