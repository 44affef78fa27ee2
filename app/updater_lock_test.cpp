#include "app/updater_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "testing/temp_directory.h"

namespace {

// Tries the lock from a separate process: lockf locks are per process, so only another process sees
// them held. Exit status 0 when it got the lock, 1 with EACCES/EAGAIN, 2 otherwise.
int try_from_another_process(const std::string& path) {
    pid_t child = fork();
    if (child == 0) {
        int fd = try_updater_lock(path.c_str());
        _exit(fd >= 0 ? 0 : (errno == EACCES || errno == EAGAIN) ? 1 : 2);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(UpdaterLock, HeldLockIsRefusedElsewhereUntilReleased) {
    temp_directory dir;
    std::string path = dir.file("lock.tmp");
    int fd = try_updater_lock(path.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(try_from_another_process(path), 1);
    EXPECT_EQ(release_updater_lock(fd), 1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed
    EXPECT_EQ(try_from_another_process(path), 0);
}

TEST(UpdaterLock, FailuresAndNegativeDescriptor) {
    temp_directory dir;
    EXPECT_EQ(try_updater_lock(dir.file("missing/lock.tmp").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(release_updater_lock(-1), 0);
}
