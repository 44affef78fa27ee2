// Child processes for tests: run a real program, capture its output and its exit status.
#pragma once

#include <string>
#include <thread>
#include <vector>

struct process_options {
    std::vector<std::string> environment;  // NAME=value entries set (or, as NAME alone, removed) in the child
    std::string working_directory;         // empty: the test's own
    std::string standard_input;            // written to the child's standard input, then closed
    double timeout_seconds = 60;           // the child is killed (SIGKILL) after this long
};

struct process_result {
    int exit_status = -1;  // the status passed to exit(), or -1 when the child did not exit normally
    int signal = 0;        // the signal that ended it, or 0
    bool timed_out = false;
    std::string out;  // standard output
    std::string err;  // standard error
};

process_result run_process(const std::vector<std::string>& argv, const process_options& options = {});

// The directory of the running test binary, where the build puts the programs tests run.
std::string test_binary_directory();

// run_process() on a thread of its own, so that a test can watch or act on the process meanwhile.
class background_process {
  public:
    background_process(std::vector<std::string> argv, process_options options)
        : thread_([this, argv, options] { result_ = run_process(argv, options); }) {}
    ~background_process() { wait(); }
    background_process(const background_process&) = delete;
    background_process& operator=(const background_process&) = delete;

    // Waits for the process to end (or for its time-out) and returns its result; later calls return it again.
    process_result wait() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return result_;
    }

  private:
    process_result result_;
    std::thread thread_;
};
