#include "testing/child_jobs.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

struct running_job {
    size_t index;
    pid_t pid;
    int exited_fd;  // a pidfd: readable once the child has ended
    int text_fd;    // the read end of the pipe the child writes its text to
};

bool write_all(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Appends what can be read now; false at the end of the text (or an error).
bool read_available(int fd, std::string& text) {
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n < 0 && errno == EAGAIN;
        }
    }
}

// Forks the child for job `index`; false, with the reason printed, when it cannot be started.
bool start_job(size_t index, const std::function<std::string(size_t)>& job, running_job& started) {
    int text_pipe[2];
    if (pipe2(text_pipe, O_CLOEXEC) != 0) {
        fprintf(stderr, "run_child_jobs: pipe2: %s\n", strerror(errno));
        return false;
    }
    fflush(nullptr);  // or the child would write out what the parent had buffered as well
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "run_child_jobs: fork: %s\n", strerror(errno));
        close(text_pipe[0]);
        close(text_pipe[1]);
        return false;
    }
    if (pid == 0) {
        close(text_pipe[0]);
        bool whole = false;
        try {
            whole = write_all(text_pipe[1], job(index));
        } catch (...) {
        }
        fflush(nullptr);
        _exit(whole ? 0 : 1);
    }
    close(text_pipe[1]);
    fcntl(text_pipe[0], F_SETFL, O_NONBLOCK);
    int exited_fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (exited_fd < 0) {
        fprintf(stderr, "run_child_jobs: pidfd_open: %s; waiting for the end of the text instead\n",
                strerror(errno));
    }
    started = {index, pid, exited_fd, text_pipe[0]};
    return true;
}

}  // namespace

std::vector<child_job_result> run_child_jobs(size_t count, size_t at_once,
                                             const std::function<std::string(size_t)>& job) {
    std::vector<child_job_result> results(count);
    std::vector<running_job> running;
    size_t next = 0;
    while (next < count || !running.empty()) {
        if (next < count && running.size() < at_once) {
            running_job started;
            if (start_job(next, job, started)) {
                running.push_back(started);
            }
            ++next;
            continue;
        }
        std::vector<pollfd> fds;
        for (const running_job& r : running) {
            fds.push_back({r.text_fd, POLLIN, 0});  // poll() passes over a negative descriptor
            fds.push_back({r.exited_fd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Not to spin on a poll() that keeps failing: go through every child as if it had ended.
            fprintf(stderr, "run_child_jobs: poll: %s\n", strerror(errno));
            for (pollfd& f : fds) {
                f.revents = POLLIN;
            }
        }
        for (size_t i = running.size(); i-- > 0;) {
            running_job& r = running[i];
            child_job_result& result = results[r.index];
            if (r.text_fd >= 0 && fds[2 * i].revents != 0 && !read_available(r.text_fd, result.text)) {
                close(r.text_fd);
                r.text_fd = -1;
            }
            bool ended = r.exited_fd >= 0 ? fds[2 * i + 1].revents != 0 : r.text_fd < 0;
            if (!ended) {
                continue;
            }
            int status = 0;
            while (waitpid(r.pid, &status, 0) < 0 && errno == EINTR) {
            }
            // Everything the child wrote is in the pipe now: read it without waiting for the pipe's end,
            // which a grandchild that inherited the write end may hold open.
            if (r.text_fd >= 0) {
                read_available(r.text_fd, result.text);
                close(r.text_fd);
            }
            if (r.exited_fd >= 0) {
                close(r.exited_fd);
            }
            result.wait_status = status;
            result.returned = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    return results;
}
