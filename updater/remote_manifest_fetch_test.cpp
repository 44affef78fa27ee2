#include "updater/remote_manifest_fetch.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <utility>
#include <vector>

#include "testing/log_capture.h"
#include "testing/sandbox.h"
#include "testing/scripted_server.h"
#include "updater/update_test_support.h"

namespace {

using script = scripted_server::script;

const char manifest_path[] = "/downloads/tessar_v3/manifest_linux32_executables.txt.gz";
const std::string inflate_failed =
    "Error in http_fetch_remote_manifest_data::download_data_callback(), ZLip inflate failed?\n";
const std::string cut_stream =
    "Error in http_fetch_remote_manifest_data::fetch_manifest(), the compressed manifest ends before its "
    "stream does.\n";
// An abandoned download leaves the connection for the downloader's destruction to close.
const std::string fetch_failed =
    "Error in kest_http_downloader::download(), http data fetch failed.\n"
    "Error in ~kest_tcp_socket(), socket not closed.\n";

struct record {
    std::string hash;
    int size;
    std::string name;
    bool operator==(const record& o) const { return hash == o.hash && size == o.size && name == o.name; }
};

std::ostream& operator<<(std::ostream& out, const record& r) {
    return out << "{" << r.hash << " " << r.size << " '" << r.name << "'}";
}

std::vector<record> records_of(const http_fetch_remote_manifest_data& fetcher) {
    std::vector<record> out;
    for (const manifest_entry* e = fetcher.records; e != nullptr; e = e->next) {
        out.push_back({e->hash, e->size, e->name});
    }
    return out;
}

std::string hash_of(char seed) {
    return std::string(20, seed);
}

// The whole response for the scripted server.
std::string response_with(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

TEST(RemoteManifestFetch, BodiesThatParse) {
    REQUIRE_SANDBOX();
    const std::string three = manifest_line("client-1", 10) + "# a comment\n\n" +
                              manifest_line("sub dir/client 2", 20, 'b') + manifest_line("/rooted", 30, 'c');
    const std::vector<record> three_records = {{hash_of('a'), 10, "client-1"},
                                               {hash_of('b'), 20, "sub dir/client 2"},
                                               {hash_of('c'), 30, "/rooted"}};
    std::string crlf;
    for (char c : three) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    const std::string unterminated = three.substr(0, three.size() - 1);
    struct {
        const char* name;
        std::string body;
        std::vector<record> expected;
    } cases[] = {
        {"empty body", "", {}},
        {"comments only", gzip_text("# only\n\n   \n#\n"), {}},
        {"gzip", gzip_text(three), three_records},
        {"zlib header", zlib_text(three), three_records},
        {"carriage-return line feeds", gzip_text(crlf), three_records},
        {"last line without line feed", gzip_text(unterminated), three_records},
        {"only one carriage return is dropped",
         gzip_text(manifest_line("x\r\r", 1)),
         {{hash_of('a'), 1, "x\r"}}},
    };
    update_server server;
    server.start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.put_manifest(c.body);
        log_capture log;
        http_fetch_remote_manifest_data fetcher;
        EXPECT_EQ(fetcher.fetch_manifest("127.0.0.1", manifest_path), static_cast<int>(c.expected.size()));
        EXPECT_EQ(records_of(fetcher), c.expected);
        EXPECT_EQ(fetcher.record_count, static_cast<int>(c.expected.size()));
        EXPECT_EQ(log.text(), "");
    }
}

TEST(RemoteManifestFetch, ProgressIsPassedOnWithItsUser) {
    REQUIRE_SANDBOX();
    update_server server;
    const std::string body = gzip_text(manifest_line("a", 1));
    server.put_manifest(body);
    server.start();
    std::vector<std::pair<int, int>> seen;
    http_fetch_remote_manifest_data fetcher;
    fetcher.progress_user = &seen;
    fetcher.progress_callback = [](void* user, int received, int expected) {
        static_cast<std::vector<std::pair<int, int>>*>(user)->emplace_back(received, expected);
        return 1;
    };
    ASSERT_EQ(fetcher.fetch_manifest("127.0.0.1", manifest_path), 1);
    const int n = static_cast<int>(body.size());
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{0, n}, {n, n}}));
}

TEST(RemoteManifestFetch, LastLineWithoutLineFeedWhenNoLengthIsAnnounced) {
    REQUIRE_SANDBOX();
    update_server server;
    server.put_manifest(gzip_text(manifest_line("a", 1) + manifest_line("b", 2).substr(0, 33)));
    // With server-side includes on, nginx does not know the length and sends the body chunked.
    server.start("ssi on; ssi_types *;");
    http_fetch_remote_manifest_data fetcher;
    ASSERT_EQ(fetcher.fetch_manifest("127.0.0.1", manifest_path), 2);
    EXPECT_EQ(records_of(fetcher)[1], (record{hash_of('a'), 2, "b"}));
}

TEST(RemoteManifestFetch, LongLineIsCutBeforeItIsParsed) {
    REQUIRE_SANDBOX();
    update_server server;
    const std::string long_name(7000, 'n');
    server.put_manifest(gzip_text(manifest_line(long_name, 5) + manifest_line("next", 6)));
    server.start();
    http_fetch_remote_manifest_data fetcher;
    ASSERT_EQ(fetcher.fetch_manifest("127.0.0.1", manifest_path), 2);
    // 20 hash digits, a blank, ten size columns, a blank: the name keeps the rest of 5999 bytes.
    EXPECT_EQ(std::string(fetcher.records->name), long_name.substr(0, 5999 - 32));
    EXPECT_EQ(std::string(fetcher.records->next->name), "next");
}

TEST(RemoteManifestFetch, PieceThatInflatesPastOneWindow) {
    REQUIRE_SANDBOX();
    std::string text = manifest_line("first", 1);
    const std::string same = manifest_line("same", 2);
    for (int i = 0; i < 20000; ++i) {
        text += same;
    }
    text += manifest_line("last", 3);
    const std::string body = gzip_text(text);
    ASSERT_LT(body.size(), 8192u);  // one piece
    ASSERT_GT(text.size(), 65536u * 4);
    update_server server;
    server.put_manifest(body);
    server.start();
    http_fetch_remote_manifest_data fetcher;
    ASSERT_EQ(fetcher.fetch_manifest("127.0.0.1", manifest_path), 20002);
    std::vector<record> got = records_of(fetcher);
    EXPECT_EQ(got.front(), (record{hash_of('a'), 1, "first"}));
    EXPECT_EQ(got[20000], (record{hash_of('a'), 2, "same"}));
    EXPECT_EQ(got.back(), (record{hash_of('a'), 3, "last"}));
}

TEST(RemoteManifestFetch, BodiesThatFail) {
    REQUIRE_SANDBOX();
    std::string many_good;
    for (int i = 0; i < 500; ++i) {
        many_good += manifest_line("good-" + std::to_string(i), i);
    }
    const std::string whole = gzip_text(many_good);
    const std::string size_error =
        "Syntax error in downloaded data - bad or missing file size for line:\n0123456789 big x\n";
    struct {
        const char* name;
        std::string body;
        std::string logged;
    } cases[] = {
        {"malformed line after good ones", gzip_text(many_good + "0123456789 big x\n" + many_good),
         size_error + fetch_failed},
        {"malformed last line without line feed", gzip_text(many_good + "0123456789 big x"),
         size_error + fetch_failed},
        {"a hash field that is too short", gzip_text("012345678 1 x\n"),
         "Syntax error in downloaded data - bad or missing hash field for line:\n012345678 1 x\n" +
             fetch_failed},
        {"not compressed", many_good, inflate_failed + fetch_failed},
        {"compressed stream cut short", whole.substr(0, whole.size() / 2), cut_stream},
        {"gzip trailer missing", whole.substr(0, whole.size() - 4), cut_stream},
    };
    update_server server;
    server.start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.put_manifest(c.body);
        log_capture log;
        http_fetch_remote_manifest_data fetcher;
        EXPECT_EQ(fetcher.fetch_manifest("127.0.0.1", manifest_path), -1);
        EXPECT_EQ(fetcher.records, nullptr);
        EXPECT_EQ(fetcher.record_count, 0);
        EXPECT_EQ(log.text(), c.logged);
    }
}

TEST(RemoteManifestFetch, MissingManifestFails) {
    REQUIRE_SANDBOX();
    update_server server;
    server.start();
    log_capture log;
    http_fetch_remote_manifest_data fetcher;
    EXPECT_EQ(fetcher.fetch_manifest("127.0.0.1", manifest_path), -1);
    EXPECT_EQ(log.text(),
              "Warning in kest_http_downloader::callback_message_received(), download failed in callback "
              "mode.\n" +
                  fetch_failed);
}

TEST(RemoteManifestFetch, BrokenConnectionsFail) {
    REQUIRE_SANDBOX();
    std::string text;
    for (int i = 0; i < 3000; ++i) {
        text += manifest_line("client-" + std::to_string(i), i);
    }
    const std::string body = gzip_text(text);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    struct {
        const char* name;
        script plan;
    } cases[] = {
        {"reset in the body",
         script().accept().read_request().send(head + body.substr(0, 100)).sleep(50).reset()},
        {"closed in the body", script().accept().read_request().send(head + body.substr(0, 100)).close()},
        {"stalled in the body",
         script().accept().read_request().send(head + body.substr(0, 100)).stall(5000)},
    };
    log_capture log;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scripted_server server(c.plan, 80);
        http_fetch_remote_manifest_data fetcher;
        fetcher.wait_ms = 100;
        fetcher.stall_window_ms = 300;
        EXPECT_EQ(fetcher.fetch_manifest("127.0.0.1", manifest_path), -1);
        EXPECT_EQ(fetcher.records, nullptr);
    }
}

TEST(RemoteManifestFetch, FetchHasAFixedTimeLimit) {
    REQUIRE_SANDBOX();
    EXPECT_EQ(http_fetch_remote_manifest_data().time_limit_ms, 10 * 60 * 1000);
    // Silent, but not for as long as the stall limit.
    const std::string body = gzip_text(manifest_line("a", 1));
    scripted_server server(script().accept().read_request().send(response_with(body).substr(0, 50)).stall(),
                           80);
    log_capture log;
    http_fetch_remote_manifest_data fetcher;
    fetcher.time_limit_ms = 300;
    EXPECT_EQ(fetcher.fetch_manifest("127.0.0.1", manifest_path), -1);
    EXPECT_EQ(log.text(),
              "Error in kest_http_downloader::download(), transfer took too long, giving up.\n"
              "Error in ~kest_tcp_socket(), socket not closed.\n");
}

TEST(RemoteManifestFetch, UnresolvedHostFails) {
    log_capture log;
    http_fetch_remote_manifest_data fetcher;
    EXPECT_EQ(fetcher.fetch_manifest("no-such-host.invalid", manifest_path), -1);
    EXPECT_EQ(log.text(), "Error in kest_http_downloader::download(), connect failed.\n");
}

TEST(RemoteManifestFetch, DataAfterTheStreamEndIsIgnored) {
    REQUIRE_SANDBOX();
    scripted_server server(script()
                               .accept()
                               .read_request()
                               .send(response_with(gzip_text(manifest_line("a", 1)) + "trailing junk"))
                               .close(),
                           80);
    http_fetch_remote_manifest_data fetcher;
    EXPECT_EQ(fetcher.fetch_manifest("127.0.0.1", manifest_path), 1);
}

TEST(RemoteManifestFetch, RequestIsAPlainGetOnPort80) {
    REQUIRE_SANDBOX();
    scripted_server server(script().accept().read_request().send(response_with("")).close(), 80);
    http_fetch_remote_manifest_data fetcher;
    ASSERT_EQ(fetcher.fetch_manifest("127.0.0.1", manifest_path), 0);
    ASSERT_TRUE(server.wait_finished());
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].substr(0, 77),
              "GET /downloads/tessar_v3/manifest_linux32_executables.txt.gz HTTP/1.1\r\nHost: ");
}

// Limits on what a server can make the launcher hold.

TEST(RemoteManifestFetch, LimitsAtTheirBoundaries) {
    REQUIRE_SANDBOX();
    const std::string text =
        "# 123456789\n" + manifest_line("r0", 0) + manifest_line("r1", 1) + manifest_line("r2", 2);
    const int64_t length = static_cast<int64_t>(text.size());
    // Bytes after the compressed stream count towards the body.
    const std::string body = gzip_text(text) + "junk";
    const int64_t body_length = static_cast<int64_t>(body.size());
    update_server server;
    server.put_manifest(body);
    server.start();
    const std::string too_many_records =
        "Error in http_fetch_remote_manifest_data::take_inflated_text(), more than 2 records, giving up.\n";
    const std::string too_much_text =
        "Error in http_fetch_remote_manifest_data::download_data_callback(), more than " +
        std::to_string(length - 1) + " bytes of inflated text, giving up.\n";
    const std::string too_long_body =
        "Error in http_fetch_remote_manifest_data::download_data_callback(), more than " +
        std::to_string(body_length - 1) + " bytes of compressed manifest, giving up.\n";
    struct {
        int32_t max_records;
        int64_t max_inflated_bytes;
        int64_t max_body_bytes;
        int result;
        std::string logged;
    } cases[] = {
        {3, length, body_length, 3, ""},
        {2, length, body_length, -1, too_many_records + fetch_failed},
        {3, length - 1, body_length, -1, too_much_text + fetch_failed},
        {3, length, body_length - 1, -1, too_long_body + fetch_failed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.max_records) + " records, " + std::to_string(c.max_inflated_bytes) +
                     " bytes, a body of " + std::to_string(c.max_body_bytes));
        log_capture log;
        http_fetch_remote_manifest_data fetcher;
        fetcher.max_records = c.max_records;
        fetcher.max_inflated_bytes = c.max_inflated_bytes;
        fetcher.max_body_bytes = c.max_body_bytes;
        EXPECT_EQ(fetcher.fetch_manifest("127.0.0.1", manifest_path), c.result);
        EXPECT_EQ(log.text(), c.logged);
    }
}

TEST(RemoteManifestFetch, DefaultLimitsStopEndlessManifests) {
    REQUIRE_SANDBOX();
    log_capture log;
    update_server server;
    server.start();
    struct {
        const char* name;
        std::string text;
        int result;
    } cases[] = {
        // 257 MiB of comment lines: no record, only text.
        {"endless text", "", -1},
        {"a million records", "", 1000000},
        {"one record more", "", -1},
    };
    const std::string comment = "#" + std::string(1022, 'x') + "\n";
    for (int i = 0; i < 257 * 1024; ++i) {
        cases[0].text += comment;
    }
    const std::string line = manifest_line("r", 1);
    for (int i = 0; i < 1000000; ++i) {
        cases[1].text += line;
    }
    cases[2].text = cases[1].text + line;
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.put_manifest(gzip_text(c.text, Z_BEST_SPEED));
        c.text.clear();
        http_fetch_remote_manifest_data fetcher;
        EXPECT_EQ(fetcher.fetch_manifest("127.0.0.1", manifest_path), c.result);
    }
}

namespace {

release_signature signed_as(const std::string& body) {
    release_signature fields;
    fields.manifest_length = static_cast<int64_t>(body.size());
    sha256_hasher hasher;
    hasher.update(body.data(), body.size());
    hasher.finish_hex(fields.manifest_sha256);
    return fields;
}

}  // namespace

// With a release signature the manifest's records count only when its bytes are exactly the signed ones.
TEST(RemoteManifestFetch, SignedManifestMustMatchItsSignature) {
    REQUIRE_SANDBOX();
    const std::string body = gzip_text("# list\n" + manifest_line("client", 3));
    const std::string other = gzip_text("# list\n" + manifest_line("client", 4));
    update_server server;
    server.put_manifest(body);
    server.start();
    const std::string mismatch =
        "Error in http_fetch_remote_manifest_data::fetch_manifest(), the manifest does not match its release "
        "signature (";
    using fetch = http_fetch_remote_manifest_data;
    release_signature shorter = signed_as(body.substr(0, body.size() - 1));
    release_signature longer = signed_as(body + "x");
    struct {
        const char* name;
        release_signature fields;
        int result;
        fetch::signed_check check;
        std::string logged;
    } cases[] = {
        {"the signed bytes", signed_as(body), 1, fetch::manifest_matches, ""},
        {"other bytes of the same length", signed_as(other), -1, fetch::manifest_wrong_hash,
         mismatch + "SHA-256).\n"},
        {"more bytes than signed", shorter, -1, fetch::manifest_too_long,
         fetch_failed + mismatch + "length).\n"},
        {"fewer bytes than signed", longer, -1, fetch::manifest_too_short, mismatch + "length).\n"},
    };
    ASSERT_EQ(body.size(), other.size());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log_capture log;
        fetch fetcher;
        fetcher.signed_manifest = &c.fields;
        EXPECT_EQ(fetcher.fetch_manifest("127.0.0.1", manifest_path), c.result);
        EXPECT_EQ(fetcher.signed_result, c.check);
        EXPECT_EQ(fetcher.records == nullptr, c.result < 0) << "no record of a manifest that did not match";
        EXPECT_EQ(log.text(), c.logged);
    }
}

// An endless body is not read past the signed length.
TEST(RemoteManifestFetch, SignedManifestIsReadNoFurtherThanItsLength) {
    REQUIRE_SANDBOX();
    const std::string body = gzip_text("# list\n" + manifest_line("client", 3));
    scripted_server server(script()
                               .accept()
                               .read_request()
                               .send("HTTP/1.1 200 OK\r\n\r\n" + body)
                               .repeat(std::string(65536, 'x')),
                           80);
    log_capture log;
    release_signature fields = signed_as(body);
    http_fetch_remote_manifest_data fetcher;
    fetcher.signed_manifest = &fields;
    EXPECT_EQ(fetcher.fetch_manifest("127.0.0.1", manifest_path), -1);
    EXPECT_EQ(fetcher.signed_result, http_fetch_remote_manifest_data::manifest_too_long);
}

TEST(RemoteManifestFetch, SignatureFetchTakesAtMostFourKibibytes) {
    REQUIRE_SANDBOX();
    update_server server;
    server.put_manifest("");
    write_file(server.docroot().path() + update_server::root_path + "/whole.sig", std::string(4096, 's'));
    write_file(server.docroot().path() + update_server::root_path + "/over.sig", std::string(4097, 's'));
    server.start();
    struct {
        const char* file;
        int result;
        int length;
    } cases[] = {{"whole.sig", 1, 4096}, {"over.sig", 0, 0}, {"missing.sig", 0, 0}};
    for (const auto& c : cases) {
        log_capture log;
        http_fetch_remote_manifest_data fetcher;
        std::string path = std::string(update_server::root_path) + "/" + c.file;
        EXPECT_EQ(fetcher.fetch_signature("127.0.0.1", path.c_str()), c.result) << c.file;
        EXPECT_EQ(fetcher.signature_length, c.length) << c.file;
    }
    // A body without end is given up at the limit too.
    log_capture log;
    scripted_server endless(script().accept().read_request().send("HTTP/1.1 200 OK\r\n\r\n").repeat("s"), 0);
    http_fetch_remote_manifest_data fetcher;
    fetcher.port = endless.port();
    EXPECT_EQ(fetcher.fetch_signature("127.0.0.1", "/x.sig"), 0);
    EXPECT_EQ(fetcher.signature_length, 0);
}
