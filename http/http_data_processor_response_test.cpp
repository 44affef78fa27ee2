#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "http/http_data_processor.h"
#include "testing/log_capture.h"

namespace {

using processor = kest_http_data_processor_oline;

// Records the callbacks as a list of events; consecutive body pieces are joined into one "data:" event
// so that the list does not depend on where the input was split.
struct recorder {
    std::vector<std::string> events;
    int accept_received = 1;
    int accept_data = 1;

    static int on_received(processor* p, void* user) {
        auto* r = static_cast<recorder*>(user);
        r->events.push_back("received " + std::to_string(p->status) + " " + p->reason + " length=" +
                            std::to_string(p->content_length) + " chunked=" + std::to_string(p->chunked));
        return r->accept_received;
    }
    static int on_data(processor*, void* user, const char* data, int length) {
        auto* r = static_cast<recorder*>(user);
        EXPECT_GT(length, 0);
        if (r->events.empty() || r->events.back().compare(0, 5, "data:") != 0) {
            r->events.push_back("data:");
        }
        r->events.back().append(data, static_cast<size_t>(length));
        return r->accept_data;
    }
    static int on_complete(processor*, void* user) {
        static_cast<recorder*>(user)->events.push_back("complete");
        return 1;
    }
    static void on_close(processor*, void* user) { static_cast<recorder*>(user)->events.push_back("close"); }

    void attach(processor& p) {
        p.user_data = this;
        p.message_received = on_received;
        p.content_data_received = on_data;
        p.message_complete = on_complete;
        p.close_connection = on_close;
    }
};

enum class closing { after_response, keep_alive };

struct outcome {
    std::vector<std::string> events;
    int result;  // -1 as soon as a piece fails, else the result of the last piece
    bool operator==(const outcome& o) const { return events == o.events && result == o.result; }
};

void PrintTo(const outcome& o, std::ostream* out) {
    *out << "result " << o.result << ", events";
    for (const std::string& e : o.events) {
        *out << " [" << testing::PrintToString(e) << "]";
    }
}

// A client processor that has sent its GET, fed `bytes` cut at the given offsets.
outcome feed(const std::string& bytes, const std::vector<size_t>& cuts,
             closing mode = closing::after_response, recorder r = recorder()) {
    processor p;
    r.attach(p);
    p.request_close = mode == closing::after_response ? 1 : 0;
    p.start_http_GET("h", "/");
    char sink[8192];
    while (p.get_tx_data(sink, sizeof sink) > 0) {
    }
    int result = 1;
    size_t start = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(bytes.size());
    for (size_t end : ends) {
        if (end <= start) {
            continue;
        }
        result = p.feed_data(bytes.data() + start, static_cast<int>(end - start));
        if (result < 0) {
            break;
        }
        start = end;
    }
    return {r.events, result};
}

outcome feed_whole(const std::string& bytes, closing mode = closing::after_response) {
    return feed(bytes, {}, mode);
}

// The outcome must not depend on how the bytes arrive: split once at every position, and byte by byte.
void expect_same_when_split(const std::string& bytes, const outcome& expected,
                            closing mode = closing::after_response) {
    for (size_t cut = 1; cut < bytes.size(); ++cut) {
        ASSERT_EQ(feed(bytes, {cut}, mode), expected) << "split at " << cut;
    }
    std::vector<size_t> every;
    for (size_t i = 1; i < bytes.size(); ++i) {
        every.push_back(i);
    }
    EXPECT_EQ(feed(bytes, every, mode), expected) << "one byte at a time";
}

struct parse_case {
    const char* name;
    std::string bytes;
    closing mode;
    std::vector<std::string> events;
    int result;
};

}  // namespace

TEST(HttpResponseParser, WholeAndSplitGiveTheSameEvents) {
    const std::string ok5 = "received 200 OK length=5 chunked=0";
    const std::string chunked = "received 200 OK length=-1 chunked=1";
    const parse_case cases[] = {
        {"length body",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello",
         closing::after_response,
         {ok5, "data:hello", "complete", "close"},
         1},
        {"bare LF lines",
         "HTTP/1.1 200 OK\nContent-Length: 5\n\nhello",
         closing::after_response,
         {ok5, "data:hello", "complete", "close"},
         1},
        {"LF CR lines",
         "HTTP/1.1 200 OK\n\rContent-Length: 5\n\r\n\rhello",
         closing::after_response,
         {ok5, "data:hello", "complete", "close"},
         1},
        // Line ends right before a body take no body byte.
        {"bare LF lines, a body that begins with CR",
         "HTTP/1.1 200 OK\nContent-Length: 5\n\n\rabcd",
         closing::after_response,
         {ok5, "data:\rabcd", "complete", "close"},
         1},
        {"lone CR lines, a body that begins with LF",
         "HTTP/1.1 200 OK\rContent-Length: 5\r\r\nabcd",
         closing::after_response,
         {ok5, "data:\nabcd", "complete", "close"},
         1},
        {"bare LF chunk-size lines, chunk data that begins with CR",
         "HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n5\n\rabcd\n0\n\n",
         closing::after_response,
         {chunked, "data:\rabcd", "complete", "close"},
         1},
        {"bare LF header lines, CR LF chunk-size lines",
         "HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n5\r\nhello\r\n0\r\n\r\n",
         closing::after_response,
         {chunked, "data:hello", "complete", "close"},
         1},
        {"empty lines before the status line",
         "\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello",
         closing::after_response,
         {ok5, "data:hello", "complete", "close"},
         1},
        {"name in lower case, no blank after the colon",
         "HTTP/1.1 200 OK\r\ncontent-length:5\r\nX-Other: 7\r\n\r\nhello",
         closing::after_response,
         {ok5, "data:hello", "complete", "close"},
         1},
        {"chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         closing::after_response,
         {chunked, "data:hello", "complete", "close"},
         1},
        {"chunked without blank after the colon, extensions, two chunks",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding:chunked\r\n\r\n5;name=x\r\nhello\r\n00A "
         "\r\n0123456789\r\n0\r\n\r\n",
         closing::after_response,
         {chunked, "data:hello0123456789", "complete", "close"},
         1},
        {"trailers belong to the message; the next response follows",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\nX-Sum: 1\r\nHTTP/1.1 "
         "fake\r\n\r\n"
         "HTTP/1.1 204 No Content\r\n\r\n",
         closing::keep_alive,
         {chunked, "data:hello", "complete", "received 204 No Content length=-1 chunked=0", "complete"},
         1},
        {"204 and 304 with a length have no body",
         "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\nHTTP/1.1 304 Not Modified\r\nContent-Length: "
         "3\r\n\r\n",
         closing::keep_alive,
         {"received 204 No Content length=5 chunked=0", "complete",
          "received 304 Not Modified length=3 chunked=0", "complete"},
         1},
        {"length 5 with ten bytes: the rest starts the next message",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloHTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
         closing::keep_alive,
         {ok5, "data:hello", "complete", "received 200 OK length=0 chunked=0", "complete"},
         1},
        {"after the exchange the rest is dropped",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloHTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nworld",
         closing::after_response,
         {ok5, "data:hello", "complete", "close"},
         1},
        {"identity coding without length runs to the end of the connection",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: identity\r\n\r\nall of it\r\n\r\nHTTP/1.1 200 OK\r\n",
         closing::after_response,
         {"received 200 OK length=-1 chunked=0", "data:all of it\r\n\r\nHTTP/1.1 200 OK\r\n"},
         1},
        {"a 100 interim response does not end the exchange",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
         closing::after_response,
         {"received 100 Continue length=-1 chunked=0", "complete", "received 200 OK length=0 chunked=0",
          "complete", "close"},
         1},
        // A body piece of no bytes is never delivered.
        {"a Transfer-Encoding of no coding, and a zero length",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: , ,\r\nContent-Length: 0\r\n\r\n",
         closing::after_response,
         {"received 200 OK length=0 chunked=0", "complete", "close"},
         1},
        // Only chunked is decoded: a body under any other coding would be delivered still coded.
        {"another coding, even with a zero length",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nContent-Length: 0\r\n\r\n",
         closing::after_response,
         {},
         -1},
        {"another coding with a length",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nContent-Length: 3\r\n\r\nabc",
         closing::after_response,
         {},
         -1},
        {"another coding under chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
         closing::after_response,
         {},
         -1},
        {"another coding after chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
         closing::after_response,
         {},
         -1},
        {"another coding on a line of its own",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: x-custom\r\nTransfer-Encoding: chunked\r\n\r\n"
         "3\r\nabc\r\n0\r\n\r\n",
         closing::after_response,
         {},
         -1},
        {"chunked twice",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n"
         "3\r\nabc\r\n0\r\n\r\n",
         closing::after_response,
         {},
         -1},
        {"identity is no coding; a length under chunked is ignored",
         "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: identity, chunked\r\n\r\n"
         "5\r\nhello\r\n0\r\n\r\n",
         closing::after_response,
         {chunked, "data:hello", "complete", "close"},
         1},
        {"a coding without a body is not decoded",
         "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: gzip\r\n\r\n",
         closing::after_response,
         {"received 304 Not Modified length=-1 chunked=0", "complete", "close"},
         1},
        {"status line without reason", "HTTP/1.1 200\r\n\r\n", closing::after_response, {}, -1},
        {"status 0", "HTTP/1.1 0 OK\r\n\r\n", closing::after_response, {}, -1},
        {"start line that is not a response", "FTP/1.0 200 OK\r\n\r\n", closing::after_response, {}, -1},
        {"negative length", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", closing::after_response, {}, -1},
        {"length that is no number",
         "HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n",
         closing::after_response,
         {},
         -1},
        {"empty chunk-size line",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n\r\n",
         closing::after_response,
         {chunked},
         -1},
        {"chunk size that is not hexadecimal",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nxyz\r\n",
         closing::after_response,
         {chunked},
         -1},
        {"chunk size beyond a signed 32-bit count",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n80000000\r\nabc",
         closing::after_response,
         {chunked},
         -1},
        {"negative chunk size",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-5\r\nabc",
         closing::after_response,
         {chunked},
         -1},
        // A size line must be read exactly: a misread size would end the body early or cut a chunk.
        {"chunk size of twenty digits",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
         "00000000000000000005 ;x\t\r\nhello\r\n0\t\r\n\r\n",
         closing::after_response,
         {chunked, "data:hello", "complete", "close"},
         1},
        {"chunk size of twenty-one digits",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n000000000000000000005\r\nhello\r\n0\r\n\r\n",
         closing::after_response,
         {chunked},
         -1},
        {"chunk size with a 0x prefix",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0x5\r\nhello\r\n0\r\n\r\n",
         closing::after_response,
         {chunked},
         -1},
        {"chunk size followed by other text",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5xyz\r\nhello\r\n0\r\n\r\n",
         closing::after_response,
         {chunked},
         -1},
        {"chunk size followed by a blank and more digits",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5 6\r\nhello\r\n0\r\n\r\n",
         closing::after_response,
         {chunked},
         -1},
        {"bytes after chunk data where its line end belongs",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n",
         closing::after_response,
         {chunked, "data:ab"},
         -1},
    };
    for (const parse_case& c : cases) {
        SCOPED_TRACE(c.name);
        log_capture log;
        outcome expected{c.events, c.result};
        ASSERT_EQ(feed_whole(c.bytes, c.mode), expected);
        expect_same_when_split(c.bytes, expected, c.mode);
    }
}

TEST(HttpResponseParser, StatusLineFields) {
    struct {
        const char* line;
        int status;
        const char* reason;
        int version;
    } cases[] = {
        {"HTTP/1.1 200 OK", 200, "OK", 11},
        {"HTTP/1.0 404 Not Found", 404, "Not Found", 10},
        {"http/1.1 301 Moved  Permanently ", 301, "Moved  Permanently ", 11},
        {"HTTP/2 200 OK", 200, "OK", 20},
        {"HTTP/0.9 200 OK", 200, "OK", 0},
    };
    for (const auto& c : cases) {
        processor p;
        ASSERT_EQ(p.parse_status_line(c.line), 1) << c.line;
        EXPECT_EQ(p.status, c.status);
        EXPECT_STREQ(p.reason, c.reason);
        EXPECT_EQ(p.peer_version, c.version) << c.line;
        EXPECT_STREQ(p.start_line.c_str(), c.line);
    }
}

TEST(HttpResponseParser, FailedStatusLineIsLogged) {
    log_capture log;
    EXPECT_EQ(feed_whole("HTTP/1.1 200\r\n\r\n").result, -1);
    EXPECT_EQ(feed_whole("HTTP/1.1 0 OK\r\n").result, -1);
    EXPECT_EQ(feed_whole("<html>\r\n").result, -1);
    EXPECT_EQ(log.text(),
              "Warning in kest_http_data_processor_oline::header_line_parse(), failed to parse response line "
              "'HTTP/1.1 200'.\n"
              "Warning in kest_http_data_processor_oline::header_line_parse(), failed to parse response line "
              "'HTTP/1.1 0 OK'.\n"
              "Warning in kest_http_data_processor_oline::header_line_parse(), failed to parse response line "
              "'<html>'.\n");
}

TEST(HttpResponseParser, VersionNumbers) {
    log_capture log;
    processor p;
    struct {
        const char* text;
        int version;
    } cases[] = {
        {"HTTP/1.0", 10}, {"HTTP/1.1", 11}, {"HTTP/0.9", 0}, {"HTTP/2", 20},
        {"HTTP/2.0", 20}, {"HTTP/x", 20},   {"HTTP/-1", 20}, {"HTTP/0.9999995", 20},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(p.try_extract_http_version_number(c.text), c.version) << c.text;
    }
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(p.try_extract_http_version_number("FTP/1.0"), 20);
    EXPECT_EQ(
        log.text(),
        "Warning in kest_http_data_processor_oline::try_extract_http_version_number(), got bad http version "
        "'FTP/1.0'.\n");
}

TEST(HttpResponseParser, HeaderLinesResultsAndWarnings) {
    const std::string w = "Warning in kest_http_data_processor_oline::header_line_parse(), ";
    struct {
        const char* line;
        int result;
        std::string logged;
    } cases[] = {
        {"Content-Length: 12", 0, ""},
        {"Content-Length: -3", 1, w + "got bad content length, line: Content-Length: -3\n"},
        {"Content-Length:", 1, w + "got bad content length, line: Content-Length:\n"},
        {"Content-Type: text/html; charset=utf-8", 0, ""},
        {"Content-Type:", 2, w + "got bad content type line: Content-Type:\n"},
        {"Connection: keep-alive, close", 0, ""},
        {"Connection: TE;upgrade, bogus", 0,
         w + "got questionable Connection: line: Connection: TE;upgrade, bogus\n" + w +
             "got questionable Connection: line: Connection: TE;upgrade, bogus\n"},
        {"Connection:  ", 2, w + "got bad Connection: line: Connection:  \n"},
        {"Expect: 100-continue;x", 0, ""},
        {"Expect: later", 2, w + "got bad Expect: line: Expect: later\n"},
        {"Transfer-Encoding:", 2, w + "got bad transfer encoding line: Transfer-Encoding:\n"},
        {"Host:", 2, w + "got empty host line 'Host:'.\n"},
        {"Host: one", 0, ""},
        {"Host: two", 2, ""},  // differs from the host stored by the line before
        {"X-Anything: at all", 0, ""},
        {"Content-Length 5", 0, ""},   // no colon: no known name
        {"Content Length: 5", 0, ""},  // a blank inside the name
    };
    processor p;
    p.request_sent = 1;
    ASSERT_EQ(p.header_line_parse("HTTP/1.1 200 OK"), 0);
    for (const auto& c : cases) {
        log_capture log;
        EXPECT_EQ(p.header_line_parse(c.line), c.result) << c.line;
        EXPECT_EQ(log.text(), c.logged) << c.line;
    }
    EXPECT_EQ(p.content_length, 12);
    EXPECT_STREQ(p.content_type, "text/html; charset=utf-8");
    EXPECT_EQ(p.content_type_code, 2);
    EXPECT_EQ(p.close_after_message, 1);
    EXPECT_EQ(p.expect_100_received, 1);
    EXPECT_STREQ(p.request_host, "one");
}

// Content-Range is read exactly, because the downloader writes the body at the offset it gives: every
// form the syntax allows, and everything else fails the response.
TEST(HttpResponseParser, ContentRangeIsReadExactly) {
    const std::string w =
        "Warning in kest_http_data_processor_oline::header_line_parse(), got bad content "
        "range, line: ";
    const int64_t none = -1;
    struct {
        const char* value;
        int result;  // 0 taken, 1 the response fails
        int64_t first = -1, last = -1, length = -1;
    } cases[] = {
        {"bytes 100-199/200", 0, 100, 199, 200},
        {"bytes 0-0/1", 0, 0, 0, 1},
        {"BYTES  5-9/*", 0, 5, 9, none},
        {"bytes */200", 0, none, none, 200},
        {"bytes 6000000000-6000000009/6000000010", 0, 6000000000LL, 6000000009LL, 6000000010LL},
        {"bytes 0-9223372036854775806/9223372036854775807", 0, 0, INT64_MAX - 1, INT64_MAX},
        {"bytes 0-9/9223372036854775808", 1},  // past 64 bits
        {"bytes 0-99999999999999999999/1", 1},
        {"bytes 100-199/199", 1},  // the last byte past the end
        {"bytes 200-199/300", 1},  // first after last
        {"bytes 100-/200", 1},
        {"bytes -199/200", 1},
        {"bytes -1-199/200", 1},
        {"bytes +1-199/200", 1},
        {"bytes 0x10-0x20/0x30", 1},
        {"bytes 1-2/3 junk", 1},
        {"bytes 1-2/3,4-5/6", 1},
        {"bytes 1 - 2/3", 1},
        {"bytes */*", 1},
        {"bytes 1-2", 1},
        {"bytes=1-2/3", 1},
        {"items 1-2/3", 1},
        {"bytes", 1},
        {"", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        processor p;
        p.request_sent = 1;
        ASSERT_EQ(p.header_line_parse("HTTP/1.1 206 Partial Content"), 0);
        std::string line = std::string("Content-Range: ") + c.value;
        log_capture log;
        EXPECT_EQ(p.header_line_parse(line.c_str()), c.result);
        if (c.result != 0) {
            EXPECT_EQ(log.text(), w + line + "\n");
            EXPECT_EQ(p.has_content_range, 0);
            continue;
        }
        EXPECT_EQ(log.text(), "");
        EXPECT_EQ(p.has_content_range, 1);
        EXPECT_EQ(p.content_range_first, c.first);
        EXPECT_EQ(p.content_range_last, c.last);
        EXPECT_EQ(p.content_range_length, c.length);
        // A second line is refused even when it says the same.
        EXPECT_EQ(p.header_line_parse(line.c_str()), 1);
    }
}

// The range belongs to its message: the next response on the connection starts without one, and a
// response that fails on a bad range never reports its header block.
TEST(HttpResponseParser, ContentRangeOfOneMessageOnly) {
    processor p;
    recorder r;
    r.attach(p);
    p.start_http_GET("h", "/");
    char sink[8192];
    while (p.get_tx_data(sink, sizeof sink) > 0) {
    }
    std::string first =
        "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 3-4/5\r\nContent-Length: 2\r\n\r\nde";
    ASSERT_EQ(p.feed_data(first.data(), static_cast<int>(first.size())), 1);
    EXPECT_EQ(p.has_content_range, 1);
    std::string second = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n";
    ASSERT_EQ(p.feed_data(second.data(), static_cast<int>(second.size())), 1);
    EXPECT_EQ(p.has_content_range, 0);
    EXPECT_EQ(p.content_range_first, -1);

    log_capture log;
    EXPECT_EQ(feed_whole("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 3-2/5\r\n\r\nxyz"),
              (outcome{{}, -1}));
}

TEST(HttpResponseParser, ContentTypeCodes) {
    struct {
        const char* value;
        int code;
    } cases[] = {
        {"text/plain", 1},
        {"TEXT/HTML;charset=x", 2},
        {"application/x-www-form-urlencoded", 10},
        {"application/xml", 11},
        {"application/rss+xml", 12},
        {"application/json\tx", 13},
        {"application/jsonp", 99},
        {"text/", 99},
        {"", 99},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(processor::classify_content_type(c.value), c.code) << c.value;
    }
}

TEST(HttpResponseParser, FixedBuffersTakeBoundedCopies) {
    processor p;
    p.request_sent = 1;
    std::string status = "HTTP/1.1" + std::string(100, 'v') + " 200 " + std::string(1000, 'r');
    ASSERT_EQ(p.header_line_parse(status.c_str()), 0);
    EXPECT_EQ(strlen(p.version_text), 31u);
    EXPECT_EQ(p.reason, std::string(255, 'r'));
    std::string type = "Content-Type: " + std::string(500, 't');
    std::string coding = "Transfer-Encoding: " + std::string(500, 'e');
    std::string host = "Host: " + std::string(500, 'h');
    EXPECT_EQ(p.header_line_parse(type.c_str()), 0);
    EXPECT_EQ(p.header_line_parse(coding.c_str()), 0);
    EXPECT_EQ(p.header_line_parse(host.c_str()), 0);
    EXPECT_EQ(p.content_type, std::string(63, 't'));
    EXPECT_EQ(p.transfer_encoding, std::string(255, 'e'));
    EXPECT_EQ(p.request_host, std::string(255, 'h'));
}

TEST(HttpResponseParser, LongLinesAreCutSilently) {
    log_capture log;
    processor p;
    std::string line = std::string(7000, 'x') + "\r\n";
    EXPECT_EQ(p.collect_line(line.data(), static_cast<int>(line.size())), static_cast<int>(line.size()));
    EXPECT_EQ(p.line_complete, 1);
    EXPECT_EQ(p.line.len, 5999);
    EXPECT_EQ(log.text(), "");
}

TEST(HttpResponseParser, HeaderBlockBounds) {
    const std::string warning = "Warning in kest_http_data_processor_oline::process_data(), ";
    auto block = [](int lines, size_t line_size) {
        std::string bytes = "HTTP/1.1 200 OK\r\n";
        for (int i = 1; i < lines; ++i) {
            bytes += "X-" + std::string(line_size, 'a') + ": b\r\n";
        }
        return bytes + "Content-Length: 0\r\n\r\n";
    };
    const std::vector<std::string> fine = {"received 200 OK length=0 chunked=0", "complete", "close"};
    {
        log_capture log;
        EXPECT_EQ(feed_whole(block(99, 1)), (outcome{fine, 1}));  // 100 lines with Content-Length
        EXPECT_EQ(feed_whole(block(100, 1)).result, -1);
        EXPECT_EQ(log.text(), warning + "too many header lines, failing message.\n");
    }
    {
        log_capture log;
        EXPECT_EQ(feed_whole(block(11, 5900)), (outcome{fine, 1}));  // about 58 KiB
        EXPECT_EQ(feed_whole(block(13, 5900)).result, -1);           // about 69 KiB
        EXPECT_EQ(log.text(), warning + "too much header data, failing message.\n");
    }
    // Endless empty lines before a status line, and an endless chunk-size line, are bounded too.
    EXPECT_EQ(feed_whole(std::string(70000, '\n')).result, -1);
    std::string chunk_line =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5" + std::string(70000, ' ');
    EXPECT_EQ(feed_whole(chunk_line).result, -1);
    // Trailers are bounded like a header block.
    std::string trailers = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n";
    for (int i = 0; i < 101; ++i) {
        trailers += "X: y\r\n";
    }
    EXPECT_EQ(feed_whole(trailers, closing::keep_alive).result, -1);
}

// What chunk-size lines hold besides their digits is bounded per message, so a server cannot keep a body
// going on extensions and blanks while it sends almost no data.
TEST(HttpResponseParser, ChunkExtensionsAreBoundedPerMessage) {
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    // `chunks` one-byte chunks whose size lines hold `extra` bytes besides the digit, then "0" + `last`.
    auto body = [](int chunks, int extra, const std::string& last) {
        std::string bytes;
        for (int i = 0; i < chunks; ++i) {
            bytes += " 1;" + std::string(static_cast<size_t>(extra - 2), 'e') + "\r\nx\r\n";
        }
        return bytes + "0" + last + "\r\n\r\n";
    };
    const int limit = processor::max_chunk_extension_bytes;
    ASSERT_EQ(limit, 16 * 1024);
    const std::string warning =
        "Warning in kest_http_data_processor_oline::process_data(), too much chunk extension data, failing "
        "message.\n";
    const std::string chunked = "received 200 OK length=-1 chunked=1";
    const outcome fine{{chunked, "data:" + std::string(16, 'x'), "complete", "close"}, 1};

    std::vector<size_t> every;
    std::string at_limit = head + body(16, limit / 16, "");
    for (size_t i = 1; i < at_limit.size(); ++i) {
        every.push_back(i);
    }
    {
        log_capture log;
        EXPECT_EQ(feed_whole(at_limit), fine);
        EXPECT_EQ(feed(at_limit, every), fine);
        EXPECT_EQ(log.text(), "");
    }
    {
        log_capture log;
        std::string over = head + body(16, limit / 16, " ");  // one blank more, on the last size line
        EXPECT_EQ(feed_whole(over), (outcome{{chunked, "data:" + std::string(16, 'x')}, -1}));
        EXPECT_EQ(log.text(), warning);
    }
    // Each message has a bound of its own.
    std::string two = head + body(16, limit / 16, "") + head + body(16, limit / 16, "");
    EXPECT_EQ(feed_whole(two, closing::keep_alive).result, 1);
}

TEST(HttpResponseParser, CallbacksThatRefuseFailTheProcessor) {
    recorder refuse_headers;
    refuse_headers.accept_received = 0;
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    EXPECT_EQ(feed(response, {}, closing::after_response, refuse_headers).result, -1);
    recorder refuse_data;
    refuse_data.accept_data = 0;
    outcome refused = feed(response, {}, closing::after_response, refuse_data);
    EXPECT_EQ(refused, (outcome{{"received 200 OK length=5 chunked=0", "data:hello"}, -1}));

    processor p;  // no callbacks at all
    p.request_sent = 1;
    EXPECT_EQ(p.feed_data(response.data(), static_cast<int>(response.size())), -1);
    EXPECT_EQ(p.failed, 1);
    EXPECT_EQ(p.feed_data("x", 1), -1);
    EXPECT_EQ(p.process_data("x", 1), -1);
    EXPECT_EQ(p.feed_data("x", 0), -1);
}

TEST(HttpResponseParser, HasMessageBody) {
    struct {
        int status;
        const char* method;
        int version;
        const char* coding;
        int length;
        int body;
    } cases[] = {
        {200, "GET", 11, "", -1, 1},
        {200, "GET", 11, "", 0, 0},
        {200, "GET", 11, "", 7, 1},
        {101, "GET", 11, "", 7, 0},
        {204, "GET", 11, "chunked", 7, 0},
        {304, "GET", 11, "", 7, 0},
        {200, "HEAD", 11, "", 7, 0},
        {200, "GET", 11, "gzip", 0, 1},
        {200, "GET", 10, "gzip", 0, 0},
        {200, "GET", 11, "identity", 0, 0},
        {0, "", 11, "", -1, 0},
        {0, "", 11, "", 3, 1},
    };
    for (const auto& c : cases) {
        processor p;
        p.status = c.status;
        strcpy(p.method, c.method);
        p.peer_version = c.version;
        strcpy(p.transfer_encoding, c.coding);
        p.content_length = c.length;
        EXPECT_EQ(p.has_message_body(), c.body)
            << c.status << " " << c.method << " " << c.coding << " " << c.length;
    }
}

TEST(HttpResponseParser, IncomingCookies) {
    log_capture log;
    processor p;
    strcpy(p.cookie_prefix, "vh_");
    p.request_sent = 1;
    ASSERT_EQ(p.header_line_parse("HTTP/1.1 200 OK"), 0);
    std::string long_value = "Cookie: vh_big=" + std::string(300, 'v');
    ASSERT_EQ(p.header_line_parse("Cookie: VH_a=1; vh_b=2 other=3;vh_a=4; vh_flag"), 0);
    ASSERT_EQ(p.header_line_parse(long_value.c_str()), 0);
    std::vector<std::string> list;
    for (kest_http_cookie* c = p.incoming_cookies; c != nullptr; c = c->next) {
        list.push_back(std::string(c->key) + "=" + c->value);
    }
    EXPECT_EQ(list, (std::vector<std::string>{"flag=", "b=2", "a=4"}));
    EXPECT_EQ(log.text(), "Error in kest_http_cookie::set_value() - incoming string '" +
                              std::string(300, 'v') + "' too long.\n");
}

TEST(HttpResponseParser, IncomingCookieListIsBounded) {
    log_capture log;
    processor p;
    p.request_sent = 1;
    ASSERT_EQ(p.header_line_parse("HTTP/1.1 200 OK"), 0);
    std::string line = "Cookie:";
    for (int i = 0; i < 200; ++i) {
        line += " c" + std::to_string(i) + "=x;";
    }
    ASSERT_EQ(p.header_line_parse(line.c_str()), 0);
    int count = 0;
    for (kest_http_cookie* c = p.incoming_cookies; c != nullptr; c = c->next) {
        ++count;
    }
    EXPECT_EQ(count, processor::max_incoming_cookies);
    EXPECT_EQ(log.text(),
              "Warning in kest_http_data_processor_oline::header_line_parse(), too many cookies, line: " +
                  line + "\n");
}

TEST(HttpResponseParser, RequestsAreRefusedSafely) {
    log_capture log;
    processor p;  // no request sent: the incoming message would be a request
    const char request[] = "GET / HTTP/1.1\r\n\r\n";
    EXPECT_EQ(p.feed_data(request, sizeof request - 1), -1);
    EXPECT_EQ(p.failed, 1);
    EXPECT_EQ(log.text(),
              "Error in kest_http_data_processor_oline::parse_request_line(), parsing requests is not "
              "supported.\n");
}
