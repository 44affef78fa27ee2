#include "testing/sandbox.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int sandboxed = 0;

int bring_loopback_up() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    ifreq request{};
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    int ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags |= IFF_UP | IFF_RUNNING;
        ok = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    close(fd);
    return ok;
}

// The entry directly below /tmp that holds `path`, e.g. "/tmp/ci" for "/tmp/ci/build/x", or "".
std::string top_below_tmp(const char* path) {
    char resolved[PATH_MAX];
    if (path == nullptr || realpath(path, resolved) == nullptr || strncmp(resolved, "/tmp/", 5) != 0) {
        return "";
    }
    const char* end = strchr(resolved + 5, '/');
    return end != nullptr ? std::string(resolved, static_cast<size_t>(end - resolved)) : std::string(resolved);
}

// A checkout or build tree below /tmp must stay visible under the fresh tmpfs: each such directory is
// opened before the mount and bound back by its descriptor afterwards.
struct kept_directory {
    std::string path;
    int fd;
};

std::vector<kept_directory> open_kept_directories() {
    char cwd[PATH_MAX];
    const char* candidates[] = {"/proc/self/exe", getcwd(cwd, sizeof cwd), VARNHOLT_SOURCE_DIR};
    std::vector<kept_directory> kept;
    for (const char* candidate : candidates) {
        std::string top = top_below_tmp(candidate);
        bool known = top.empty();
        for (const kept_directory& k : kept) {
            known = known || k.path == top;
        }
        if (known) {
            continue;
        }
        int fd = open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            kept.push_back({top, fd});
        }
    }
    return kept;
}

bool bind_kept_directories(const std::vector<kept_directory>& kept) {
    bool ok = true;
    for (const kept_directory& k : kept) {
        std::string source = "/proc/self/fd/" + std::to_string(k.fd);
        ok = ok && mkdir(k.path.c_str(), 0755) == 0 &&
             mount(source.c_str(), k.path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
        close(k.fd);
    }
    return ok;
}

}  // namespace

int enter_test_sandbox() {
    if (geteuid() != 0 || unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        fprintf(stderr, "note: not sandboxed (needs root): tests that need the sandbox are skipped\n");
        return 0;
    }
    std::vector<kept_directory> kept = open_kept_directories();
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=2g") != 0 ||
        !bind_kept_directories(kept) || !bring_loopback_up()) {
        perror("test sandbox");
        return 0;
    }
    sandboxed = 1;
    return 1;
}

int in_test_sandbox() { return sandboxed; }
