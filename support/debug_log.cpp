#include "support/debug_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "support/bounded_string.h"

int debug_log_level = 1;
kest_signal_safe_logfile debug_logfile;

namespace {

constexpr int message_buffer_size = 10240;
constexpr int recursion_limit = 25;

thread_local int write_depth = 0;
thread_local int write_failure_reported = 0;

// Guards the names and the open attempt. Messages themselves are written without it.
std::recursive_mutex open_mutex;
char* debug_logfile_name = nullptr;
char* autoopen_debug_logfile_name = nullptr;
std::atomic<int> debug_logfile_open_failed{0};

// The log lives in a directory that every user can write to, so anyone may have put something under its
// name first: a symbolic link must not redirect our writes, a FIFO must not stop the launcher in open()
// (O_NONBLOCK: without a reader it fails at once, with one it is refused below) and another user's file,
// however writeable, is not ours to fill. Each counts as a log that cannot be opened.
int open_own_log_file(const char* name) {
    int fd = open(name, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0) {
        return -1;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid()) {
        close(fd);
        return -1;
    }
    // Writes to the file itself block as usual.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

void autoopen_debug_logfile() {
    std::lock_guard<std::recursive_mutex> guard(open_mutex);
    if (debug_logfile.fd >= 0 || debug_logfile_open_failed) {
        return;
    }
    if (debug_logfile_name == nullptr && autoopen_debug_logfile_name != nullptr) {
        bounded_string path("/tmp/");
        path.append(autoopen_debug_logfile_name);
        debug_logfile_name = strdup(path.c_str());
    }
    kest_client_try_open_debug_logfile();
}

void vlog(const char* format, va_list args, bool add_line_feed) {
    if (debug_logfile.fd < 0) {
        if (debug_logfile_open_failed) {
            return;
        }
        autoopen_debug_logfile();
        if (debug_logfile_open_failed || debug_logfile.fd < 0) {
            return;
        }
    }
    char message[message_buffer_size];
    int length = vsnprintf(message, sizeof message - (add_line_feed ? 1 : 0), format, args);
    if (add_line_feed) {
        if (length < 0) {
            length = 0;
        } else if (length > message_buffer_size - 2) {
            length = message_buffer_size - 2;
        }
        message[length] = '\n';
        message[length + 1] = '\0';
    }
    debug_logfile.write(message);
}

}  // namespace

void debug_log_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vlog(format, args, false);
    va_end(args);
}

void debug_log_at(int level, const char* format, ...) {
    if (debug_log_level < level) {
        return;
    }
    va_list args;
    va_start(args, format);
    vlog(format, args, false);
    va_end(args);
}

void debug_log_line(int level, const char* format, ...) {
    if (debug_log_level < level) {
        return;
    }
    va_list args;
    va_start(args, format);
    vlog(format, args, true);
    va_end(args);
}

void debug_log_report(const char* text, int category) {
    if (category == 0) {
        return;
    }
    int level = (category & REPORT_VERBOSE) ? 3 : 1;
    if (debug_log_level < level) {
        return;
    }
    debug_log_printf("%s\n", text);
}

void kest_client_set_autoopen_debug_logfile_name(const char* name) {
    std::lock_guard<std::recursive_mutex> guard(open_mutex);
    if (debug_logfile.fd >= 0) {
        debug_log_report("Error in kest_client_set_autoopen_debug_logfile_name(), logfile already open.",
                         REPORT_MISUSE);
        return;
    }
    free(debug_logfile_name);
    free(autoopen_debug_logfile_name);
    debug_logfile_name = nullptr;
    autoopen_debug_logfile_name = name != nullptr ? strdup(name) : nullptr;
    debug_logfile_open_failed = 0;
}

void kest_client_try_open_debug_logfile() {
    std::lock_guard<std::recursive_mutex> guard(open_mutex);
    if (debug_logfile.fd >= 0) {
        debug_log_report("Error in kest_client_try_open_debug_logfile(), logfile already open.", REPORT_MISUSE);
        return;
    }
    bounded_string report;
    if (debug_logfile_name != nullptr) {
        int fd = open_own_log_file(debug_logfile_name);
        if (fd >= 0) {
            debug_logfile_open_failed = 0;
            debug_logfile.fd = fd;
            report.append("kest_client_try_open_debug_logfile() opened logfile '");
        } else {
            // Set before the report, so that the report's own message is dropped instead of retrying.
            debug_logfile_open_failed = 1;
            report.append("kest_client_try_open_debug_logfile() failed to open logfile '");
        }
        report.append(debug_logfile_name);
        report.append("'");
        debug_log_report(report.c_str(), REPORT_VERBOSE);
        return;
    }
    int fd = dup(1);
    if (fd >= 0) {
        debug_logfile_open_failed = 0;
        debug_logfile.fd = fd;
        debug_log_report("kest_client_try_open_debug_logfile() - using STDOUT.", REPORT_VERBOSE);
    } else {
        debug_logfile_open_failed = 1;
        debug_log_report("kest_client_try_open_debug_logfile() - unable to use STDOUT for log data.",
                         REPORT_VERBOSE);
    }
}

void kest_client_close_debug_logfile() {
    std::lock_guard<std::recursive_mutex> guard(open_mutex);
    int fd = debug_logfile.fd.exchange(-1);
    if (fd >= 0) {
        close(fd);
    }
    free(debug_logfile_name);
    free(autoopen_debug_logfile_name);
    debug_logfile_name = nullptr;
    autoopen_debug_logfile_name = nullptr;
    debug_logfile_open_failed = 0;
}

kest_signal_safe_logfile::~kest_signal_safe_logfile() {
    // Messages of later static destructors are dropped rather than reopening the file.
    debug_logfile_open_failed = 1;
    int descriptor = fd.exchange(-1);
    if (descriptor >= 0) {
        close(descriptor);
    }
}

int kest_signal_safe_logfile::recursion_depth() { return write_depth; }

int kest_signal_safe_logfile::write(const char* text) {
    if (write_depth > recursion_limit) {
        return 0;
    }
    if (write_depth == recursion_limit) {
        ++write_depth;
        debug_log_report("Error in kest_signal_safe_logfile::write(), recursion limiter triggered.",
                         REPORT_FAILURE);
        --write_depth;
        return 0;
    }
    ++write_depth;
    if (text == nullptr) {
        text = "(null)";
    }
    ssize_t written = ::write(fd, text, strlen(text));
    if (written >= 0) {
        write_failure_reported = 0;
        --write_depth;
        return 1;
    }
    if (!write_failure_reported) {
        debug_log_report("Error in kest_signal_safe_logfile::write(), write failed.", REPORT_FAILURE);
        write_failure_reported = 1;
    }
    --write_depth;
    return 0;
}
