// A stand-in client image for tests: writes what it was started with to the file named by
// BOOT_ARGV_REPORT, one "name=value" line each: argc, every argv[i], the working directory, how many of
// its descriptors name the launcher's lock file (inherited, the client would hold the updater lock for
// as long as it runs) and, for the descriptor named by BOOT_ARGV_CHECK_FD, whether it was inherited open.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int lock_file_descriptors() {
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) {
        return -1;
    }
    int count = 0;
    for (dirent* entry = readdir(fds); entry != nullptr; entry = readdir(fds)) {
        char link[300];
        char target[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%s", entry->d_name);
        ssize_t length = readlink(link, target, sizeof target - 1);
        if (entry->d_name[0] == '.' || length <= 0) {
            continue;
        }
        target[length] = '\0';
        const char* slash = strrchr(target, '/');
        const char* name = slash != nullptr ? slash + 1 : target;
        count += strcmp(name, "lock.tmp") == 0 || strcmp(name, "lock.tmp (deleted)") == 0;
    }
    closedir(fds);
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    const char* report_path = getenv("BOOT_ARGV_REPORT");
    if (report_path == nullptr) {
        return 2;
    }
    FILE* report = fopen(report_path, "w");
    if (report == nullptr) {
        return 3;
    }
    fprintf(report, "argc=%d\n", argc);
    for (int i = 0; i < argc; ++i) {
        fprintf(report, "argv[%d]=%s\n", i, argv[i]);
    }
    char directory[4096];
    fprintf(report, "cwd=%s\n", getcwd(directory, sizeof directory) != nullptr ? directory : "?");
    fprintf(report, "lock_tmp_descriptors=%d\n", lock_file_descriptors());
    if (const char* fd = getenv("BOOT_ARGV_CHECK_FD")) {
        fprintf(report, "fd_open=%d\n", fcntl(atoi(fd), F_GETFD) != -1 ? 1 : 0);
    }
    return fclose(report) == 0 ? 0 : 4;
}
