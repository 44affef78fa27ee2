// Jobs run each in a forked child process of its own, several at a time: for tests whose cases change
// their process's world (namespaces, mounts) or may crash it. Each job hands a text back to the parent.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

struct child_job_result {
    bool returned = false;  // the job returned in its child and its whole text arrived
    std::string text;       // what the job returned
    int wait_status = -1;   // the child's status from waitpid(); -1 when no child could be started
};

// Runs job(0) ... job(count - 1), each in a child forked for it, at most `at_once` at a time, and returns
// their results by job index. The parent reads each text while its child runs, so a text may be of any
// size, and it waits for its own children only. A job that throws has not returned. Test assertions
// in a job count nowhere (the child's test results are its own): a job reports what went wrong in its
// text.
std::vector<child_job_result> run_child_jobs(size_t count, size_t at_once,
                                             const std::function<std::string(size_t)>& job);
