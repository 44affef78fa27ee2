// Points the debug log at a fresh file in the (private) /tmp for the life of the object.
#pragma once

#include <unistd.h>

#include <atomic>
#include <string>

#include "support/debug_log.h"
#include "testing/temp_directory.h"

class log_capture {
public:
    explicit log_capture(int level = 1) : saved_level_(debug_log_level) {
        static std::atomic<int> serial{0};
        name_ = "log-capture-" + std::to_string(getpid()) + "-" + std::to_string(serial++) + ".txt";
        kest_client_close_debug_logfile();
        kest_client_set_autoopen_debug_logfile_name(name_.c_str());
        debug_log_level = level;
    }
    ~log_capture() {
        kest_client_close_debug_logfile();
        ::unlink(path().c_str());
        debug_log_level = saved_level_;
    }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    std::string path() const { return "/tmp/" + name_; }
    std::string text() const { return read_file(path()); }

private:
    std::string name_;
    int saved_level_;
};
