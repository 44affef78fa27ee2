#include "updater/update_hosts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/http_downloader.h"
#include "net/socket_primitives.h"
#include "testing/log_capture.h"

namespace {

std::vector<std::string> names(const update_host_list& hosts) {
    std::vector<std::string> all;
    for (int i = 0; i < hosts.count(); ++i) {
        all.push_back(hosts.name(i));
    }
    return all;
}

}  // namespace

TEST(UpdateHosts, ListsAreReadExactly) {
    const std::string longest(253, 'h');
    std::string sixteen = "h0";
    for (int i = 1; i < 16; ++i) {
        sixteen += ",h" + std::to_string(i);
    }
    struct {
        std::string text;
        std::vector<std::string> hosts;  // empty: refused
    } cases[] = {
        {"updates.example.org", {"updates.example.org"}},
        {"origin.example,cdn.example", {"origin.example", "cdn.example"}},
        {" origin.example ,\tcdn.example ", {"origin.example", "cdn.example"}},
        {"127.0.0.1,127.0.0.2,mirror", {"127.0.0.1", "127.0.0.2", "mirror"}},
        {longest, {longest}},
        {longest + "h", {}},
        {sixteen, {}},  // filled in below
        {sixteen + ",h16", {}},
        {"", {}},
        {"a,,b", {}},
        {"a,", {}},
        {",a", {}},
        {"a b", {}},
        {"a\nb", {}},
        {"a\x7f", {}},
    };
    for (int i = 0; i < 16; ++i) {
        cases[6].hosts.push_back("h" + std::to_string(i));
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text.substr(0, 40)));
        update_host_list hosts;
        EXPECT_EQ(hosts.parse(c.text.c_str()), c.hosts.empty() ? 0 : 1);
        EXPECT_EQ(names(hosts), c.hosts);
    }
    update_host_list hosts;
    EXPECT_EQ(hosts.parse(nullptr), 0);
    EXPECT_EQ(hosts.count(), 0);
    EXPECT_EQ(hosts.next_usable(), -1);
}

// Hosts are passed over in any order, each once and with a log line, until one is left: that one is
// never passed over.
TEST(UpdateHosts, TheLastUsableHostIsNeverPassedOver) {
    update_host_list hosts;
    ASSERT_EQ(hosts.parse("a,b,c"), 1);
    EXPECT_EQ(hosts.next_usable(), 0);
    log_capture log;
    EXPECT_EQ(hosts.pass_over(1, "it answered 503"), 1);
    EXPECT_EQ(hosts.pass_over(1, "again"), 0);
    EXPECT_EQ(hosts.next_usable(1), 2);
    EXPECT_EQ(hosts.pass_over(0, "connection refused"), 1);
    EXPECT_EQ(hosts.next_usable(), 2);
    EXPECT_EQ(hosts.pass_over(2, "it timed out"), 0);
    EXPECT_EQ(hosts.next_usable(), 2);
    EXPECT_EQ(hosts.next_usable(3), -1);
    EXPECT_TRUE(hosts.is_passed_over(0) && hosts.is_passed_over(1) && !hosts.is_passed_over(2));
    EXPECT_EQ(
        log.text(),
        "Warning in update_host_list::pass_over(), passing over update host 'b' for the rest of this run: "
        "it answered 503.\n"
        "Warning in update_host_list::pass_over(), passing over update host 'a' for the rest of this run: "
        "connection refused.\n");

    update_host_list one;
    one.set_single("x,y");  // taken as it is
    EXPECT_EQ(names(one), std::vector<std::string>{"x,y"});
    EXPECT_EQ(one.pass_over(0, "refused"), 0);
}

TEST(UpdateHosts, OnlyUnreachableHostsAndServerErrorsCountAgainstAHost) {
    using k = kest_http_downloader;
    struct {
        k::failure_kind failure;
        int status;
        int connect_error;
        const char* cause;  // null: nothing against the host
        int use_tls = 0;
    } cases[] = {
        {k::failure_connect, 0, net_error_connection_refused, "connection refused"},
        {k::failure_connect, 0, net_error_connection_reset, "connection aborted/reset"},
        {k::failure_connect, 0, net_error_connection_reset, "its TLS handshake failed", 1},
        {k::failure_connect, 0, net_error_timeout, "connecting timed out"},
        {k::failure_connect, 0, net_error_host_unreachable, "remote host unreachable"},
        {k::failure_unresolved, 0, 0, "its name cannot be resolved"},
        {k::failure_timeout, 200, 0, "it timed out"},
        {k::failure_status, 500, 0, "it answered 500"},
        {k::failure_status, 599, 0, "it answered 599"},
        {k::failure_status, 404, 0, nullptr},
        {k::failure_status, 600, 0, nullptr},
        {k::failure_broken, 200, 0, nullptr},
        {k::failure_range, 206, 0, nullptr},
        {k::failure_too_long, 200, 0, nullptr},
        {k::failure_local, 200, 0, nullptr},
        {k::failure_none, 200, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.failure) + " " + std::to_string(c.status));
        kest_http_downloader d;
        d.failure = c.failure;
        d.status = c.status;
        d.connect_error = c.connect_error;
        d.use_tls = c.use_tls;
        bounded_string cause;
        EXPECT_EQ(host_failure_cause(d, cause), c.cause != nullptr);
        EXPECT_STREQ(cause.c_str(), c.cause != nullptr ? c.cause : "");
    }
}
