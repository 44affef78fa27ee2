// The jobs' children: every text comes back whole and in job order, a job that dies is told apart, the
// limit on children at once holds, and nothing but the jobs' own children is waited for.
#include "testing/child_jobs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "testing/temp_directory.h"

namespace {

TEST(ChildJobs, EveryTextComesBackWholeInJobOrder) {
    const pid_t parent = getpid();
    // One text far larger than a pipe holds, and an empty one.
    auto text_of = [](size_t i) {
        return i == 2 ? std::string(3 << 20, 'x') : i == 4 ? "" : "job " + std::to_string(i);
    };
    std::vector<child_job_result> results = run_child_jobs(
        7, 3, [&](size_t i) { return getpid() == parent ? std::string("ran in the parent") : text_of(i); });
    ASSERT_EQ(results.size(), 7u);
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_TRUE(results[i].returned) << i;
        EXPECT_TRUE(results[i].text == text_of(i)) << i << ": " << results[i].text.size() << " bytes";
        EXPECT_TRUE(WIFEXITED(results[i].wait_status) && WEXITSTATUS(results[i].wait_status) == 0) << i;
    }
}

TEST(ChildJobs, AJobThatDiesOrThrowsHasNotReturned) {
    std::vector<child_job_result> results = run_child_jobs(3, 3, [](size_t i) -> std::string {
        if (i == 0) {
            abort();
        }
        if (i == 1) {
            throw std::runtime_error("no");
        }
        return "fine";
    });
    ASSERT_EQ(results.size(), 3u);
    EXPECT_FALSE(results[0].returned);
    EXPECT_TRUE(WIFSIGNALED(results[0].wait_status) && WTERMSIG(results[0].wait_status) == SIGABRT);
    EXPECT_FALSE(results[1].returned);
    EXPECT_TRUE(WIFEXITED(results[1].wait_status) && WEXITSTATUS(results[1].wait_status) != 0);
    EXPECT_TRUE(results[2].returned);
    EXPECT_EQ(results[2].text, "fine");
}

// Each job reads the children of the test's process, a list of every child not yet waited for, running
// or not: with one at a time it holds the job alone.
TEST(ChildJobs, OneAtOnceRunsOneAfterTheOther) {
    const std::string children =
        "/proc/" + std::to_string(getpid()) + "/task/" + std::to_string(getpid()) + "/children";
    ASSERT_TRUE(file_exists(children));
    std::vector<child_job_result> results = run_child_jobs(4, 1, [&](size_t) {
        std::string found = read_file(children);
        return found == std::to_string(getpid()) + " "
                   ? ""
                   : "children " + found + "beside " + std::to_string(getpid());
    });
    for (const child_job_result& r : results) {
        EXPECT_TRUE(r.returned);
        EXPECT_EQ(r.text, "");
    }
}

// Another child of the test that has ended must stay there for its owner to wait for; and a grandchild
// that keeps a job's pipe open must not keep the jobs from ending.
TEST(ChildJobs, WaitsForItsOwnChildrenOnly) {
    pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        _exit(7);
    }
    siginfo_t ended{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(other), &ended, WEXITED | WNOWAIT), 0);
    int release[2];
    ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
    std::vector<child_job_result> results = run_child_jobs(2, 2, [&](size_t i) {
        if (i == 1 && fork() == 0) {
            // Holds the job's pipe (inherited, no exec) until the test releases it.
            close(release[1]);
            char c;
            _exit(read(release[0], &c, 1) == 0 ? 0 : 1);
        }
        return "job " + std::to_string(i);
    });
    close(release[1]);
    close(release[0]);
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_TRUE(results[i].returned);
        EXPECT_EQ(results[i].text, "job " + std::to_string(i));
    }
    int status = 0;
    ASSERT_EQ(waitpid(other, &status, 0), other);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
}

}  // namespace
