#include "testing/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

void apply_environment(const std::vector<std::string>& environment) {
    for (const std::string& entry : environment) {
        size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            unsetenv(entry.c_str());
        } else {
            setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
        }
    }
}

}  // namespace

process_result run_process(const std::vector<std::string>& argv, const process_options& options) {
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 || pipe2(in_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        setpgid(0, 0);
        apply_environment(options.environment);
        if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0) {
            _exit(126);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);

    process_result result;
    size_t input_written = 0;
    int input_fd = in_pipe[1];
    if (options.standard_input.empty()) {
        close(input_fd);
        input_fd = -1;
    } else {
        fcntl(input_fd, F_SETFL, O_NONBLOCK);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.timeout_seconds);
    int open_outputs = 2;
    while (open_outputs > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(-pid, SIGKILL);
            break;
        }
        pollfd fds[3] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}, {input_fd, POLLOUT, 0}};
        int wait_ms = left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
        if (poll(fds, input_fd >= 0 ? 3 : 2, wait_ms) < 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
            char buffer[65536];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                (i == 0 ? out_pipe[0] : err_pipe[0]) = -1;
                --open_outputs;
            }
        }
        if (input_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(input_fd, options.standard_input.data() + input_written,
                              options.standard_input.size() - input_written);
            if (n > 0) {
                input_written += static_cast<size_t>(n);
            }
            if (n < 0 || input_written == options.standard_input.size()) {
                close(input_fd);
                input_fd = -1;
            }
        }
    }
    for (int fd : {out_pipe[0], err_pipe[0], input_fd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

std::string test_binary_directory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    path[n] = '\0';
    std::string full(path);
    return full.substr(0, full.rfind('/'));
}
