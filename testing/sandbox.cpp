#include "testing/sandbox.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

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

}  // namespace

int enter_test_sandbox() {
    if (geteuid() != 0 || unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        fprintf(stderr, "note: not sandboxed (needs root): tests that need the sandbox are skipped\n");
        return 0;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=2g") != 0 ||
        !bring_loopback_up()) {
        perror("test sandbox");
        return 0;
    }
    sandboxed = 1;
    return 1;
}

int in_test_sandbox() { return sandboxed; }
