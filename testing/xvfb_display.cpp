#include "testing/xvfb_display.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "testing/process.h"
#include "testing/temp_directory.h"

namespace {

constexpr const char* xvfb_program = "/usr/bin/Xvfb";
constexpr const char* xwd_program = "/usr/bin/xwd";

constexpr const char* keymap_directory = "/var/lib/xkb";
constexpr int start_attempts = 3;
// How long a start may take on a loaded machine; a server that is ready answers at once.
constexpr int ready_limit_seconds = 30;

std::string log_path(int display) {
    return "/tmp/xvfb-" + std::to_string(display) + ".log";
}

// An X server compiles its keymap into <keymap directory>/server-<display>.xkm and reads it back. That
// directory belongs to the whole machine, whatever mount namespace a test is in, so two servers of one
// display number starting at once (the cases of the fault matrix, or tests of two binaries) read each
// other's half-written file and end with "Failed to compile keymap". Run in the child before exec: the
// server gets an empty directory of its own there. Without one it would fall back to /tmp, which the test
// sandbox makes private, so a failure is only noted in the server's log.
void use_private_keymap_directory() {
    struct stat status;
    if (stat(keymap_directory, &status) != 0 || !S_ISDIR(status.st_mode)) {
        return;
    }
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", keymap_directory, "tmpfs", MS_NOSUID | MS_NODEV, "size=4m,mode=0755") != 0) {
        dprintf(2, "note: %s is shared with other X servers: %s\n", keymap_directory, strerror(errno));
    }
}

uint32_t big_endian_32(const std::string& data, size_t offset) {
    auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(data[offset + i])); };
    return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

// The channel `mask` selects from `value`, scaled to 0..255.
int channel(uint32_t value, uint32_t mask) {
    if (mask == 0) {
        return 0;
    }
    int shift = 0;
    while (!(mask >> shift & 1)) {
        ++shift;
    }
    uint32_t maximum = mask >> shift;
    return static_cast<int>(((value & mask) >> shift) * 255 / maximum);
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const screen_pixel& pixel) {
    return out << "(" << pixel.red << ", " << pixel.green << ", " << pixel.blue << ")";
}

screen_pixel screen_image::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) {
        return {-1, -1, -1};
    }
    const unsigned char* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
    return {p[0], p[1], p[2]};
}

xvfb_display::~xvfb_display() {
    stop();
}

bool xvfb_display::start(int display, int width, int height, int depth) {
    stop();
    std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
    // A server that fails to start says why in its log; the reason is shown and the start tried again,
    // so that one bad start does not fail a test that is not about the display.
    for (int attempt = 1; attempt <= start_attempts; ++attempt) {
        std::string failure;
        if (launch(display, screen, &failure)) {
            return true;
        }
        fprintf(stderr, "Xvfb :%d did not start (attempt %d of %d):\n%s\n", display, attempt, start_attempts,
                failure.c_str());
    }
    return false;
}

bool xvfb_display::launch(int display, const std::string& screen, std::string* failure) {
    // Xvfb writes its display number to this pipe once it accepts connections.
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        *failure = std::string("pipe: ") + strerror(errno);
        return false;
    }
    std::string name = ":" + std::to_string(display);
    std::string log = log_path(display);
    // -noreset: by default the server resets when its last client disconnects, and a client that
    // connects meanwhile (the next launcher of a test, an xdotool right after another) is refused.
    const char* argv[] = {xvfb_program, name.c_str(), "-screen",    "0", screen.c_str(), "-nolisten",
                          "tcp",        "-noreset",   "-displayfd", "3", nullptr};
    pid_t pid = fork();
    if (pid < 0) {
        *failure = std::string("fork: ") + strerror(errno);
        close(ready[0]);
        close(ready[1]);
        return false;
    }
    if (pid == 0) {
        // Not left behind by a test that crashes.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log_fd >= 0) {
            dup2(log_fd, 1);
            dup2(log_fd, 2);
        }
        use_private_keymap_directory();
        dup2(ready[1], 3);  // dup2 clears close-on-exec
        execv(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    close(ready[1]);
    pid_ = pid;
    display_ = display;

    std::string answer;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(ready_limit_seconds);
    while (answer.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd fd{ready[0], POLLIN, 0};
        int polled = poll(&fd, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        char buffer[32];
        ssize_t got = polled > 0 ? read(ready[0], buffer, sizeof buffer) : 0;
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;  // timed out, or the server ended before it was ready
        }
        answer.append(buffer, static_cast<size_t>(got));
    }
    close(ready[0]);
    if (answer != std::to_string(display) + "\n") {
        stop();
        *failure = file_exists(log) ? read_file(log) : "(no output in " + log + ")";
        return false;
    }
    return true;
}

void xvfb_display::stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

std::string xvfb_display::display_name() const {
    return ":" + std::to_string(display_);
}

screen_image xvfb_display::screenshot() const {
    screen_image image;
    if (!running()) {
        return image;
    }
    process_result dump = run_process({xwd_program, "-root", "-silent", "-display", display_name()});
    if (dump.exit_status != 0 || !parse_xwd(dump.out, &image)) {
        fprintf(stderr, "xwd of %s failed (status %d): %s\n", display_name().c_str(), dump.exit_status,
                dump.err.c_str());
        return screen_image{};
    }
    return image;
}

bool parse_xwd(const std::string& data, screen_image* image) {
    // The header is 25 big-endian 32-bit fields and the window name; then the colour map (12 bytes an
    // entry) and the image rows in the byte order the header names.
    constexpr size_t fields = 25;
    if (data.size() < fields * 4) {
        return false;
    }
    uint32_t field[fields];
    for (size_t i = 0; i < fields; ++i) {
        field[i] = big_endian_32(data, i * 4);
    }
    const uint32_t header_size = field[0], version = field[1], format = field[2], width = field[4],
                   height = field[5], byte_order = field[7], bits_per_pixel = field[11],
                   bytes_per_line = field[12], visual_class = field[13], red_mask = field[14],
                   green_mask = field[15], blue_mask = field[16], colours = field[19];
    const uint32_t z_pixmap = 2, true_colour = 4, direct_colour = 5;
    if (version != 7 || format != z_pixmap ||
        (visual_class != true_colour && visual_class != direct_colour) ||
        (bits_per_pixel != 16 && bits_per_pixel != 24 && bits_per_pixel != 32) || width == 0 || height == 0 ||
        width > 32768 || height > 32768 || bytes_per_line < width * (bits_per_pixel / 8)) {
        return false;
    }
    uint64_t start = static_cast<uint64_t>(header_size) + static_cast<uint64_t>(colours) * 12;
    if (start + static_cast<uint64_t>(bytes_per_line) * height > data.size()) {
        return false;
    }
    const size_t pixel_bytes = bits_per_pixel / 8;
    image->width = static_cast<int>(width);
    image->height = static_cast<int>(height);
    image->rgb.assign(static_cast<size_t>(width) * height * 3, 0);
    for (uint32_t y = 0; y < height; ++y) {
        const auto* row = reinterpret_cast<const unsigned char*>(data.data() + start +
                                                                 static_cast<size_t>(y) * bytes_per_line);
        for (uint32_t x = 0; x < width; ++x) {
            const unsigned char* p = row + x * pixel_bytes;
            uint32_t value = 0;
            for (size_t i = 0; i < pixel_bytes; ++i) {
                // byte_order 0: least significant byte first.
                size_t shift = byte_order == 0 ? i * 8 : (pixel_bytes - 1 - i) * 8;
                value |= static_cast<uint32_t>(p[i]) << shift;
            }
            unsigned char* out = &image->rgb[(static_cast<size_t>(y) * width + x) * 3];
            out[0] = static_cast<unsigned char>(channel(value, red_mask));
            out[1] = static_cast<unsigned char>(channel(value, green_mask));
            out[2] = static_cast<unsigned char>(channel(value, blue_mask));
        }
    }
    return true;
}
