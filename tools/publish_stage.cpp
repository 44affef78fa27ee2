#include "tools/publish_stage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "support/file_system.h"
#include "support/sha256_hasher.h"
#include "tools/publish_descriptor.h"
#include "tools/publish_report.h"

namespace {

constexpr size_t copy_block_size = 65536;
constexpr int max_name_attempts = 100;

std::atomic<unsigned> temporary_serial{0};

int write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return 0;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return 1;
}

// A short name in the target's own directory: it cannot exceed the length limit of a file name, and
// the rename never crosses a file system.
int create_temporary(const std::string& target, std::string& temporary) {
    std::string directory = target.substr(0, target.rfind('/'));
    for (int attempt = 0; attempt < max_name_attempts; ++attempt) {
        temporary = directory + "/.varnholt-publish-" + std::to_string(getpid()) + "-" +
                    std::to_string(temporary_serial++) + ".tmp";
        int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) {
            if (fd < 0) {
                temporary.clear();
            }
            return fd;
        }
    }
    temporary.clear();
    return -1;
}

}  // namespace

staged_copy::~staged_copy() {
    if (!temporary_.empty()) {
        unlink(temporary_.c_str());
    }
}

int staged_copy::stage(const std::string& source_dir, const std::string& target_dir,
                       const std::string& name) {
    name_ = name;
    target_ = target_dir + "/" + name;
    std::string source = source_dir + "/" + name;
    std::string shown_target = target_dir + "/" + printable_name(name);
    std::string shown_source = source_dir + "/" + printable_name(name);

    bounded_string failed;
    if (!kest_recursive_mkdir(target_.c_str(), 0755, &failed)) {
        publish_report("cannot create directory '%s': %s", failed.c_str(), strerror(errno));
        return 0;
    }
    struct stat status;
    if (lstat(target_.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        publish_report("cannot replace directory '%s' with a file", shown_target.c_str());
        return 0;
    }
    owned_descriptor in(open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (in.fd < 0 || fstat(in.fd, &status) != 0) {
        publish_report("cannot read '%s': %s", shown_source.c_str(), strerror(errno));
        return 0;
    }
    if (!S_ISREG(status.st_mode) || status.st_size > INT32_MAX) {
        publish_report("cannot publish '%s': it changed since the source was read", shown_source.c_str());
        return 0;
    }
    owned_descriptor out(create_temporary(target_, temporary_));
    if (out.fd < 0) {
        publish_report("cannot write '%s': %s", shown_target.c_str(), strerror(errno));
        return 0;
    }
    if (!copy(in.fd, out.fd, status.st_size, shown_source, shown_target)) {
        return 0;
    }
    int failure = fsync(out.fd) != 0 ? errno : 0;
    if (close(out.fd) != 0 && failure == 0) {
        failure = errno;
    }
    out.fd = -1;
    if (failure != 0) {
        publish_report("cannot write '%s': %s", shown_target.c_str(), strerror(failure));
        return 0;
    }
    return 1;
}

int staged_copy::copy(int in, int out, int64_t expected_size, const std::string& source,
                      const std::string& target) {
    sha256_hasher hasher;
    static char block[copy_block_size];
    int64_t copied = 0;
    for (;;) {
        ssize_t got = read(in, block, sizeof block);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            publish_report("cannot read '%s': %s", source.c_str(), strerror(errno));
            return 0;
        }
        if (got == 0) {
            break;
        }
        copied += got;
        if (copied > expected_size) {
            break;  // growing: a build is still writing it
        }
        hasher.update(block, static_cast<size_t>(got));
        if (!write_all(out, block, static_cast<size_t>(got))) {
            publish_report("cannot write '%s': %s", target.c_str(), strerror(errno));
            return 0;
        }
    }
    if (copied != expected_size) {
        publish_report("cannot publish '%s': it changed while it was copied", source.c_str());
        return 0;
    }
    char hex[sha256_hex_length + 1];
    if (!hasher.finish_hex(hex)) {
        publish_report("cannot hash '%s': the SHA-256 digest failed", source.c_str());
        return 0;
    }
    hash_ = hex;
    size_ = static_cast<int32_t>(copied);
    return 1;
}

int staged_copy::commit() {
    if (rename(temporary_.c_str(), target_.c_str()) != 0) {
        publish_report("cannot replace '%s': %s", printable_name(target_).c_str(), strerror(errno));
        return 0;
    }
    temporary_.clear();
    return 1;
}
