#include "app/launcher_program_fixture.h"

#include <unistd.h>

#include "testing/sandbox.h"

const char launcher_log_path[] = "/tmp/varnholt_tessar_launcher.txt";
const char launcher_window_name[] = "Varnholt Launcher";

namespace {

constexpr int display_number = 72;

}  // namespace

void launcher_program_fixture::SetUp() {
    if (!in_test_sandbox()) {
        GTEST_SKIP() << "needs the test sandbox for port 80 and display :" << display_number;
    }
    unlink(launcher_log_path);
}

void launcher_program_fixture::TearDown() {
    // Without its display a launcher that is still running ends at once.
    display_.stop();
    launcher_.reset();
    unlink(launcher_log_path);
}

void launcher_program_fixture::start_display(int width, int height) {
    ASSERT_TRUE(display_.start(display_number, width, height, 24));
}

void launcher_program_fixture::start_launcher(std::vector<std::string> arguments) {
    started_ = std::chrono::steady_clock::now();
    launcher_ = start_launcher_process(arguments, report_path());
}

std::unique_ptr<background_process> launcher_program_fixture::start_launcher_process(
    const std::vector<std::string>& arguments, const std::string& report) {
    std::vector<std::string> argv{test_binary_directory() + "/varnholt-launcher-test-host"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    process_options options;
    options.environment = launcher_environment(home_.path(), display_.display_name(), report);
    options.working_directory = home_.path();
    options.timeout_seconds = 40;
    return std::make_unique<background_process>(argv, options);
}

double launcher_program_fixture::seconds_since_start() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

process_result launcher_program_fixture::x_tool(const std::vector<std::string>& argv, double timeout) {
    process_options options;
    options.environment = {"DISPLAY=" + display_.display_name()};
    options.timeout_seconds = timeout;
    return run_process(argv, options);
}

std::string launcher_program_fixture::wait_for_window() {
    process_result found = x_tool({"/usr/bin/xdotool", "search", "--sync", "--onlyvisible", "--name",
                                   std::string("^") + launcher_window_name + "$"},
                                  30);
    return found.exit_status == 0 ? found.out.substr(0, found.out.find('\n')) : "";
}

bool launcher_program_fixture::window_shown() {
    return x_tool({"/usr/bin/xdotool", "search", "--onlyvisible", "--name",
                   std::string("^") + launcher_window_name + "$"})
               .exit_status == 0;
}

void launcher_program_fixture::press(const std::string& window, const std::string& key) {
    EXPECT_EQ(x_tool({"/usr/bin/xdotool", "windowfocus", "--sync", window}).exit_status, 0);
    EXPECT_EQ(x_tool({"/usr/bin/xdotool", "key", key}).exit_status, 0) << key;
}

std::string launcher_program_fixture::booted_argv(const std::string& report) const {
    std::string text = file_exists(report) ? read_file(report) : "";
    return text.substr(0, text.find("cwd="));
}

std::vector<std::string> launcher_environment(const std::string& home, const std::string& display,
                                              const std::string& report) {
    return {"HOME=" + home,     "DISPLAY=" + display, "GDK_BACKEND=x11",
            "NO_AT_BRIDGE=1",   "LC_ALL=C.UTF-8",     "BOOT_ARGV_REPORT=" + report};
}

std::string booted_as(const std::string& name) {
    return "argc=3\nargv[0]=" + name + "\nargv[1]=-l\nargv[2]=1.095-gtk-rc5\n";
}

std::string launcher_program_fixture::log() const {
    return file_exists(launcher_log_path) ? read_file(launcher_log_path) : "";
}
