// What the tests of the whole launcher program share: a virtual display, a temporary HOME, the launcher
// built for the update server 127.0.0.1 started as a real process, and what its booted client reported.
// Needs the test sandbox (port 80, a fixed display number, a private /tmp for the log); without it every
// test skips itself.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testing/process.h"
#include "testing/temp_directory.h"
#include "testing/xvfb_display.h"

extern const char launcher_log_path[];     // "/tmp/varnholt_tessar_launcher.txt"
extern const char launcher_window_name[];  // the window's title

inline void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Polls `done` every 50 ms for up to `timeout_ms` (a limit for a loaded machine: it returns as soon as
// `done` holds).
template <typename Done>
bool wait_until(Done done, int timeout_ms = 30000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return done();
        }
        sleep_ms(50);
    }
    return true;
}

// What a boot of the image `name` reports (the boot argv reporter's argument lines).
std::string booted_as(const std::string& name);

// The environment the launcher runs with in tests: its HOME, the display, and the file the booted
// client reports to.
std::vector<std::string> launcher_environment(const std::string& home, const std::string& display,
                                              const std::string& report);

class launcher_program_fixture : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    void start_display(int width, int height);

    // Starts the launcher with HOME at home_ and the booted client reporting to report_path().
    void start_launcher(std::vector<std::string> arguments = {});
    // Another launcher on the same display and HOME, whose client reports to `report`.
    std::unique_ptr<background_process> start_launcher_process(const std::vector<std::string>& arguments,
                                                               const std::string& report);
    process_result wait_for_exit() { return launcher_->wait(); }
    double seconds_since_start() const;

    process_result x_tool(const std::vector<std::string>& argv, double timeout = 10);
    // The id of the launcher's window once it is shown (waiting up to 30 s), or "".
    std::string wait_for_window();
    bool window_shown();
    void press(const std::string& window, const std::string& key);

    // The argument lines of the report of the client booted last; "" when none was booted.
    std::string booted_argv(const std::string& report) const;
    std::string booted_argv() const { return booted_argv(report_path()); }

    std::string config_dir() const { return home_.file(".Varnholt"); }
    std::string executables_dir() const { return home_.file(".Varnholt/executables"); }
    std::string report_path() const { return home_.file("boot-report.txt"); }
    std::string log() const;

    temp_directory home_;
    xvfb_display display_;
    std::unique_ptr<background_process> launcher_;
    std::chrono::steady_clock::time_point started_;
};
