// A stand-in client image for tests: writes what it was started with to the file named by
// BOOT_ARGV_REPORT, one "name=value" line each: argc, every argv[i], the working directory and, for
// the descriptor named by BOOT_ARGV_CHECK_FD, whether it was inherited open.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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
    if (const char* fd = getenv("BOOT_ARGV_CHECK_FD")) {
        fprintf(report, "fd_open=%d\n", fcntl(atoi(fd), F_GETFD) != -1 ? 1 : 0);
    }
    return fclose(report) == 0 ? 0 : 4;
}
