// A file server for benchmarks: answers every GET with one file, honouring "Range: bytes=N-" with a 206,
// and cuts every connection (a reset) once `cut` body bytes of it have reached the client. On SIGTERM it
// writes how many connections it took and how many body bytes it sent to <count file>, and exits. Sent
// are the bytes the client's side acknowledged, whether or not the client could use them.
//   range_cut_server <port> <file> <cut bytes> <count file>        (on 127.0.0.1)
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/tcp.h>  // its tcp_info has tcpi_bytes_acked, which glibc's lacks
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/sockios.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

volatile sig_atomic_t stopping = 0;

void on_term(int) {
    stopping = 1;
}

// The request's header block, or "" when the peer went away first.
std::string read_request(int fd) {
    std::string request;
    char c;
    while (request.size() < 65536 && request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(fd, &c, 1, 0);
        if (n <= 0) {
            return "";
        }
        request += c;
    }
    return request;
}

// The N of "Range: bytes=N-", or -1.
long long range_start(const std::string& request) {
    for (size_t at = request.find("\r\n"); at != std::string::npos; at = request.find("\r\n", at + 2)) {
        const char* line = request.c_str() + at + 2;
        if (strncasecmp(line, "Range: bytes=", 13) == 0) {
            char* end = nullptr;
            long long n = strtoll(line + 13, &end, 10);
            return end != line + 13 && *end == '-' && end[1] == '\r' ? n : -1;
        }
    }
    return -1;
}

bool send_text(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s <port> <file> <cut bytes> <count file>\n", argv[0]);
        return 2;
    }
    int file = open(argv[2], O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (file < 0 || fstat(file, &status) != 0) {
        perror(argv[2]);
        return 1;
    }
    const long long size = status.st_size;
    const long long cut = atoll(argv[3]);
    // SIGTERM is taken only while waiting for the next connection, so none is missed or cuts a transfer.
    struct sigaction term {};
    term.sa_handler = on_term;
    sigaction(SIGTERM, &term, nullptr);
    sigset_t only_term, waiting;
    sigemptyset(&only_term);
    sigaddset(&only_term, SIGTERM);
    sigprocmask(SIG_BLOCK, &only_term, &waiting);

    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0) {
        perror("listen");
        return 1;
    }
    long long connections = 0;
    long long body_bytes = 0;
    while (!stopping) {
        pollfd next = {listener, POLLIN, 0};
        if (ppoll(&next, 1, nullptr, &waiting) <= 0) {
            continue;
        }
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        ++connections;
        std::string request = read_request(fd);
        long long from = range_start(request);
        bool partial = from > 0 && from < size;
        long long offset = partial ? from : 0;
        std::string head = partial ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                                         std::to_string(from) + "-" + std::to_string(size - 1) + "/" +
                                         std::to_string(size) + "\r\n"
                                   : "HTTP/1.1 200 OK\r\n";
        head += "Content-Length: " + std::to_string(size - offset) + "\r\nConnection: close\r\n\r\n";
        bool whole = false;
        bool head_sent = !request.empty() && send_text(fd, head);
        if (head_sent) {
            off_t at = static_cast<off_t>(offset);
            long long this_connection = 0;
            while (at < size && this_connection < cut) {
                long long want = size - at;
                want = want < cut - this_connection ? want : cut - this_connection;
                ssize_t n = sendfile(fd, file, &at, static_cast<size_t>(want < (1 << 20) ? want : (1 << 20)));
                if (n <= 0) {
                    break;
                }
                this_connection += n;
            }
            whole = at == size;
        }
        if (whole) {
            shutdown(fd, SHUT_WR);  // and wait for the client to have it all, so that all of it counts
            char sink[4096];
            while (recv(fd, sink, sizeof sink, 0) > 0) {
            }
        } else if (head_sent) {
            // The cut comes once what was handed over has reached the client (within ten seconds).
            auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            int unacknowledged = 0;
            while (ioctl(fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0 &&
                   std::chrono::steady_clock::now() < give_up) {
                poll(nullptr, 0, 1);
            }
        }
        tcp_info info{};
        socklen_t info_length = sizeof info;
        if (head_sent && getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &info_length) == 0) {
            // The FIN of a connection that ended cleanly is acknowledged as one more byte.
            long long acked = static_cast<long long>(info.tcpi_bytes_acked) -
                              static_cast<long long>(head.size()) - (whole ? 1 : 0);
            body_bytes += acked > 0 ? acked : 0;
        }
        if (!whole) {
            linger reset = {1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        close(fd);
    }
    FILE* out = fopen(argv[4], "w");
    if (out == nullptr) {
        perror(argv[4]);
        return 1;
    }
    fprintf(out, "connections %lld body_bytes %lld\n", connections, body_bytes);
    fclose(out);
    return 0;
}
