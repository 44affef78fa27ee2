#include "app/fault_case.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "app/launcher_program_fixture.h"
#include "testing/process.h"
#include "testing/sandbox.h"
#include "testing/xvfb_display.h"

namespace fault_matrix {

namespace {

constexpr int display_number = 72;

// The line of `text` that holds `wanted`, cut to fit a table cell; "" when none does.
std::string first_matching_line(const std::string& text, const std::string& wanted) {
    size_t at = text.find(wanted);
    if (at == std::string::npos) {
        return "";
    }
    size_t start = text.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    std::string line = text.substr(start, text.find('\n', at) - start);
    // Messages name their function first and what happened last.
    return line.size() <= 80 ? line : "..." + line.substr(line.size() - 77);
}

}  // namespace

case_result run_case(const fault_case& c, const installation& installed) {
    case_result result;
    // The case's own /tmp hides the one that holds the installation: it stays reachable through a
    // descriptor of the old /tmp opened before.
    int old_tmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (old_tmp < 0 || !enter_test_sandbox()) {
        result.observed = "no sandbox for the case";
        return result;
    }
    const std::string old_tmp_path = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(old_tmp);
    auto reachable = [&](const std::string& path) {
        return path.rfind("/tmp/", 0) == 0 ? old_tmp_path + path.substr(4) : path;
    };
    installation base = installed;
    base.home = reachable(installed.home);
    base.oldest_docroot = reachable(installed.oldest_docroot);
    base.old_docroot = reachable(installed.old_docroot);
    base.new_docroot = reachable(installed.new_docroot);
    try {
        fault_world world(base);
        xvfb_display display;
        if (!display.start(display_number, 640, 480)) {
            result.observed = "Xvfb did not start";
            return result;
        }
        if (c.build == launcher_build::signed_updates) {
            world.program = "varnholt-launcher-test-signed";
        } else if (c.build == launcher_build::tls) {
            world.program = "varnholt-launcher-test-tls";
        } else if (c.build == launcher_build::mirrors) {
            world.program = "varnholt-launcher-test-mirrors";
        }
        c.prepare(world);

        std::string report = world.home() + "/boot-report.txt";
        process_options options;
        options.environment = launcher_environment(world.home(), display.display_name(), report);
        options.working_directory = world.home();
        options.timeout_seconds = c.limit_seconds + 30;
        auto started = std::chrono::steady_clock::now();
        process_result launcher = run_process({test_binary_directory() + "/" + world.program}, options);
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

        std::string log = file_exists(launcher_log_path) ? read_file(launcher_log_path) : "";
        std::string booted = file_exists(report) ? read_file(report) : "";
        booted = booted.substr(0, booted.find("cwd="));
        const std::string& expected_image = c.result == outcome::updated ? client_2 : client_1;

        tree_snapshot expected = home_snapshot(base.home);
        if (c.result == outcome::kept_new_file || c.result == outcome::updated) {
            expected[".Varnholt/executables/" + client_2] = base.client_2;
        }
        if (c.result == outcome::updated) {
            expected[".Varnholt/executables/update_manifest.lst"] = base.updated_manifest;
        }
        if (c.result == outcome::updated || c.result == outcome::kept_release_accepted) {
            if (!base.newer_release.empty()) {
                expected[".Varnholt/executables/accepted_release.txt"] = base.newer_release;
            }
        }
        std::string differences = tree_differences(home_snapshot(world.home()), expected);
        std::string evidence = first_matching_line(launcher.out + "\n" + log, c.evidence);

        std::vector<std::string> problems;
        if (launcher.timed_out || launcher.exit_status != 0) {
            problems.push_back(launcher.timed_out ? "still running, killed"
                                                  : "exit status " + std::to_string(launcher.exit_status) +
                                                        " signal " + std::to_string(launcher.signal));
        }
        if (result.seconds > c.limit_seconds) {
            problems.push_back("took longer than " + std::to_string(static_cast<int>(c.limit_seconds)) +
                               " s");
        }
        if (booted != booted_as(expected_image)) {
            problems.push_back(booted.empty() ? "booted nothing"
                                              : "booted " + booted.substr(0, booted.find('\n', 7)));
        }
        if (!differences.empty()) {
            problems.push_back(differences);
        }
        if (evidence.empty()) {
            problems.push_back("no line with \"" + c.evidence + "\"");
        }
        result.passed = problems.empty();
        if (result.passed) {
            result.observed = "booted " + expected_image.substr(expected_image.size() - 4) + ", HOME " +
                              (c.result == outcome::updated                 ? "updated"
                               : c.result == outcome::kept_new_file         ? "intact + unlisted 0002"
                               : c.result == outcome::kept_release_accepted ? "intact, release accepted"
                                                                            : "intact") +
                              "; " + evidence;
        } else {
            for (const std::string& p : problems) {
                result.observed += (result.observed.empty() ? "" : "; ") + p;
            }
            std::cerr << "--- " << c.name << ": console output\n"
                      << launcher.out << launcher.err << "--- log\n"
                      << log << "---\n";
        }
    } catch (const std::exception& e) {
        result.observed = std::string("set-up failed: ") + e.what();
    }
    return result;
}

std::string result_text(const case_result& result) {
    return std::to_string(result.passed ? 1 : 0) + "\n" + std::to_string(result.seconds) + "\n" +
           result.observed;
}

bool parse_result(const std::string& text, case_result& result) {
    std::istringstream in(text);
    int passed = 0;
    if (!(in >> passed >> result.seconds)) {
        return false;
    }
    in.ignore(1);
    std::getline(in, result.observed, '\0');
    result.passed = passed == 1;
    return true;
}

}  // namespace fault_matrix
