#include "app/updater_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

int try_updater_lock(const char* path) {
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return -1;
    }
    if (lockf(fd, F_TLOCK, 0) != 0) {
        int cause = errno;
        close(fd);
        errno = cause;
        return -1;
    }
    return fd;
}

int release_updater_lock(int fd) {
    if (fd < 0) {
        return 0;
    }
    int unlocked = lockf(fd, F_ULOCK, 0) == 0;
    close(fd);
    return unlocked;
}
