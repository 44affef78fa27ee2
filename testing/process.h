// Child processes for tests: run a real program, capture its output and its exit status.
#pragma once

#include <string>
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
