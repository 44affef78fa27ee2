#include "support/file_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "support/debug_log.h"

namespace {

const char write_test_file_name[] = "xx-rw-test.qqq";
// As many as the kernel follows while it resolves one path.
constexpr int max_links_followed = 40;

void report_overflow(const char* stored) {
    debug_log_report("Warning in fget_line(), string overflow.  String was:", REPORT_FAILURE);
    debug_log_report(stored, REPORT_FAILURE);
}

bool is_path_separator(char c) { return c == '/' || c == '\\'; }

}  // namespace

int fget_line(FILE* stream, char* dest, int size) {
    int c = fgetc(stream);
    if (c == EOF) {
        return 0;
    }
    if (size < 2) {
        if (size == 1) {
            dest[0] = '\0';
        }
        report_overflow("");
        return 1;
    }
    if (c == '\n' || c == '\0') {
        dest[0] = '\0';
        return 1;
    }
    int i = 0;
    for (;;) {
        if (c != '\r') {
            dest[i++] = static_cast<char>(c);
        }
        c = fgetc(stream);
        if (i == size - 1) {
            dest[i] = '\0';
            report_overflow(dest);
            return i + 1;
        }
        if (c == EOF || c == '\0' || c == '\n') {
            dest[i] = '\0';
            return i + 1;
        }
    }
}

int kest_recursive_mkdir(const char* path, mode_t mode, bounded_string* failed_path) {
    if (path == nullptr) {
        debug_log_report("Error in kest_recursive_mkdir(), NULL path.", REPORT_MISUSE);
        return 0;
    }
    bounded_string working;
    bounded_string component;
    const char* p = path;
    if (is_path_separator(*p)) {
        working.append("/");
        ++p;
    }
    for (; *p != '\0'; ++p) {
        if (!is_path_separator(*p)) {
            component.append_char(*p);
            continue;
        }
        if (component.empty()) {
            continue;
        }
        working.append(component.c_str());
        if (mkdir(working.c_str(), mode) != 0 && errno != EEXIST) {
            if (failed_path != nullptr) {
                failed_path->append(working.c_str());
            }
            return 0;
        }
        working.append("/");
        component.clear();
    }
    return 1;
}

int kest_create_and_check_writeable_directory(const char* path, mode_t, bounded_string* failed_path) {
    if (path == nullptr) {
        debug_log_report("Error in kest_create_and_check_writeable_directory(), NULL path.", REPORT_MISUSE);
        return 0;
    }
    bounded_string test_file;
    if (path[0] != '\0') {
        test_file.append(path);
        test_file.append("/");
        if (!kest_recursive_mkdir(test_file.c_str(), 0700, failed_path)) {
            return 0;
        }
    }
    test_file.append(write_test_file_name);
    FILE* file = fopen(test_file.c_str(), "wb");
    if (file == nullptr) {
        if (failed_path != nullptr) {
            failed_path->append(test_file.c_str());
        }
        return 0;
    }
    fclose(file);
    unlink(test_file.c_str());
    return 1;
}

int kest_resolve_symbolic_links(const char* path, bounded_string& resolved) {
    resolved.set(path);
    for (int links = 0;; ++links) {
        if (resolved.is_cut()) {
            errno = ENAMETOOLONG;
            return 0;
        }
        struct stat status;
        if (lstat(resolved.c_str(), &status) != 0) {
            return errno == ENOENT ? 1 : 0;
        }
        if (!S_ISLNK(status.st_mode)) {
            return 1;
        }
        if (links == max_links_followed) {
            errno = ELOOP;
            return 0;
        }
        char target[PATH_MAX];
        ssize_t length = readlink(resolved.c_str(), target, sizeof target);
        if (length < 0) {
            return 0;
        }
        if (length == static_cast<ssize_t>(sizeof target)) {
            errno = ENAMETOOLONG;
            return 0;
        }
        target[length] = '\0';
        bounded_string next;
        if (target[0] != '/') {
            // Relative to the directory that holds the link.
            const char* slash = strrchr(resolved.c_str(), '/');
            for (const char* p = resolved.c_str(); slash != nullptr && p <= slash; ++p) {
                next.append_char(*p);
            }
        }
        next.append(target);
        resolved.set(next.c_str());
    }
}
