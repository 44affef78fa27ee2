// A stand-in game client for scripts/demo: says which version was started and with which arguments, on
// standard output and appended to the file named by VARNHOLT_DEMO_CLIENT_REPORT (when set), then ends.
//
// Like a real client that has come up properly, it empties the launcher's crash-detect file
// (<config>/bootname.txt beside its executables directory); otherwise the launcher would count this
// start as a failed boot and skip this image next time while an older one is installed.
//
// It also checks that it did not inherit the launcher's lock file (executables/lock.tmp): a client that
// held it would keep every later launcher from updating while the game runs. If it did, it says so on
// standard error and ends with status 1.
#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef VARNHOLT_DEMO_CLIENT_VERSION
#error "VARNHOLT_DEMO_CLIENT_VERSION names the version this build reports"
#endif

namespace {

// <config>/bootname.txt when this program runs from <config>/executables, else "".
std::string crash_detect_file() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return "";
    }
    std::string program(path, static_cast<size_t>(n));
    const std::string executables = "/executables/";
    size_t slash = program.rfind('/');
    if (slash == std::string::npos || slash + 1 < executables.size() ||
        program.compare(slash + 1 - executables.size(), executables.size(), executables) != 0) {
        return "";
    }
    return program.substr(0, slash + 1 - executables.size()) + "/bootname.txt";
}

// The number of an open descriptor of a file named lock.tmp, or -1.
int inherited_lock_descriptor() {
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) {
        return -1;
    }
    int found = -1;
    for (dirent* entry = readdir(fds); entry != nullptr && found < 0; entry = readdir(fds)) {
        char target[PATH_MAX];
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (entry->d_name[0] == '.' || n <= 0) {
            continue;
        }
        std::string path(target, static_cast<size_t>(n));
        std::string name = path.substr(path.rfind('/') + 1);
        if (name == "lock.tmp" || name == "lock.tmp (deleted)") {
            found = atoi(entry->d_name);
        }
    }
    closedir(fds);
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    std::string line = "Varnholt client " VARNHOLT_DEMO_CLIENT_VERSION " started with arguments:";
    for (int i = 1; i < argc; ++i) {
        line += " ";
        line += argv[i];
    }
    line += "\n";
    fputs(line.c_str(), stdout);
    fflush(stdout);

    int status = 0;
    int lock = inherited_lock_descriptor();
    if (lock >= 0) {
        fprintf(stderr, "Varnholt client: inherited the launcher's lock file as descriptor %d\n", lock);
        status = 1;
    }
    if (const char* report_path = getenv("VARNHOLT_DEMO_CLIENT_REPORT")) {
        FILE* report = fopen(report_path, "a");
        if (report == nullptr || fputs(line.c_str(), report) < 0) {
            perror(report_path);
            status = 1;
        }
        if (report != nullptr && fclose(report) != 0) {
            perror(report_path);
            status = 1;
        }
    }

    std::string crash_file = crash_detect_file();
    if (!crash_file.empty() && access(crash_file.c_str(), F_OK) == 0 &&
        truncate(crash_file.c_str(), 0) != 0) {
        perror(crash_file.c_str());
        status = 1;
    }
    return status;
}
