// The nginx fixture: ready on all its ports when constructed, its access log complete as soon as the
// client has its answer, and paused at will.
#include "testing/nginx_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "testing/temp_directory.h"

namespace {

// A client connection that keeps itself open between requests, as the launcher's downloads do.
class keep_alive_client {
  public:
    explicit keep_alive_client(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~keep_alive_client() { close(fd_); }
    keep_alive_client(const keep_alive_client&) = delete;
    keep_alive_client& operator=(const keep_alive_client&) = delete;

    // The whole body of the answer to GET `path` (its Content-Length bytes); "" when none came.
    std::string get(const std::string& path) {
        std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (!connected_ || send(fd_, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
            return "";
        }
        std::string answer;
        size_t body_start = std::string::npos;
        size_t length = 0;
        while (body_start == std::string::npos || answer.size() < body_start + length) {
            char buffer[4096];
            ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0) {
                return "";
            }
            answer.append(buffer, static_cast<size_t>(n));
            size_t end = answer.find("\r\n\r\n");
            size_t field = answer.find("Content-Length: ");
            if (body_start == std::string::npos && end != std::string::npos && field < end) {
                body_start = end + 4;
                length = std::stoul(answer.substr(field + 16));
            }
        }
        return answer.substr(body_start);
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

}  // namespace

// nginx opens its listening sockets one after another: the first taking connections does not mean the
// others do (rarely seen: the window is short, but a loaded machine found it).
TEST(NginxServer, EveryPortTakesConnectionsOnceConstructed) {
    temp_directory root;
    for (int i = 0; i < 20; ++i) {
        nginx_server server(root.path(), 0, "listen 127.0.0.1:8443;");
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(8443);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << i;
        close(fd);
    }
}

TEST(NginxServer, AccessLogHoldsEveryAnsweredRequestAtOnce) {
    temp_directory root;
    write_file(root.file("a.txt"), "hello");
    nginx_server server(root.path());
    keep_alive_client client(server.port());
    std::string expected;
    // Many times, since nginx is seldom late with the line.
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(client.get("/a.txt"), "hello") << i;
        expected += "\"GET /a.txt HTTP/1.1\" 200 5\n";
        ASSERT_EQ(server.access_log(), expected) << "request " << i;
    }
}

TEST(NginxServer, PausedServerAnswersOnceResumedAndStopsWhilePaused) {
    temp_directory root;
    write_file(root.file("a.txt"), "hello");
    nginx_server server(root.path());
    server.pause();
    std::string body;
    std::thread client([&] { body = keep_alive_client(server.port()).get("/a.txt"); });
    server.resume();
    client.join();
    EXPECT_EQ(body, "hello");
    EXPECT_EQ(server.access_log(), "\"GET /a.txt HTTP/1.1\" 200 5\n");
    // A stopped process sees no SIGTERM: stop() must not wait for it forever.
    server.pause();
    server.stop();
}
