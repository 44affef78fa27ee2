#include "support/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

constexpr int max_name_attempts = 100;

std::atomic<unsigned> temporary_serial{0};

// Makes the rename itself durable. A failure here cannot be mended and does not undo the new content.
void sync_directory_of(const char* path) {
    bounded_string directory;
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        directory.append(".");
    } else if (slash == path) {
        directory.append("/");
    } else {
        for (const char* p = path; p < slash; ++p) {
            directory.append_char(*p);
        }
    }
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

}  // namespace

kest_atomic_file::kest_atomic_file(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        errno = EINVAL;
        return;
    }
    target_.append(path);
    if (target_.is_cut()) {
        errno = ENAMETOOLONG;
        return;
    }
    // Unique per process and call, so that two savers of one file never write into the same temporary;
    // a name left by a crashed process of the same pid is passed over.
    for (int attempt = 0; attempt < max_name_attempts; ++attempt) {
        temporary_.clear();
        temporary_.append_printf("%s.%ld-%u.new", path, static_cast<long>(getpid()), temporary_serial++);
        if (temporary_.is_cut()) {
            errno = ENAMETOOLONG;
            return;
        }
        int fd = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            temporary_.clear();
            return;
        }
        file_ = fdopen(fd, "wb");
        if (file_ == nullptr) {
            int cause = errno;
            close(fd);
            unlink(temporary_.c_str());
            temporary_.clear();
            errno = cause;
        }
        return;
    }
    temporary_.clear();
}

kest_atomic_file::~kest_atomic_file() {
    discard();
}

int kest_atomic_file::commit() {
    if (file_ == nullptr) {
        errno = EBADF;
        return 0;
    }
    errno = 0;
    int failure = 0;
    if (fflush(file_) != 0 || ferror(file_)) {
        failure = errno != 0 ? errno : EIO;  // without errno the error flag is from an earlier write
    }
    if (failure == 0 && fsync(fileno(file_)) != 0) {
        failure = errno;
    }
    if (fclose(file_) != 0 && failure == 0) {
        failure = errno;
    }
    file_ = nullptr;
    if (failure == 0 && rename(temporary_.c_str(), target_.c_str()) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        unlink(temporary_.c_str());
        temporary_.clear();
        errno = failure;
        return 0;
    }
    temporary_.clear();
    sync_directory_of(target_.c_str());
    return 1;
}

void kest_atomic_file::discard() {
    if (file_ == nullptr) {
        return;
    }
    int cause = errno;
    fclose(file_);
    file_ = nullptr;
    unlink(temporary_.c_str());
    temporary_.clear();
    errno = cause;
}
