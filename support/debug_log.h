// The process-wide debug log: leveled printf-style messages, each written with one unbuffered write()
// to a file that is opened on the first message (or to standard output when no file name was ever set).
// Safe to use from several threads: every message is one write(), the open state is atomic and the
// recursion limiter is per thread.
#pragma once

#include <atomic>

// Report categories of debug_log_report(). Only REPORT_VERBOSE changes anything: it counts as level 3.
enum : int {
    REPORT_RESOURCE = 0x001,
    REPORT_FAILURE = 0x002,
    REPORT_MISUSE = 0x004,
    REPORT_CONSISTENCY = 0x008,
    REPORT_SEVERE = 0x010,
    REPORT_SUSPECT_DATA = 0x020,
    REPORT_BAD_INPUT = 0x040,
    REPORT_CONNECTION = 0x080,
    REPORT_VERBOSE = 0x100,
};

// A message logged at level N is written only when this is at least N. Nothing in the launcher changes it.
extern int debug_log_level;

// Formats one message into a 10240-byte buffer (cut to fit) and writes it. Does not test the level.
void debug_log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// debug_log_printf() when `level` <= debug_log_level.
void debug_log_at(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The same for a message quoted without its own line end: the line feed is added in the same write().
void debug_log_line(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes `text` and a line feed: never for category 0, at level 3 for REPORT_VERBOSE, else at level 1.
void debug_log_report(const char* text, int category);

// The log opens "/tmp/" + name on its first message. Refused (and reported) while the log is open;
// clears a failed open, so that the next message tries again. A null name means standard output.
void kest_client_set_autoopen_debug_logfile_name(const char* name);

// Opens the log now: the file name if one is set, else a duplicate of standard output.
void kest_client_try_open_debug_logfile();

// Closes the log and forgets its names and its failed state; the next message starts afresh.
void kest_client_close_debug_logfile();

class kest_signal_safe_logfile {
public:
    kest_signal_safe_logfile() = default;
    ~kest_signal_safe_logfile();
    kest_signal_safe_logfile(const kest_signal_safe_logfile&) = delete;
    kest_signal_safe_logfile& operator=(const kest_signal_safe_logfile&) = delete;

    // One write() of `text` ("(null)" for null); 1 when it did not fail. A failure is reported once
    // through the log itself until a write succeeds; nested reports stop at depth 25.
    int write(const char* text);

    // Write calls in progress on the calling thread (nested through error reports).
    static int recursion_depth();

    std::atomic<int> fd{-1};
};

extern kest_signal_safe_logfile debug_logfile;
