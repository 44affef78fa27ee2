#include "updater/accepted_release.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "support/atomic_file.h"
#include "support/debug_log.h"

const char accepted_release_file_name[] = "accepted_release.txt";

int64_t read_accepted_release(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        if (errno != ENOENT) {
            debug_log_line(1, "Warning in read_accepted_release(), unable to read '%s': %s.", path,
                           strerror(errno));
        }
        return 0;
    }
    char text[32] = {};
    size_t n = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    long long release = 0;
    int used = 0;
    if (n == 0 || n == sizeof text - 1 || text[n - 1] != '\n' ||
        sscanf(text, "%18lld%n", &release, &used) != 1 || static_cast<size_t>(used) != n - 1 ||
        text[0] < '0' || text[0] > '9') {
        debug_log_line(1, "Warning in read_accepted_release(), '%s' is damaged, ignoring it.", path);
        return 0;
    }
    return static_cast<int64_t>(release);
}

int save_accepted_release(const char* path, int64_t release) {
    kest_atomic_file file(path);
    if (file.stream() == nullptr || fprintf(file.stream(), "%lld\n", static_cast<long long>(release)) < 0 ||
        !file.commit()) {
        debug_log_line(1, "Error in save_accepted_release(), unable to save '%s': %s.", path,
                       strerror(errno));
        return 0;
    }
    return 1;
}
