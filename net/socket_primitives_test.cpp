#include "net/socket_primitives.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "testing/log_capture.h"
#include "testing/sandbox.h"
#include "testing/temp_directory.h"

namespace {

int32_t code_for_errno(int value) {
    errno = value;
    return network_error_from_errno();
}

std::string dotted(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return text;
}

}  // namespace

TEST(SocketPrimitives, ErrnoTableMapsEveryListedValueAndNothingElse) {
    struct mapping {
        int errno_value;
        int32_t code;
    };
    const mapping mapped[] = {
        {0, -2},    {4, -32},   {9, -11},   {11, -30},  {12, -14},  {14, -12},  {22, -11},  {23, -13},
        {24, -13},  {32, -20},  {77, -11},  {85, -30},  {88, -11},  {90, -15},  {98, -16},  {100, -24},
        {101, -25}, {102, -26}, {103, -21}, {104, -21}, {105, -14}, {106, -43}, {107, -44}, {108, -20},
        {110, -41}, {111, -40}, {112, -22}, {113, -23}, {114, -42}, {115, -31},
    };
    for (int e = 0; e <= 115; ++e) {
        int32_t expected = -1;
        for (const mapping& m : mapped) {
            if (m.errno_value == e) {
                expected = m.code;
            }
        }
        EXPECT_EQ(code_for_errno(e), expected) << "errno " << e;
    }
    for (int e : {116, 117, 200, 4095, -1}) {
        EXPECT_EQ(code_for_errno(e), -1) << "errno " << e;
    }
    EXPECT_EQ(code_for_errno(ENOENT), -1);
}

// The codes are part of the contract: callers compare them, and the table above is written in numbers.
TEST(SocketPrimitives, CodeNamesHaveTheirFixedValues) {
    const int32_t fixed[][2] = {
        {net_error_not_connected, -44},
        {net_error_already_connected, -43},
        {net_error_already_done, -42},
        {net_error_timeout, -41},
        {net_error_connection_refused, -40},
        {net_error_interrupted, -32},
        {net_error_in_progress, -31},
        {net_error_would_block, -30},
        {net_error_network_reset, -26},
        {net_error_network_unreachable, -25},
        {net_error_network_down, -24},
        {net_error_host_unreachable, -23},
        {net_error_host_down, -22},
        {net_error_connection_reset, -21},
        {net_error_broken_pipe, -20},
        {net_error_address_in_use, -16},
        {net_error_message_too_big, -15},
        {net_error_out_of_memory, -14},
        {net_error_out_of_descriptors, -13},
        {net_error_address_fault, -12},
        {net_error_bad_argument, -11},
        {net_error_uninitialized, -10},
        {net_error_none, -2},
        {net_error_unknown, -1},
    };
    for (const auto& f : fixed) {
        EXPECT_EQ(f[0], f[1]) << network_error_description(f[0]);
    }
}

TEST(SocketPrimitives, DescriptionsOfCodes) {
    EXPECT_STREQ(network_error_description(-44), "is not connected");
    EXPECT_STREQ(network_error_description(-21), "connection aborted/reset");
    EXPECT_STREQ(network_error_description(-10), "network socket subsystem uninitialized");
    EXPECT_STREQ(network_error_description(-2), "no error");
    for (int32_t unused : {-1, -3, -9, -17, -27, -33, -39, -45, 0, 5}) {
        EXPECT_STREQ(network_error_description(unused), "unknown error") << unused;
    }
}

TEST(SocketPrimitives, TransientCodes) {
    for (int32_t code : {-2, -30, -31, -32}) {
        EXPECT_EQ(is_transient_network_error(code), 1) << code;
    }
    for (int32_t code : {-1, -21, -41, -42, -44, 0, 1}) {
        EXPECT_EQ(is_transient_network_error(code), 0) << code;
    }
}

TEST(SocketPrimitives, DottedQuads) {
    struct {
        const char* text;
        int expected;
    } cases[] = {
        {"1.2.3.4", 1},
        {"0.0.0.0", 1},
        {"10.0.0.1", 1},
        {"192.168.100.200", 1},
        {"255.255.255.255", 1},
        {"001.002.003.004", 1},
        {"1.2.3", 0},
        {"1.2.3.4.5", 0},
        {"256.1.1.1", 0},
        {"1.2.3.256", 0},
        {"1234.1.1.1", 0},
        {"1.2.3.x", 0},
        {" 1.2.3.4", 0},
        {"+1.2.3.4", 0},
        {"1.+2.3.4", 0},
        {"-1.2.3.4", 0},
        {"1.-2.3.4", 0},
        {"1.2.3.4.", 0},
        {"1..2.3", 0},
        {"", 0},
        {".1.2.3", 0},
        {"1.2.3.4 ", 0},
        {"0001.2.3.4", 1},
        {"99999999999.1.1.1", 0},
        {"localhost", 0},
        {"1.2.3.4x", 0},
        {"0000.000.000.0000", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_dotted_quad(c.text), c.expected) << "'" << c.text << "'";
    }
    EXPECT_EQ(is_dotted_quad(nullptr), 0);
}

TEST(SocketPrimitives, DottedQuadIsConvertedWithoutLookup) {
    struct {
        const char* text;
        const char* address;
    } cases[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"10.20.30.40", "10.20.30.40"},
        // Decimal throughout: inet_addr() would read 010 as 8 and refuse 09.
        {"010.0.0.09", "10.0.0.9"},
    };
    for (const auto& c : cases) {
        int before = name_lookup_count();
        sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_port = htons(4321);
        ASSERT_EQ(resolve_host(c.text, &a), 1) << c.text;
        EXPECT_EQ(name_lookup_count(), before) << c.text;
        EXPECT_EQ(a.sin_family, AF_INET);
        EXPECT_EQ(dotted(a), c.address);
        EXPECT_EQ(ntohs(a.sin_port), 4321) << "the port is the caller's";
    }
}

// Name look-ups go through a resolver configuration of the test's own (mount namespace): a name server
// on loopback where nothing listens, so nothing that is not in /etc/hosts resolves and no query leaves.
class Resolver : public testing::Test {
  protected:
    void SetUp() override {
        if (!in_test_sandbox()) {
            GTEST_SKIP() << "needs the test sandbox";
        }
        write_file(resolv_.path() + "/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
        write_file(resolv_.path() + "/hosts", "127.0.0.1 localhost\n127.0.0.7 seventh.test\n");
        ASSERT_EQ(
            mount((resolv_.path() + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr),
            0);
        if (mount((resolv_.path() + "/hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
            umount("/etc/resolv.conf");
            FAIL() << "bind mount of hosts: " << strerror(errno);
        }
    }
    void TearDown() override {
        if (in_test_sandbox()) {
            umount("/etc/hosts");
            umount("/etc/resolv.conf");
        }
    }
    temp_directory resolv_;
};

TEST_F(Resolver, NamesAreLookedUp) {
    for (const char* name : {"localhost", "seventh.test"}) {
        int before = name_lookup_count();
        sockaddr_in a;
        memset(&a, 0, sizeof a);
        ASSERT_EQ(resolve_host(name, &a), 1) << name;
        EXPECT_EQ(name_lookup_count(), before + 1);
        EXPECT_EQ(a.sin_family, AF_INET);
        EXPECT_EQ(dotted(a), std::string(name) == "localhost" ? "127.0.0.1" : "127.0.0.7");
    }
}

TEST_F(Resolver, UnknownNameLeavesTheAddressAlone) {
    sockaddr_in a;
    memset(&a, 0xab, sizeof a);
    EXPECT_EQ(resolve_host("no-such-host.invalid", &a), 0);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&a);
    for (size_t i = 0; i < sizeof a; ++i) {
        EXPECT_EQ(bytes[i], 0xab);
    }
}

TEST(SocketPrimitives, DescriptorLifecycle) {
    kest_network_socket s;
    EXPECT_EQ(s.descriptor, -1);
    s.close_descriptor();
    EXPECT_EQ(s.descriptor, -1);

    ASSERT_EQ(s.create_stream(AF_INET, SOCK_STREAM, 0), 1);
    int fd = s.descriptor;
    EXPECT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(s.set_nonblocking(), 1);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(s.set_blocking(), 1);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);

    s.close_descriptor();
    EXPECT_EQ(s.descriptor, -1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    // A second close must not close whatever now holds the same number.
    int reused = dup(0);
    ASSERT_EQ(reused, fd);
    s.close_descriptor();
    EXPECT_NE(fcntl(reused, F_GETFD), -1);
    close(reused);

    EXPECT_EQ(s.create_stream(-5, SOCK_STREAM, 0), 0);
    EXPECT_EQ(s.descriptor, -1);
}

TEST(SocketPrimitives, BlockingSwitchesLogTheirFailure) {
    log_capture log;
    kest_network_socket s;
    EXPECT_EQ(s.set_nonblocking(), 0);
    EXPECT_EQ(s.set_blocking(), 0);
    EXPECT_EQ(log.text(),
              "Error in kest_network_socket::set_nonblocking(), setting nonblocking mode failed.\n"
              "Error in kest_network_socket::set_blocking(), setting blocking mode failed.\n");
}

TEST(SocketPrimitives, CallsOnAClosedDescriptorGiveCodes) {
    kest_network_socket s;
    char byte = 0;
    EXPECT_EQ(s.read_some(&byte, 1), -11);
    EXPECT_EQ(s.write_some(&byte, 1), -11);
    EXPECT_EQ(s.read_some(&byte, -1), -11);
    EXPECT_EQ(s.write_some(nullptr, 1), -11);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    EXPECT_EQ(s.connect_to(reinterpret_cast<sockaddr*>(&a), sizeof a), -11);
    int ready = 0;
    EXPECT_EQ(s.wait_ready(wait_readable, 0, &ready), -11);

    timeval zero{0, 0};
    EXPECT_EQ(s.wait_select(0, nullptr, nullptr, nullptr, &zero), 0);
    int fd = dup(0);
    close(fd);
    fd_set read_set;
    FD_ZERO(&read_set);
    FD_SET(fd, &read_set);
    EXPECT_EQ(s.wait_select(fd + 1, &read_set, nullptr, nullptr, &zero), -11);
}

// select() reports a descriptor whose peer hung up, or that has an error, as readable (a read then
// tells what happened); poll() reports those as POLLHUP and POLLERR alone, without POLLIN.
TEST(SocketPrimitives, HangUpAndErrorCountAsReadable) {
    struct {
        const char* name;
        bool read_end;  // wait on the read end of a pipe whose write end is closed, else the reverse
        int wanted;
        int ready;
    } cases[] = {
        {"hang-up", true, wait_readable, wait_readable},
        {"error", false, wait_readable, wait_readable},
        {"error, writing", false, wait_writable, wait_writable},
        {"error, reading or writing", false, wait_readable | wait_writable, wait_readable | wait_writable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        kest_network_socket s;
        s.descriptor = c.read_end ? ends[0] : ends[1];
        close(c.read_end ? ends[1] : ends[0]);
        int ready = 0;
        int expected = ((c.ready & wait_readable) != 0) + ((c.ready & wait_writable) != 0);
        EXPECT_EQ(s.wait_ready(c.wanted, 1000, &ready), expected);
        EXPECT_EQ(ready, c.ready);
    }
}

namespace {

std::atomic<int> signals_handled{0};

void count_signal(int) {
    signals_handled.fetch_add(1);
}

// 1 while the thread `tid` of this process is blocked in poll().
bool in_poll(pid_t tid) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    file >> number;
    return file && (number == SYS_poll || number == SYS_ppoll);
}

// Waits for `condition` to hold, or for `stop`; checks every millisecond.
template <typename Condition>
void wait_for(Condition condition, const std::atomic<bool>& stop) {
    while (!condition() && !stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

// A signal whose handler does not restart system calls interrupts the wait, which must go on waiting
// (with the time that is left) instead of reporting the interruption or a time-out.
TEST(SocketPrimitives, WaitResumesAfterASignal) {
    const pid_t waiter = static_cast<pid_t>(syscall(SYS_gettid));
    if (!std::ifstream("/proc/self/task/" + std::to_string(waiter) + "/syscall")) {
        GTEST_SKIP() << "no /proc/<pid>/task/<tid>/syscall";
    }
    struct sigaction action {};
    action.sa_handler = count_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART
    struct sigaction saved {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);
    signals_handled = 0;

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    kest_network_socket s;
    s.descriptor = ends[0];
    const pthread_t waiting_thread = pthread_self();
    std::atomic<bool> returned{false};
    std::thread helper([&] {
        wait_for([&] { return in_poll(waiter); }, returned);
        pthread_kill(waiting_thread, SIGUSR1);
        wait_for([&] { return signals_handled.load() > 0; }, returned);
        // The handler ran, so that poll() has ended: the waiter is in a new one, or has given up.
        wait_for([&] { return in_poll(waiter); }, returned);
        ssize_t written = write(ends[1], "x", 1);
        (void)written;
    });
    int ready = 0;
    int r = s.wait_ready(wait_readable, 60000, &ready);
    returned = true;
    helper.join();
    close(ends[1]);
    sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_EQ(signals_handled.load(), 1);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(ready, wait_readable);
}
