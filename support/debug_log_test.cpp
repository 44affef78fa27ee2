#include "support/debug_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "testing/log_capture.h"
#include "testing/temp_directory.h"

TEST(DebugLog, LevelRulesOfReports) {
    log_capture log;
    debug_log_report("verbose", REPORT_VERBOSE);
    debug_log_report("none", 0);
    debug_log_report("x", REPORT_FAILURE);
    debug_log_report("y", REPORT_MISUSE | REPORT_BAD_INPUT);
    debug_log_at(2, "level two\n");
    debug_log_at(1, "level %d\n", 1);
    debug_log_line(1, "line %s", "one");
    debug_log_line(3, "line three");
    EXPECT_EQ(log.text(), "x\ny\nlevel 1\nline one\n");
}

TEST(DebugLog, VerboseReportsAppearAtLevelThree) {
    log_capture log(3);
    debug_log_report("verbose", REPORT_VERBOSE);
    EXPECT_NE(log.text().find("verbose\n"), std::string::npos);
    EXPECT_NE(log.text().find("opened logfile '" + log.path() + "'"), std::string::npos);
}

TEST(DebugLog, LongMessageIsCutToBufferLessTerminator) {
    log_capture log;
    std::string message(20480, 'm');
    debug_log_printf("%s", message.c_str());
    EXPECT_EQ(log.text(), std::string(10239, 'm'));

    log_capture lines;
    debug_log_line(1, "%s", message.c_str());
    EXPECT_EQ(lines.text(), std::string(10238, 'm') + "\n");
}

TEST(DebugLog, AppendsToAnExistingFile) {
    log_capture log;
    write_file(log.path(), "earlier run\n");
    debug_log_printf("this run\n");
    EXPECT_EQ(log.text(), "earlier run\nthis run\n");
}

TEST(DebugLog, UnopenableFileDropsEverythingAndNeverUsesStdout) {
    kest_client_close_debug_logfile();
    kest_client_set_autoopen_debug_logfile_name("no-such-directory/log.txt");
    testing::internal::CaptureStdout();
    debug_log_printf("lost\n");
    debug_log_report("lost too", REPORT_SEVERE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    kest_client_close_debug_logfile();
}

TEST(DebugLog, PlantedSymbolicLinkIsNotFollowed) {
    temp_directory dir;
    std::string target = dir.file("victim");
    write_file(target, "precious\n");
    std::string name = "planted-link-" + std::to_string(getpid()) + ".txt";
    ASSERT_EQ(symlink(target.c_str(), ("/tmp/" + name).c_str()), 0);
    kest_client_close_debug_logfile();
    kest_client_set_autoopen_debug_logfile_name(name.c_str());
    testing::internal::CaptureStdout();
    debug_log_printf("redirected?\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(read_file(target), "precious\n");
    kest_client_close_debug_logfile();
    unlink(("/tmp/" + name).c_str());
}

// What someone else may have put under the log's name in /tmp before the launcher started. Opening a FIFO
// that has no reader would hang (see the start-up tests); these would be written into without the checks.
TEST(DebugLog, PlantedFifoOrAnotherUsersFileIsNotALog) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a file to another user";
    }
    const std::string name = "planted-" + std::to_string(getpid()) + ".txt";
    const std::string path = "/tmp/" + name;
    struct {
        const char* what;
        std::function<int()> plant;  // a descriptor that reads what reached the planted file, or -1
    } cases[] = {
        {"a FIFO with a reader",
         [&] { return mkfifo(path.c_str(), 0666) == 0 ? open(path.c_str(), O_RDONLY | O_NONBLOCK) : -1; }},
        {"another user's file that anyone may write",
         [&] {
             write_file(path, "");
             if (chmod(path.c_str(), 0666) != 0 || chown(path.c_str(), 65534, 65534) != 0) {
                 return -1;
             }
             return open(path.c_str(), O_RDONLY);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int reader = c.plant();
        ASSERT_GE(reader, 0) << strerror(errno);
        kest_client_close_debug_logfile();
        kest_client_set_autoopen_debug_logfile_name(name.c_str());
        testing::internal::CaptureStdout();
        debug_log_printf("written into it?\n");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_LT(debug_logfile.fd, 0);
        char buffer[64];
        EXPECT_LE(read(reader, buffer, sizeof buffer), 0);
        close(reader);
        kest_client_close_debug_logfile();
        unlink(path.c_str());
    }
}

TEST(DebugLog, WithoutAnyNameTheFirstMessageGoesToStdout) {
    kest_client_close_debug_logfile();
    testing::internal::CaptureStdout();
    debug_log_printf("to stdout\n");
    kest_client_close_debug_logfile();  // the log wrote through its own duplicate of the descriptor
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "to stdout\n");
}

TEST(DebugLog, AutoOpenNameCannotChangeWhileOpen) {
    log_capture log;
    debug_log_printf("first\n");
    kest_client_set_autoopen_debug_logfile_name("elsewhere.txt");
    debug_log_printf("second\n");
    EXPECT_EQ(log.text(),
              "first\nError in kest_client_set_autoopen_debug_logfile_name(), logfile already open.\nsecond\n");
}

TEST(DebugLog, FailingDescriptorIsReportedOnceAndTheLimiterUnwinds) {
    log_capture log;
    debug_log_printf("opened\n");
    int good = debug_logfile.fd.exchange(open("/dev/null", O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(debug_logfile.write("fails"), 0);
    EXPECT_EQ(kest_signal_safe_logfile::recursion_depth(), 0);
    EXPECT_EQ(debug_logfile.write("fails again, silently"), 0);
    EXPECT_EQ(kest_signal_safe_logfile::recursion_depth(), 0);
    close(debug_logfile.fd.exchange(good));
    EXPECT_EQ(debug_logfile.write("recovered\n"), 1);
    EXPECT_EQ(log.text(), "opened\nrecovered\n");
}

TEST(DebugLog, MessagesFromTwoThreadsStayWhole) {
    log_capture log;
    const int per_thread = 2000;
    auto writer = [](char tag) {
        std::string line(100, tag);
        for (int i = 0; i < per_thread; ++i) {
            debug_log_printf("%s\n", line.c_str());
        }
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    std::string text = log.text();
    ASSERT_EQ(text.size(), 2u * per_thread * 101);
    for (size_t i = 0; i < text.size(); i += 101) {
        ASSERT_EQ(text.substr(i, 100), std::string(100, text[i])) << "at " << i;
        ASSERT_EQ(text[i + 100], '\n');
    }
}
