// A file descriptor closed on every way out of the scope that owns it.
#pragma once

#include <unistd.h>

struct owned_descriptor {
    explicit owned_descriptor(int value = -1) : fd(value) {}
    ~owned_descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
    owned_descriptor(const owned_descriptor&) = delete;
    owned_descriptor& operator=(const owned_descriptor&) = delete;

    int fd;
};
