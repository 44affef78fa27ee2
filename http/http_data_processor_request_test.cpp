#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/http_data_processor.h"
#include "testing/log_capture.h"

namespace {

// Everything the processor has queued for sending, taken the way the downloader takes it.
std::string take_tx(kest_http_data_processor_oline& p) {
    std::string sent;
    char block[8192];
    for (int n = p.get_tx_data(block, sizeof block); n > 0; n = p.get_tx_data(block, sizeof block)) {
        sent.append(block, static_cast<size_t>(n));
    }
    return sent;
}

std::string downloader_request(const std::string& request_line_target,
                               const std::string& host = "updates.example") {
    return "GET " + request_line_target + " HTTP/1.1\r\nHost: " + host +
           "\r\n"
           "Content-Length: 0\r\n"
           "Accept-Encoding: identity\r\n"
           "Connection: close\r\n"
           "\r\n";
}

}  // namespace

TEST(HttpRequest, DownloaderGetIsExactlySixLines) {
    struct {
        const char* path;
        const char* target;
    } cases[] = {
        {nullptr, "/"},                      // null path is the root
        {"", "/"},                           // so is an empty one
        {"/a b\xe9", "/a%20b%e9"},           // space and high bytes escaped in lower case
        {"/%41?x=1&y=#f", "/%41?x=1&y=#f"},  // existing escapes and query pass unchanged
        {"/\x01\x7f~!", "/%01%7f~!"},        // control bytes and DEL; the printable ends stay
    };
    for (const auto& c : cases) {
        kest_http_data_processor_oline p;
        p.request_close = 1;
        ASSERT_EQ(p.start_http_GET("updates.example", c.path), 1);
        EXPECT_EQ(take_tx(p), downloader_request(c.target)) << c.target;
        EXPECT_EQ(p.request_sent, 1);
        EXPECT_EQ(p.close_after_message, 1);
        EXPECT_STREQ(p.method, "GET");
    }
}

// A request that continues a partial file asks for the rest by a Range line after Host; offsets past
// 32 bits are written whole. Without an offset the request is the plain one above.
TEST(HttpRequest, RangeLineAsksForTheRestFromTheOffset) {
    struct {
        int64_t start;
        const char* line;  // null: no Range line
    } cases[] = {
        {0, nullptr},
        {-5, nullptr},
        {1, "Range: bytes=1-\r\n"},
        {524288, "Range: bytes=524288-\r\n"},
        {6000000000LL, "Range: bytes=6000000000-\r\n"},
    };
    for (const auto& c : cases) {
        kest_http_data_processor_oline p;
        p.request_close = 1;
        p.range_start = c.start;
        ASSERT_EQ(p.start_http_GET("updates.example", "/f"), 1);
        std::string expected = downloader_request("/f");
        if (c.line != nullptr) {
            expected.insert(expected.find("Content-Length"), c.line);
        }
        EXPECT_EQ(take_tx(p), expected) << c.start;
    }
}

TEST(HttpRequest, ForceHttp10AsksToCloseWithoutRequestClose) {
    kest_http_data_processor_oline p;
    p.force_http10 = 1;
    ASSERT_EQ(p.start_http_GET("h", "/x"), 1);
    EXPECT_EQ(take_tx(p),
              "GET /x HTTP/1.0\r\nHost: h\r\nContent-Length: 0\r\nAccept-Encoding: identity\r\n"
              "Connection: close\r\n\r\n");
    EXPECT_EQ(p.close_after_message, 1);
}

TEST(HttpRequest, NoCloseLineUnlessAsked) {
    kest_http_data_processor_oline p;
    p.expect_continue = 1;
    ASSERT_EQ(p.start_http_GET("h", "/"), 1);
    EXPECT_EQ(take_tx(p),
              "GET / HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\nAccept-Encoding: identity\r\n"
              "Expect: 100-continue\r\n\r\n");
    EXPECT_EQ(p.close_after_message, 0);
}

TEST(HttpRequest, BasicAuthorisationOfUserWithEmptyPassword) {
    kest_http_data_processor_oline p;
    p.user[0] = 'a';
    p.request_close = 1;
    ASSERT_EQ(p.start_http_GET("h", "/"), 1);
    EXPECT_EQ(take_tx(p),
              "GET / HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\nAuthorization: Basic YTo=\r\n"
              "Accept-Encoding: identity\r\nConnection: close\r\n\r\n");
}

TEST(HttpRequest, OutgoingCookiesAreAnnounced) {
    kest_http_data_processor_oline p;
    strcpy(p.cookie_prefix, "vh_");
    auto* c = new kest_http_cookie;
    c->set_key("id");
    c->set_value("42");
    c->set_domain("example");
    c->max_age = 60;
    c->secure = 1;
    p.outgoing_cookies = c;
    bounded_string s;
    p.write_cookie_headers(s);
    EXPECT_STREQ(s.c_str(), "Set-Cookie: vh_id=42; Domain=example; Path=/; Max-Age=60; HttpOnly; Secure\r\n");
}

TEST(HttpRequest, SecondGetIsRefusedAndQueuesNothing) {
    log_capture log;
    kest_http_data_processor_oline p;
    p.request_close = 1;
    ASSERT_EQ(p.start_http_GET("h", "/first"), 1);
    std::string first = take_tx(p);
    EXPECT_EQ(p.start_http_GET("h", "/second"), 0);
    char block[16];
    EXPECT_EQ(p.get_tx_data(block, sizeof block), 0);
    EXPECT_EQ(first.find("/second"), std::string::npos);
    EXPECT_EQ(log.text(), "");
}

TEST(HttpRequest, BusyWithUnsentBodyIsLogged) {
    log_capture log;
    kest_http_data_processor_oline p;
    p.body_to_send = 5;
    EXPECT_EQ(p.is_busy("start_http_GET"), 1);
    EXPECT_EQ(
        log.text(),
        "Error in kest_http_data_processor_oline, attempt to 'start_http_GET' without completing previous "
        "message.\n");
}

TEST(HttpRequest, GetTxDataSizesAndPieces) {
    kest_http_data_processor_oline p;
    p.request_close = 1;
    char block[8192];
    EXPECT_EQ(p.get_tx_data(block, 0), -1);
    ASSERT_EQ(p.start_http_GET("h", "/"), 1);
    EXPECT_EQ(p.get_tx_data(block, -1), -1);
    // Small pieces come out in order and add up to the whole request.
    std::string pieces;
    for (int n = p.get_tx_data(block, 7); n > 0; n = p.get_tx_data(block, 7)) {
        EXPECT_LE(n, 7);
        pieces.append(block, static_cast<size_t>(n));
    }
    EXPECT_EQ(pieces, downloader_request("/", "h"));
    EXPECT_EQ(p.get_tx_data(block, sizeof block), 0);
    p.failed = 1;
    EXPECT_EQ(p.get_tx_data(block, sizeof block), -1);
}

TEST(HttpRequest, OverlongPathIsCutAtTheRequestBound) {
    kest_http_data_processor_oline p;
    std::string path = "/" + std::string(7000, ' ');
    ASSERT_EQ(p.start_http_GET("h", path.c_str()), 1);
    std::string sent = take_tx(p);
    EXPECT_EQ(sent.size(), 5999u);
    EXPECT_EQ(sent.compare(0, 8, "GET /%20"), 0);
}
