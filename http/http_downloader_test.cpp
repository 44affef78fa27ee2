#include "http/http_downloader.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "http/send_faults.h"
#include "testing/digest.h"
#include "testing/log_capture.h"
#include "testing/nginx_server.h"
#include "testing/sandbox.h"
#include "testing/scripted_server.h"
#include "testing/temp_directory.h"

namespace {

using script = scripted_server::script;

const std::string error = "Error in kest_http_downloader::download(), ";
const std::string fetch_failed = error + "http data fetch failed.\n";
const std::string socket_left_open = "Error in ~kest_tcp_socket(), socket not closed.\n";

// What the callbacks saw.
struct sink {
    std::string data;
    std::vector<std::pair<int, int>> progress;
    int accept = 1;

    static int on_data(void* user, const char* bytes, int length) {
        auto* s = static_cast<sink*>(user);
        s->data.append(bytes, static_cast<size_t>(length));
        return s->accept;
    }
    static void on_progress(void* user, int received, int total) {
        static_cast<sink*>(user)->progress.emplace_back(received, total);
    }
};

enum class mode { file, data_callback };

std::unique_ptr<kest_http_downloader> downloader_for(int port, sink& s, mode m) {
    auto d = std::make_unique<kest_http_downloader>();
    d->user_data = &s;
    d->progress_callback = sink::on_progress;
    if (m == mode::data_callback) {
        d->data_callback = sink::on_data;
    }
    EXPECT_EQ(d->set_connection("127.0.0.1", port, 0), 1);
    return d;
}

std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    }
    return bytes;
}

std::string with_length(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

// --- Normal answers, from nginx ---

TEST(HttpDownloader, FileModeWritesTheBodyAndReportsProgress) {
    log_capture log;
    temp_directory root, out;
    const std::string body = pattern(100000);
    write_file(root.file("client.bin"), body);
    nginx_server server(root.path());
    sink s;
    {
        auto d = downloader_for(server.port(), s, mode::file);
        ASSERT_EQ(d->download("127.0.0.1", "/client.bin", out.file("download.tmp").c_str()), 1);
        EXPECT_EQ(read_file(out.file("download.tmp")), body);
        EXPECT_EQ(d->received, 100000);
        EXPECT_EQ(d->total, 100000);
        EXPECT_EQ(d->output_file, nullptr);
    }
    ASSERT_GE(s.progress.size(), 2u);
    EXPECT_EQ(s.progress.front(), std::make_pair(0, 100000));
    EXPECT_EQ(s.progress.back(), std::make_pair(100000, 100000));
    EXPECT_EQ(log.text(), "");  // the exchange closed the connection itself
    EXPECT_EQ(server.access_log(1), "\"GET /client.bin HTTP/1.1\" 200 100000\n");
}

TEST(HttpDownloader, LargeFileStreamsToDisk) {
    temp_directory root, out;
    const std::string body = pattern(50 * 1024 * 1024);
    write_file(root.file("big.bin"), body);
    nginx_server server(root.path());
    sink s;
    auto d = downloader_for(server.port(), s, mode::file);
    ASSERT_EQ(d->download("127.0.0.1", "/big.bin", out.file("big.bin").c_str()), 1);
    EXPECT_TRUE(read_file(out.file("big.bin")) == body);
    EXPECT_EQ(s.progress.back(),
              std::make_pair(static_cast<int>(body.size()), static_cast<int>(body.size())));
}

// The hasher sees the body as it arrives and nothing else: no header, no chunk framing, in either mode.
TEST(HttpDownloader, BodyHasherSeesExactlyTheBody) {
    temp_directory root, out;
    const std::string body = pattern(300000);
    write_file(root.file("client.bin"), body);
    sha256_hasher expected;
    expected.update(body.data(), body.size());
    char expected_hex[sha256_hex_length + 1];
    ASSERT_EQ(expected.finish_hex(expected_hex), 1);
    for (bool chunked : {false, true}) {
        nginx_server server(root.path(), 0, chunked ? "ssi on; ssi_types *;" : "");
        for (mode m : {mode::file, mode::data_callback}) {
            sink s;
            sha256_hasher hasher;
            auto d = downloader_for(server.port(), s, m);
            d->body_hasher = &hasher;
            int ok = m == mode::file
                         ? d->download("127.0.0.1", "/client.bin", out.file("download.tmp").c_str())
                         : d->download("127.0.0.1", "/client.bin");
            ASSERT_EQ(ok, 1);
            char hex[sha256_hex_length + 1];
            ASSERT_EQ(hasher.finish_hex(hex), 1);
            EXPECT_STREQ(hex, expected_hex) << (chunked ? "chunked, " : "with length, ")
                                            << (m == mode::file ? "file mode" : "data callback");
        }
    }
}

TEST(HttpDownloader, ChunkedBodyThroughDataCallback) {
    log_capture log;
    temp_directory root;
    const std::string body = pattern(30000);
    write_file(root.file("page.txt"), body);
    // With server-side includes on, nginx does not know the length and sends the body chunked.
    nginx_server server(root.path(), 0, "ssi on; ssi_types *;");
    sink s;
    auto d = downloader_for(server.port(), s, mode::data_callback);
    ASSERT_EQ(d->download("127.0.0.1", "/page.txt"), 1);
    EXPECT_TRUE(s.data == body);
    EXPECT_EQ(d->total, -1);
    EXPECT_EQ(s.progress.front(), std::make_pair(0, -1));
    EXPECT_EQ(s.progress.back(), std::make_pair(30000, -1));
    EXPECT_EQ(log.text(), "");
}

TEST(HttpDownloader, NotFoundNeverTouchesTheFile) {
    temp_directory root, out;
    nginx_server server(root.path());
    const std::string fresh = out.file("fresh.bin");
    const std::string existing = out.file("existing.bin");
    write_file(existing, "keep me");
    for (const std::string& destination : {fresh, existing}) {
        log_capture log;
        sink s;
        {
            auto d = downloader_for(server.port(), s, mode::file);
            EXPECT_EQ(d->download("127.0.0.1", "/missing.bin", destination.c_str()), 0);
        }
        EXPECT_EQ(log.text(),
                  "Warning in kest_http_downloader::callback_message_received(), download failed for file '" +
                      destination + "'.  Aborting download.\n" + fetch_failed + socket_left_open);
        EXPECT_TRUE(s.progress.empty());
    }
    EXPECT_FALSE(file_exists(fresh));
    EXPECT_EQ(read_file(existing), "keep me");
}

TEST(HttpDownloader, NotFoundInDataCallbackMode) {
    log_capture log;
    temp_directory root;
    nginx_server server(root.path());
    sink s;
    {
        auto d = downloader_for(server.port(), s, mode::data_callback);
        EXPECT_EQ(d->download("127.0.0.1", "/missing.bin"), 0);
    }
    EXPECT_EQ(s.data, "");
    EXPECT_EQ(
        log.text(),
        "Warning in kest_http_downloader::callback_message_received(), download failed in callback mode.\n" +
            fetch_failed + socket_left_open);
}

TEST(HttpDownloader, DataCallbackRefusingTheFirstPieceAbandons) {
    log_capture log;
    temp_directory root;
    write_file(root.file("m.gz"), pattern(20000));
    nginx_server server(root.path());
    sink s;
    s.accept = 0;
    auto d = downloader_for(server.port(), s, mode::data_callback);
    EXPECT_EQ(d->download("127.0.0.1", "/m.gz"), 0);
    EXPECT_GT(d->received, 0);
    EXPECT_EQ(d->received, static_cast<int>(s.data.size()));  // the refused piece is counted
    EXPECT_EQ(log.text(), fetch_failed);
}

TEST(HttpDownloader, BodyByteLimit) {
    const std::string body = pattern(20000);
    struct {
        int64_t limit;
        int result;
        std::string logged;
    } cases[] = {
        {20000, 1, ""},
        {19999, 0,
         "Warning in kest_http_downloader::callback_content_data_received(), body longer than 19999 bytes.  "
         "Bailing.\n" +
             fetch_failed + socket_left_open},
        {0, 0,
         "Warning in kest_http_downloader::callback_content_data_received(), body longer than 0 bytes.  "
         "Bailing.\n" +
             fetch_failed + socket_left_open},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        temp_directory root, out;
        write_file(root.file("client.bin"), body);
        nginx_server server(root.path());
        log_capture log;
        sink s;
        {
            auto d = downloader_for(server.port(), s, mode::file);
            d->max_body_bytes = c.limit;
            EXPECT_EQ(d->download("127.0.0.1", "/client.bin", out.file("download.tmp").c_str()), c.result);
            EXPECT_LE(d->received, c.limit);
        }
        EXPECT_EQ(log.text(), c.logged);
    }
}

// --- Misuse and connection failures ---

TEST(HttpDownloader, ArgumentErrorsNeverConnect) {
    scripted_server server(script().accept().read_request());
    sink s;
    struct {
        const char* host;
        const char* path;
        const char* destination;
        mode m;
        std::string logged;
    } cases[] = {
        {nullptr, "/", "/tmp/x", mode::file, error + "NULL host.\n"},
        {"h", nullptr, "/tmp/x", mode::file, error + "NULL path.\n"},
        {"h", "/", nullptr, mode::file, error + "NULL destination file name.\n"},
        {"h", "/", "/tmp/x", mode::data_callback,
         error + "attempt to do file based download after setting data callback.\n"},
        {"h", "/", nullptr, mode::file,
         error + "NULL destination file name and NULL download data callback.\n"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const auto& c = cases[i];
        log_capture log;
        auto d = downloader_for(server.port(), s, c.m);
        // The last case uses the data-callback form without a callback or destination.
        int result = i == 4 ? d->download(c.host, c.path) : d->download(c.host, c.path, c.destination);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(log.text(), c.logged);
    }
    EXPECT_FALSE(file_exists("/tmp/x"));
    EXPECT_EQ(server.connections_accepted(), 0);
}

TEST(HttpDownloader, SetConnectionWithoutHost) {
    log_capture log;
    kest_http_downloader d;
    EXPECT_EQ(d.set_connection(nullptr, 80, 0), 0);
    EXPECT_EQ(log.text(), "Error in kest_http_downloader::set_connection(), NULL host name.\n");
}

TEST(HttpDownloader, RefusedPortIsConnectFailed) {
    int port;
    {
        scripted_server closed_again{script()};
        port = closed_again.port();
    }
    log_capture log;
    sink s;
    auto d = downloader_for(port, s, mode::data_callback);
    EXPECT_EQ(d->download("127.0.0.1", "/"), 0);
    EXPECT_EQ(log.text(), error + "connect failed.\n");
}

TEST(HttpDownloader, UnresolvedHostIsNeverConnected) {
    // A connect to the all-zero address would reach this listener on the same machine.
    scripted_server server(script().accept().read_request().send(with_length("bad")).close());
    log_capture log;
    kest_http_downloader d;
    sink s;
    d.data_callback = sink::on_data;
    d.user_data = &s;
    EXPECT_EQ(d.set_connection("no-such-host.invalid", server.port(), 0), 0);
    EXPECT_EQ(d.download("no-such-host.invalid", "/"), 0);
    EXPECT_EQ(log.text(), error + "connect failed.\n");
    EXPECT_FALSE(server.wait_finished(300));
    EXPECT_EQ(server.connections_accepted(), 0);
}

TEST(HttpDownloader, TxCallbackIsNeverUsed) {
    log_capture log;
    kest_http_downloader d;
    char buffer[4];
    EXPECT_EQ(kest_http_downloader::callback_content_body_get_tx_data(nullptr, &d, buffer, 4), -1);
    EXPECT_EQ(
        log.text(),
        "Error in kest_http_downloader::callback_content_body_get_tx_data(), this callback should never be "
        "invoked.\n");
}

TEST(HttpDownloader, DefaultLimits) {
    kest_http_downloader d;
    EXPECT_EQ(d.wait_ms, 5000);
    EXPECT_EQ(d.stall_window_ms, 60000);
    EXPECT_EQ(d.stall_min_bytes, 1024);
    EXPECT_EQ(d.total, -1);
    EXPECT_EQ(d.address.sin_addr.s_addr, 0u);
}

// --- Hostile and broken answers, from the scripted server ---

TEST(HttpDownloader, SendsExactlyTheRequest) {
    scripted_server server(script().accept().read_request().send(with_length("ok")).close());
    sink s;
    auto d = downloader_for(server.port(), s, mode::data_callback);
    ASSERT_EQ(d->download("updates.example", "/downloads/a b\xe9.txt"), 1);
    EXPECT_EQ(s.data, "ok");
    ASSERT_TRUE(server.wait_finished());
    EXPECT_EQ(server.requests(), std::vector<std::string>{"GET /downloads/a%20b%e9.txt HTTP/1.1\r\n"
                                                          "Host: updates.example\r\n"
                                                          "Content-Length: 0\r\n"
                                                          "Accept-Encoding: identity\r\n"
                                                          "Connection: close\r\n"
                                                          "\r\n"});
}

// The request goes out whole however few bytes each write takes, and a write that fails fails the
// download (the socket is closed by then, which must not pass for a finished exchange).
TEST(HttpDownloader, ShortAndFailedRequestWrites) {
    const std::string request =
        "GET /f HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\nAccept-Encoding: identity\r\nConnection: "
        "close\r\n\r\n";
    struct {
        const char* name;
        size_t max_bytes;
        int error;
        int writes;
        int result;
        std::string logged;
    } cases[] = {
        {"seven bytes a write", 7, 0, static_cast<int>((request.size() + 6) / 7), 1, ""},
        {"broken pipe", 0, EPIPE, 1, 0, error + "blocking write failed.\n"},
        {"reset", 0, ECONNRESET, 1, 0, error + "blocking write failed.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scripted_server server(script().accept().read_request().send(with_length("ok")).close());
        log_capture log;
        sink s;
        auto d = downloader_for(server.port(), s, mode::data_callback);
        d->wait_ms = 100;
        d->stall_window_ms = 1000;
        send_faults faults(server.port(), c.max_bytes, c.error);
        EXPECT_EQ(d->download("h", "/f"), c.result);
        EXPECT_EQ(faults.calls(), c.writes);
        d.reset();
        EXPECT_EQ(log.text(), c.logged);
        if (c.result == 1) {
            EXPECT_EQ(s.data, "ok");
            ASSERT_TRUE(server.wait_finished());
            EXPECT_EQ(server.requests(), std::vector<std::string>{request});
        }
    }
}

TEST(HttpDownloader, EndOfStreamOutcomes) {
    const std::string headers = "HTTP/1.1 200 OK\r\n";
    const std::string cut_short =
        error + "connection closed before the response was complete.  Deleting file.\n";
    const char* gone = nullptr;
    struct {
        const char* name;
        std::string response;
        int result;
        const char* on_disk;  // null: the destination must not exist
        std::string logged;
    } cases[] = {
        {"body without length ends with the connection", headers + "\r\n" + pattern(20000), 1, nullptr, ""},
        {"identity coding ends with the connection", headers + "Transfer-Encoding: identity\r\n\r\nall", 1,
         "all", ""},
        {"bare LF header lines, a body that begins with CR", "HTTP/1.1 200 OK\n\n\rall", 1, "\rall", ""},
        {"nothing at all", "", 0, gone, cut_short},
        {"half a status line", "HTTP/1.1 20", 0, gone, cut_short},
        {"headers without their end", headers + "Content-Length: 5\r\n", 0, gone, cut_short},
        {"short of the announced length", with_length("hello world").substr(0, 45), 0, gone, cut_short},
        {"inside a chunked body", headers + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n", 0, gone,
         cut_short},
        {"chunked, without a blank after the colon, with trailers",
         headers + "Transfer-Encoding:chunked\r\n\r\n5\r\nhello\r\n0\r\nX-Sum: 5\r\n\r\n", 1, "hello", ""},
        {"a second response in the same read is dropped",
         with_length("hello") + with_length("world") + with_length("again"), 1, "hello", ""},
        {"a redirection fails", "HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n", 0, gone,
         "Warning in kest_http_downloader::callback_message_received(), download failed for file '%s'.  "
         "Aborting "
         "download.\n" +
             fetch_failed + socket_left_open},
        // A malformed body leaves the file as far as it was written.
        {"chunk size beyond a signed 32-bit count",
         headers + "Transfer-Encoding: chunked\r\n\r\nffffffff0\r\nab", 0, "",
         fetch_failed + socket_left_open},
        {"a transfer coding that cannot be decoded",
         headers + "Transfer-Encoding: gzip\r\nContent-Length: 3\r\n\r\nabc", 0, gone,
         "Warning in kest_http_data_processor_oline::process_data(), unsupported transfer coding 'gzip', "
         "failing message.\n" +
             fetch_failed + socket_left_open},
        {"chunk size that reads as 0 only when cut at 20 digits",
         headers + "Transfer-Encoding: chunked\r\n\r\n000000000000000000005\r\nhello\r\n0\r\n\r\n", 0, "",
         fetch_failed + socket_left_open},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        temp_directory out;
        const std::string destination = out.file("download.tmp");
        std::string logged = c.logged;
        if (logged.find("%s") != std::string::npos) {
            logged.replace(logged.find("%s"), 2, destination);
        }
        // The server closes only after the client has read everything, so the client sees a clean end.
        scripted_server server(script().accept().read_request().send(c.response).close());
        log_capture log;
        sink s;
        auto d = downloader_for(server.port(), s, mode::file);
        EXPECT_EQ(d->download("127.0.0.1", "/f", destination.c_str()), c.result);
        // Closed before download returned, so everything is on disk already.
        EXPECT_EQ(d->output_file, nullptr);
        if (c.result == 1 && c.on_disk == nullptr) {
            EXPECT_TRUE(read_file(destination) == pattern(20000));
        } else if (c.on_disk != nullptr) {
            EXPECT_EQ(read_file(destination), c.on_disk);
        } else {
            EXPECT_FALSE(file_exists(destination));
        }
        d.reset();
        EXPECT_EQ(log.text(), logged);
    }
}

TEST(HttpDownloader, CutShortInDataCallbackMode) {
    scripted_server server(
        script().accept().read_request().send(with_length("hello world").substr(0, 45)).close());
    log_capture log;
    sink s;
    auto d = downloader_for(server.port(), s, mode::data_callback);
    EXPECT_EQ(d->download("127.0.0.1", "/"), 0);
    EXPECT_EQ(log.text(), error + "connection closed before the response was complete.\n");
}

TEST(HttpDownloader, ResetDuringTheBodyDeletesThePartialFile) {
    const std::string start = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + pattern(5000);
    for (mode m : {mode::file, mode::data_callback}) {
        scripted_server server(script().accept().read_request().send(start).sleep(200).reset());
        temp_directory out;
        log_capture log;
        sink s;
        auto d = downloader_for(server.port(), s, m);
        int result = m == mode::file ? d->download("127.0.0.1", "/f", out.file("partial.bin").c_str())
                                     : d->download("127.0.0.1", "/f");
        EXPECT_EQ(result, 0);
        EXPECT_EQ(d->received, 5000);
        EXPECT_FALSE(file_exists(out.file("partial.bin")));
        EXPECT_EQ(log.text(), m == mode::file
                                  ? error + "blocking read failed, unknown file state.  Deleting file.\n"
                                  : error + "blocking read failed, not all bytes read.\n");
    }
}

TEST(HttpDownloader, OversizedHeaderBlockFails) {
    std::string response = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 200; ++i) {
        response += "Cookie: c" + std::to_string(i) + "=1\r\n";
    }
    scripted_server server(script().accept().read_request().send(response + "\r\n").close());
    log_capture log;
    sink s;
    auto d = downloader_for(server.port(), s, mode::data_callback);
    EXPECT_EQ(d->download("127.0.0.1", "/"), 0);
    EXPECT_NE(log.text().find(fetch_failed), std::string::npos);
}

TEST(HttpDownloader, OutputFileThatCannotBeOpened) {
    scripted_server server(script().accept().read_request().send(with_length("hello")).close());
    log_capture log;
    sink s;
    {
        auto d = downloader_for(server.port(), s, mode::file);
        EXPECT_EQ(d->download("127.0.0.1", "/", "/tmp/no-such-directory/f.bin"), 0);
    }
    EXPECT_EQ(log.text(),
              "Warning in kest_http_downloader::callback_message_received(), unable to open output file "
              "'/tmp/no-such-directory/f.bin'.  Aborting download.\n" +
                  fetch_failed + socket_left_open);
}

namespace {

// Writes until the file system is full.
void fill_disk(const std::string& path) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::string block(4096, 'f');
    while (fwrite(block.data(), 1, block.size(), f) == block.size()) {
    }
    fclose(f);
}

}  // namespace

TEST(HttpDownloader, FullDiskFailsTheDownload) {
    if (!in_test_sandbox()) {
        GTEST_SKIP() << "needs the private mount namespace";
    }
    struct {
        const char* name;
        bool full_before;
        std::string body;
        std::string logged;
    } cases[] = {
        // A write that does not fit fails at once.
        {"write", false, pattern(200000),
         "Warning in kest_http_downloader::callback_content_data_received(), unable to write all data to "
         "disk.  "
         "Bailing.\n"},
        // A small body fits the stdio buffer; only the flush when the body is complete fails.
        {"flush", true, "tiny",
         "Warning in kest_http_downloader::callback_message_complete(), unable to write all data to disk.  "
         "Bailing.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        temp_directory disk;
        ASSERT_EQ(mount("tmpfs", disk.path().c_str(), "tmpfs", 0, "size=64k"), 0);
        if (c.full_before) {
            fill_disk(disk.path() + "/filler");
        }
        scripted_server server(script().accept().read_request().send(with_length(c.body)).close());
        log_capture log;
        sink s;
        {
            auto d = downloader_for(server.port(), s, mode::file);
            EXPECT_EQ(d->download("127.0.0.1", "/", (disk.path() + "/f.bin").c_str()), 0);
            EXPECT_EQ(d->output_file, nullptr);
        }
        EXPECT_EQ(log.text(), c.logged + fetch_failed + socket_left_open);
        umount2(disk.path().c_str(), MNT_DETACH);
    }
}

// --- Stalled servers ---

struct stall_case {
    const char* name;
    script plan;
    mode m;
};

// A chunked body of one-byte chunks, each size line carrying 200 bytes of extension, 33 chunks a second.
script extension_drip() {
    script plan;
    plan.accept().read_request().send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    for (int i = 0; i < 400; ++i) {
        plan.send("1;" + std::string(200, 'e') + "\r\nx\r\n").sleep(30);
    }
    return plan;
}

TEST(HttpDownloader, StalledTransfersGiveUp) {
    const std::string headers = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
    stall_case cases[] = {
        {"silent after the request", script().accept().read_request().stall(), mode::data_callback},
        {"never reads the request", script().accept().stall(), mode::data_callback},
        {"silent inside the body", script().accept().read_request().send(headers + "some").stall(),
         mode::file},
        {"dripping", script().accept().read_request().drip(headers + std::string(1000, 'x'), 20), mode::file},
        // Chunk framing is no progress: many bytes a second, almost none of them data.
        {"one-byte chunks with long extensions", extension_drip(), mode::file},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        scripted_server server(c.plan);
        temp_directory out;
        log_capture log;
        sink s;
        auto d = downloader_for(server.port(), s, c.m);
        d->wait_ms = 100;
        d->stall_window_ms = 600;
        auto start = std::chrono::steady_clock::now();
        int result = c.m == mode::file ? d->download("127.0.0.1", "/", out.file("f.bin").c_str())
                                       : d->download("127.0.0.1", "/");
        double elapsed = seconds_since(start);
        EXPECT_EQ(result, 0);
        // The downloader counts whole milliseconds, so it may give up up to one early by this clock.
        EXPECT_GE(elapsed, 0.599);
        // A transfer the window missed would go on until the server ends it: never, or after 20 s of drip.
        EXPECT_LT(elapsed, 10.0);
        EXPECT_FALSE(file_exists(out.file("f.bin")));
        EXPECT_EQ(log.text(), c.m == mode::file ? error + "transfer stalled, giving up.  Deleting file.\n"
                                                : error + "transfer stalled, giving up.\n");
    }
}

TEST(HttpDownloader, StallAfterABurstIsGivenUpOneWindowLater) {
    // 50 KB at once, then nothing: the window slides from the burst, it does not start again after it.
    scripted_server server(script()
                               .accept()
                               .read_request()
                               .send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + pattern(50000))
                               .stall());
    log_capture log;
    sink s;
    auto d = downloader_for(server.port(), s, mode::data_callback);
    d->wait_ms = 100;
    d->stall_window_ms = 2000;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(d->download("127.0.0.1", "/"), 0);
    double elapsed = seconds_since(start);
    EXPECT_GE(elapsed, 1.999);  // whole milliseconds, as above
    EXPECT_LT(elapsed, 3.5);
    EXPECT_EQ(log.text(), error + "transfer stalled, giving up.\n");
}

TEST(HttpDownloader, SlowButSteadyTransferCompletes) {
    const std::string body = pattern(8000);
    const std::string response = with_length(body);
    script plan;
    plan.accept().read_request();
    for (size_t at = 0; at < response.size(); at += 1500) {
        plan.send(response.substr(at, 1500)).sleep(150);
    }
    plan.close();
    scripted_server server(plan);
    sink s;
    auto d = downloader_for(server.port(), s, mode::data_callback);
    d->wait_ms = 100;
    d->stall_window_ms = 400;
    EXPECT_EQ(d->download("127.0.0.1", "/"), 1);
    EXPECT_TRUE(s.data == body);
}

// --- The time limit of a whole download ---

TEST(HttpDownloader, TimeLimitsGrowWithTheExpectedSize) {
    const struct {
        int64_t bytes;
        int64_t allowance_ms;
        int64_t limit_ms;
    } cases[] = {
        {0, 60000, 60000},
        {-5, 60000, 60000},
        {4096, 60000, 61000},
        {40960, 0, 10000},
        {2147483647, 60000, 60000 + 524287999},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kest_http_downloader::time_limit_for(c.bytes, c.allowance_ms), c.limit_ms) << c.bytes;
    }
    EXPECT_EQ(kest_http_downloader::time_limit_for(4096), 61000);
    EXPECT_EQ(kest_http_downloader().time_limit_ms, -1);
}

TEST(HttpDownloader, TimeLimitEndsADownloadThatNeitherStallsNorEnds) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
    script steady;  // 40 KB a second: 2.5 s for the whole body
    steady.accept().read_request().send(head);
    for (int i = 0; i < 50; ++i) {
        steady.send(pattern(2000)).sleep(50);
    }
    stall_case cases[] = {
        {"steady but slow", steady, mode::file},
        {"silent within the stall limit", script().accept().read_request().send(head).stall(),
         mode::data_callback},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        scripted_server server(c.plan);
        temp_directory out;
        log_capture log;
        sink s;
        auto d = downloader_for(server.port(), s, c.m);
        d->time_limit_ms = 500;
        auto start = std::chrono::steady_clock::now();
        int result = c.m == mode::file ? d->download("127.0.0.1", "/", out.file("f.bin").c_str())
                                       : d->download("127.0.0.1", "/");
        double elapsed = seconds_since(start);
        EXPECT_EQ(result, 0);
        // The limit is kept in whole milliseconds. Which limit ended the download, the message says.
        EXPECT_GE(elapsed, 0.49);
        EXPECT_FALSE(file_exists(out.file("f.bin")));
        EXPECT_EQ(log.text(), c.m == mode::file
                                  ? error + "transfer took too long, giving up.  Deleting file.\n"
                                  : error + "transfer took too long, giving up.\n");
    }
}

// --- Continuing a partial file ---

namespace {

std::string partial_content(const std::string& body, size_t from, const std::string& range = "") {
    return "HTTP/1.1 206 Partial Content\r\nContent-Range: " +
           (range.empty() ? "bytes " + std::to_string(from) + "-" + std::to_string(body.size() - 1) + "/" +
                                std::to_string(body.size())
                          : range) +
           "\r\nContent-Length: " + std::to_string(body.size() - from) + "\r\n\r\n" + body.substr(from);
}

}  // namespace

// nginx answers the request for the rest with exactly the rest: the file is whole, the hasher (given
// the kept part first) sees all of it, and progress counts the kept bytes from the start.
TEST(HttpDownloader, ContinuesAPartialFileFromNginx) {
    log_capture log;
    temp_directory root, out;
    const std::string body = pattern(100000);
    write_file(root.file("client.bin"), body);
    const std::string destination = out.file("download.tmp");
    write_file(destination, body.substr(0, 40000));
    nginx_server server(root.path());
    sink s;
    sha256_hasher hasher;
    hasher.update(body.data(), 40000);
    auto d = downloader_for(server.port(), s, mode::file);
    d->resume_from = 40000;
    d->resource_size = 100000;
    d->max_body_bytes = 100000;
    d->body_hasher = &hasher;
    ASSERT_EQ(d->download("127.0.0.1", "/client.bin", destination.c_str()), 1);
    EXPECT_TRUE(read_file(destination) == body);
    EXPECT_EQ(d->body_offset, 40000);
    EXPECT_EQ(d->failure, kest_http_downloader::failure_none);
    char hex[sha256_hex_length + 1];
    ASSERT_EQ(hasher.finish_hex(hex), 1);
    EXPECT_EQ(hex, sha256_hex(body));
    ASSERT_GE(s.progress.size(), 2u);
    EXPECT_EQ(s.progress.front(), std::make_pair(40000, 100000));
    EXPECT_EQ(s.progress.back(), std::make_pair(100000, 100000));
    EXPECT_EQ(server.access_log(1), "\"GET /client.bin HTTP/1.1\" 206 60000 range=bytes=40000-\n");
    EXPECT_EQ(log.text(), "");
}

// What each answer to a request for the rest does to the 40 bytes kept of a 100-byte file. Only the
// exact rest continues it; a whole file starts it again (and the hasher with it); everything else fails
// as a range that does not fit, leaving the kept bytes for the caller to judge.
TEST(HttpDownloader, AnswersToARequestForTheRest) {
    const std::string body = pattern(100);
    const std::string kept = body.substr(0, 40);
    using k = kest_http_downloader;
    struct {
        const char* name;
        std::string response;
        int result;
        k::failure_kind failure;
        std::string on_disk;
        int64_t offset;
    } cases[] = {
        {"the rest", partial_content(body, 40), 1, k::failure_none, body, 40},
        {"the rest, chunked",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 40-99/100\r\nTransfer-Encoding: "
         "chunked\r\n\r\n3c\r\n" +
             body.substr(40) + "\r\n0\r\n\r\n",
         1, k::failure_none, body, 40},
        {"the rest, length unknown", partial_content(body, 40, "bytes 40-99/*"), 0, k::failure_range, kept,
         0},
        {"the whole file", with_length(body), 1, k::failure_none, body, 0},
        {"a range from another offset", partial_content(body, 50), 0, k::failure_range, kept, 0},
        {"a range of another file's size", partial_content(body, 40, "bytes 40-99/101"), 0, k::failure_range,
         kept, 0},
        {"a range that stops short", partial_content(body, 40, "bytes 40-98/100"), 0, k::failure_range, kept,
         0},
        {"a length that cannot fit",
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 40-99/100\r\nContent-Length: 61\r\n\r\n" +
             body.substr(40),
         0, k::failure_range, kept, 0},
        {"no Content-Range", "HTTP/1.1 206 Partial Content\r\nContent-Length: 60\r\n\r\n" + body.substr(40),
         0, k::failure_range, kept, 0},
        {"a malformed Content-Range", partial_content(body, 40, "bytes 40-99/1000000000000000000000"), 0,
         k::failure_range, kept, 0},
        {"416",
         "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */100\r\nContent-Length: 0\r\n\r\n", 0,
         k::failure_range, kept, 0},
        {"404", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", 0, k::failure_status, kept, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        temp_directory out;
        const std::string destination = out.file("download.tmp");
        write_file(destination, kept);
        scripted_server server(script().accept().read_request().send(c.response).close());
        log_capture log;
        sink s;
        sha256_hasher hasher;
        hasher.update(kept.data(), kept.size());
        auto d = downloader_for(server.port(), s, mode::file);
        d->resume_from = 40;
        d->resource_size = 100;
        d->max_body_bytes = 100;
        d->body_hasher = &hasher;
        EXPECT_EQ(d->download("127.0.0.1", "/f", destination.c_str()), c.result);
        EXPECT_EQ(d->failure, c.failure);
        EXPECT_EQ(read_file(destination), c.on_disk);
        EXPECT_EQ(d->body_offset, c.offset);
        d.reset();  // the server's close waits for ours
        ASSERT_TRUE(server.wait_finished());
        EXPECT_NE(server.requests().at(0).find("\r\nRange: bytes=40-\r\n"), std::string::npos);
        if (c.result == 1) {
            char hex[sha256_hex_length + 1];
            ASSERT_EQ(hasher.finish_hex(hex), 1);
            EXPECT_EQ(hex, sha256_hex(body));
        }
    }
}

// A 206 that fits is refused when the file does not hold the bytes it continues.
TEST(HttpDownloader, ContinuingAFileOfAnotherLengthFails) {
    const std::string body = pattern(100);
    for (size_t held : {39, 41}) {
        SCOPED_TRACE(held);
        temp_directory out;
        const std::string destination = out.file("download.tmp");
        write_file(destination, body.substr(0, held));
        scripted_server server(script().accept().read_request().send(partial_content(body, 40)).close());
        log_capture log;
        sink s;
        auto d = downloader_for(server.port(), s, mode::file);
        d->resume_from = 40;
        d->resource_size = 100;
        EXPECT_EQ(d->download("127.0.0.1", "/f", destination.c_str()), 0);
        EXPECT_EQ(d->failure, kest_http_downloader::failure_range);
        EXPECT_EQ(read_file(destination), body.substr(0, held));
        d.reset();
        EXPECT_NE(log.text().find("' does not hold the 40 bytes to continue from.  Aborting download.\n"),
                  std::string::npos)
            << log.text();
    }
}

// With keep_partial_file a broken transfer leaves what arrived, flushed to the file, for the next
// attempt to continue.
TEST(HttpDownloader, BrokenTransfersCanKeepThePartialFile) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
    const std::string rest =
        "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 40000-99999/100000\r\n"
        "Content-Length: 60000\r\n\r\n";
    const std::string body = pattern(100000);
    struct {
        const char* name;
        script plan;
        int64_t resume_from;
        std::string on_disk;
        std::string logged;
    } cases[] = {
        {"reset", script().accept().read_request().send(head + body.substr(0, 5000)).sleep(100).reset(), 0,
         body.substr(0, 5000), error + "blocking read failed, keeping the partial file.\n"},
        {"closed early", script().accept().read_request().send(head + body.substr(0, 5000)).close(), 0,
         body.substr(0, 5000),
         error + "connection closed before the response was complete.  Keeping the partial file.\n"},
        {"stalled", script().accept().read_request().send(head + body.substr(0, 5000)).stall(), 0,
         body.substr(0, 5000), error + "transfer stalled, giving up.  Keeping the partial file.\n"},
        {"reset while continuing",
         script().accept().read_request().send(rest + body.substr(40000, 7000)).sleep(100).reset(), 40000,
         body.substr(0, 47000), error + "blocking read failed, keeping the partial file.\n"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        temp_directory out;
        const std::string destination = out.file("download.tmp");
        if (c.resume_from > 0) {
            write_file(destination, body.substr(0, static_cast<size_t>(c.resume_from)));
        }
        scripted_server server(c.plan);
        log_capture log;
        sink s;
        auto d = downloader_for(server.port(), s, mode::file);
        d->keep_partial_file = 1;
        d->resume_from = c.resume_from;
        d->resource_size = 100000;
        d->wait_ms = 100;
        d->stall_window_ms = 500;
        EXPECT_EQ(d->download("127.0.0.1", "/f", destination.c_str()), 0);
        EXPECT_TRUE(read_file(destination) == c.on_disk);
        EXPECT_EQ(d->output_file, nullptr);
        EXPECT_EQ(log.text(), c.logged);
    }
}

// Every failure says which kind it was, so that a caller can tell a server that is not there from one
// that broke off, refused the file or could not be written for.
TEST(HttpDownloader, FailuresSayWhy) {
    if (!in_test_sandbox()) {
        GTEST_SKIP() << "needs the private mount namespace";
    }
    using k = kest_http_downloader;
    temp_directory out;
    write_file(out.file("plain"), "");
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";
    struct {
        const char* name;
        script plan;  // empty: nothing listens
        const char* host;
        std::string destination;
        k::failure_kind failure;
        int status;
    } cases[] = {
        {"refused", script(), "127.0.0.1", "f", k::failure_connect, 0},
        {"unresolved", script(), "host.invalid", "f", k::failure_unresolved, 0},
        {"404", script().accept().read_request().send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"),
         "127.0.0.1", "f", k::failure_status, 404},
        {"503", script().accept().read_request().send("HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n"),
         "127.0.0.1", "f", k::failure_status, 503},
        {"reset", script().accept().read_request().send(head + "abc").sleep(100).reset(), "127.0.0.1", "f",
         k::failure_broken, 200},
        {"not HTTP", script().accept().read_request().send("SSH-2.0\r\n\r\n").close(), "127.0.0.1", "f",
         k::failure_broken, 0},
        {"stalled", script().accept().read_request().send(head).stall(), "127.0.0.1", "f", k::failure_timeout,
         200},
        {"too long", script().accept().read_request().send(head + pattern(100)).close(), "127.0.0.1", "f",
         k::failure_too_long, 200},
        {"unwritable", script().accept().read_request().send(head + pattern(100)).close(), "127.0.0.1",
         "plain/f", k::failure_local, 200},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<scripted_server> server;
        int port = 1;  // nothing listens there
        if (!c.plan.steps().empty()) {
            server = std::make_unique<scripted_server>(c.plan);
            port = server->port();
        }
        log_capture log;
        kest_http_downloader d;
        d.set_connection(c.host, port, 0);
        d.wait_ms = 100;
        d.stall_window_ms = 300;
        d.max_body_bytes = 50;
        EXPECT_EQ(d.download(c.host, "/f", out.file(c.destination).c_str()), 0);
        EXPECT_EQ(d.failure, c.failure);
        EXPECT_EQ(d.status, c.status);
        EXPECT_EQ(d.connect_error, c.failure == k::failure_connect ? net_error_connection_refused : 0);
    }
}

// Synced from the progress callback, the length it answers is what the file holds on disk right then.
TEST(HttpDownloader, SyncedLengthIsWhatTheFileHolds) {
    temp_directory root, out;
    const std::string body = pattern(300000);
    write_file(root.file("client.bin"), body);
    nginx_server server(root.path());
    struct probe {
        kest_http_downloader* d;
        std::string path;
        std::vector<std::pair<int64_t, int64_t>> synced;  // (answered, size on disk)
    } p;
    kest_http_downloader d;
    p.d = &d;
    p.path = out.file("download.tmp");
    d.user_data = &p;
    d.progress_callback = [](void* user, int, int) {
        auto* pr = static_cast<probe*>(user);
        int64_t length = pr->d->sync_output_file();
        pr->synced.emplace_back(length, static_cast<int64_t>(read_file(pr->path).size()));
    };
    d.set_connection("127.0.0.1", server.port(), 0);
    ASSERT_EQ(d.download("127.0.0.1", "/client.bin", p.path.c_str()), 1);
    ASSERT_GE(p.synced.size(), 3u);
    for (const auto& s : p.synced) {
        EXPECT_EQ(s.first, s.second);
    }
    EXPECT_EQ(p.synced.back().first, 300000);
    EXPECT_EQ(d.sync_output_file(), -1);  // no file open any more
}
