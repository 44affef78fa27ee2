#include "support/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "support/debug_log.h"

namespace {

constexpr int max_name_attempts = 100;

std::atomic<unsigned> temporary_serial{0};

void append_directory_of(bounded_string& directory, const char* path) {
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
}

// Makes the rename itself durable. A failure here cannot be mended and does not undo the new content.
void sync_directory_of(const char* path) {
    bounded_string directory;
    append_directory_of(directory, path);
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// The pid in `entry` when it is named like a temporary of the file `base`: "<base>.<pid>-<serial>.new".
pid_t temporary_owner(const char* entry, const char* base) {
    size_t base_length = strlen(base);
    if (strncmp(entry, base, base_length) != 0 || entry[base_length] != '.') {
        return 0;
    }
    const char* p = entry + base_length + 1;
    const char* digits = p;
    long pid = 0;
    while (*p >= '0' && *p <= '9' && p - digits < 10) {
        pid = pid * 10 + (*p++ - '0');
    }
    if (p == digits || *p++ != '-' || *p < '0' || *p > '9') {
        return 0;
    }
    while (*p >= '0' && *p <= '9') {
        ++p;
    }
    return strcmp(p, ".new") == 0 && pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

int kest_remove_stale_temporaries(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        return 0;
    }
    bounded_string directory;
    append_directory_of(directory, path);
    const char* slash = strrchr(path, '/');
    const char* base = slash != nullptr ? slash + 1 : path;
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) {
        return 0;
    }
    int removed = 0;
    for (dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        pid_t owner = temporary_owner(entry->d_name, base);
        // Only ESRCH proves the writer gone: EPERM is a live process of another user.
        if (owner == 0 || kill(owner, 0) == 0 || errno != ESRCH) {
            continue;
        }
        if (unlinkat(dirfd(dir), entry->d_name, 0) == 0) {
            ++removed;
            bounded_string report("kest_remove_stale_temporaries() removed '");
            report.append(directory.c_str());
            report.append("/");
            report.append(entry->d_name);
            report.append("', left by a process that ended before it renamed it");
            debug_log_report(report.c_str(), REPORT_VERBOSE);
        }
    }
    closedir(dir);
    return removed;
}

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
    kest_remove_stale_temporaries(path);
    // The new file keeps the permissions of the one it replaces, as a rewrite in place would.
    struct stat old_file;
    bool keep_mode = lstat(path, &old_file) == 0 && S_ISREG(old_file.st_mode);
    mode_t mode = keep_mode ? old_file.st_mode & 0777 : 0666;
    // Unique per process and call, so that two savers of one file never write into the same temporary;
    // a name left by a crashed process of the same pid is passed over.
    for (int attempt = 0; attempt < max_name_attempts; ++attempt) {
        temporary_.clear();
        temporary_.append_printf("%s.%ld-%u.new", path, static_cast<long>(getpid()), temporary_serial++);
        if (temporary_.is_cut()) {
            errno = ENAMETOOLONG;
            return;
        }
        // Created no more open than the old file, then given its exact mode past the umask.
        int fd = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            temporary_.clear();
            return;
        }
        if (keep_mode) {
            fchmod(fd, mode);  // a failure leaves it less open than the old file, which is no harm
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
