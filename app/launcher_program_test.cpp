// The whole launcher as a real process on a display of its own: where the window appears and what it
// shows, its progress bar fed by a real update run from a loopback server, the keys, the wait for
// another launcher's lock, a close request during a run, and the boot of the client.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <memory>
#include <string>
#include <vector>

#include "app/launcher_program_fixture.h"
#include "app/updater_lock.h"
#include "assets/splash_png.h"
#include "testing/process.h"
#include "testing/scripted_server.h"
#include "testing/temp_directory.h"
#include "testing/xvfb_display.h"

namespace {

const char update_root[] = "/downloads/tessar_v3/";
const screen_pixel bar_background{32, 32, 32};
const screen_pixel bar_fill{128, 128, 128};

std::string http_ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string compressed(const std::string& text) {
    uLongf size = compressBound(text.size());
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(text.data()),
              text.size(), 9);
    out.resize(size);
    return out;
}

std::string manifest_line(const std::string& name, size_t size) {
    return "0123456789abcdef0123456789abcdef " + std::to_string(size) + " " + name + "\n";
}

// A server that keeps the update run busy: it answers the manifest request with one header byte a
// second, so no wait of the downloader runs out, until the server is destroyed.
scripted_server::script busy_server_script() {
    return scripted_server::script().accept().read_request().drip(
        "HTTP/1.1 200 OK\r\nX-Slow: " + std::string(200, 'a'), 1000);
}

class LauncherProgram : public launcher_program_fixture {
  protected:
    void SetUp() override {
        launcher_program_fixture::SetUp();
        if (IsSkipped()) {
            return;
        }
        ASSERT_EQ(mkdir(config_dir().c_str(), 0700), 0);
        ASSERT_EQ(mkdir(executables_dir().c_str(), 0700), 0);
    }

    // A client image in the executables directory, named in the local manifest.
    void install_client(const std::string& name) {
        write_file(executables_dir() + "/" + name, read_file(test_binary_directory() + "/boot_argv_reporter"),
                   0755);
        write_file(executables_dir() + "/update_manifest.lst",
                   "# This is an automatically generated file - do not modify\n\n" + manifest_line(name, 1));
    }
    // True when no launcher holds the lock (this process takes it for a moment to see).
    bool lock_is_free() {
        int lock = try_updater_lock((executables_dir() + "/lock.tmp").c_str());
        release_updater_lock(lock);
        return lock >= 0;
    }
    // Started while this process holds the lock, as a first launcher would; the lock's descriptor.
    int start_while_locked() {
        install_client("client-1");
        int lock = try_updater_lock((executables_dir() + "/lock.tmp").c_str());
        EXPECT_GE(lock, 0);
        start_launcher();
        EXPECT_NE(wait_for_window(), "");
        return lock;
    }
};

// The splash picture as an independent decoder reads it: 480 x 300 RGB bytes.
std::string decoded_splash() {
    temp_directory dir;
    write_file(dir.file("splash.png"),
               std::string(reinterpret_cast<const char*>(splash_png), splash_png_size));
    // ImageMagick, wherever it is installed.
    process_result decoded =
        run_process({"/usr/bin/env", "convert", dir.file("splash.png"), "-depth", "8", "rgb:-"});
    return decoded.out;
}

bool in_text_or_bar(int x, int y) {
    return x >= 10 && x < 470 && y >= 240 && y < 290;
}

struct screen_case {
    int width, height, x, y;
};

void PrintTo(const screen_case& screen, std::ostream* out) {
    *out << screen.width << " x " << screen.height;
}

class LauncherWindowPlacement : public LauncherProgram, public testing::WithParamInterface<screen_case> {};

// Sees other processes close a file.
class close_watch {
  public:
    explicit close_watch(const std::string& path) : fd_(inotify_init1(IN_CLOEXEC)) {
        EXPECT_GE(inotify_add_watch(fd_, path.c_str(), IN_CLOSE), 0) << path;
    }
    ~close_watch() { close(fd_); }
    close_watch(const close_watch&) = delete;
    close_watch& operator=(const close_watch&) = delete;

    // True once the file was closed since the watch began (or the last call), within `timeout_ms`.
    bool wait_for_close(int timeout_ms = 30000) {
        pollfd event{fd_, POLLIN, 0};
        if (poll(&event, 1, timeout_ms) != 1) {
            return false;
        }
        char buffer[4096];
        return read(fd_, buffer, sizeof buffer) > 0;
    }

  private:
    int fd_;
};

}  // namespace

TEST_P(LauncherWindowPlacement, CentredWithPictureTextsAndEmptyBar) {
    const screen_case& screen = GetParam();
    start_display(screen.width, screen.height);
    scripted_server server(busy_server_script(), 80);
    start_launcher();
    ASSERT_NE(wait_for_window(), "");
    ASSERT_TRUE(wait_until([&] { return server.connections_accepted() == 1; }));
    // The first paint has happened once the bar shows.
    screen_image shot;
    ASSERT_TRUE(wait_until([&] {
        shot = display_.screenshot();
        return shot.pixel(screen.x + 10, screen.y + 280) == bar_background;
    })) << shot.pixel(screen.x + 10, screen.y + 280);

    std::string splash = decoded_splash();
    ASSERT_EQ(splash.size(), 480u * 300u * 3u);
    int differing = 0;
    int white = 0;
    for (int y = 0; y < 300; ++y) {
        for (int x = 0; x < 480; ++x) {
            screen_pixel seen = shot.pixel(screen.x + x, screen.y + y);
            if (in_text_or_bar(x, y)) {
                white += seen.red > 200 && seen.green > 200 && seen.blue > 200;
                continue;
            }
            const unsigned char* p = reinterpret_cast<const unsigned char*>(&splash[(y * 480 + x) * 3]);
            differing += seen != screen_pixel{p[0], p[1], p[2]};
        }
    }
    EXPECT_EQ(differing, 0) << "the picture is not at (" << screen.x << ", " << screen.y << ")";
    EXPECT_GT(white, 100) << "no white text";
    for (int y = 280; y < 290; ++y) {
        for (int x = 10; x < 470; ++x) {
            ASSERT_EQ(shot.pixel(screen.x + x, screen.y + y), bar_background) << x << ", " << y;
        }
    }

    // 'q' ends the launcher at once, whatever it is doing.
    press(wait_for_window(), "q");
    process_result result = wait_for_exit();
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(booted_argv(), "");
}

INSTANTIATE_TEST_SUITE_P(TwoScreens, LauncherWindowPlacement,
                         testing::Values(screen_case{1024, 768, 272, 234}, screen_case{801, 601, 160, 150}),
                         [](const testing::TestParamInfo<screen_case>& info) {
                             return std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height);
                         });

TEST_F(LauncherProgram, CommandLineAnswersWithoutADisplay) {
    process_options options;
    options.environment = {"HOME=" + home_.path(), "DISPLAY", "WAYLAND_DISPLAY", "LC_ALL=C.UTF-8"};
    std::string program = test_binary_directory() + "/varnholt-launcher-test-host";

    process_result help = run_process({program, "--help"}, options);
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_NE(log().find("Syntax:\n" + program + " [-h] [-b] [-u] [-v]\n"), std::string::npos);

    process_result unknown = run_process({program, "-x"}, options);
    EXPECT_EQ(unknown.exit_status, 1);
    EXPECT_NE(log().find("Sorry, unknown command line option '-x'.  Use '-h' for a list.\n"),
              std::string::npos);
}

TEST_F(LauncherProgram, ProgressFillsTheBarThenTheDownloadedClientBoots) {
    start_display(640, 480);
    const int x0 = 80, y0 = 90;
    std::string client = read_file(test_binary_directory() + "/boot_argv_reporter");
    std::string response = http_ok(client);
    size_t half = response.size() - client.size() / 2;  // headers and the first half of the body
    scripted_server server(scripted_server::script()
                               .accept()
                               .read_request()
                               .send(http_ok(compressed(manifest_line("client-2", client.size()))))
                               .close()
                               .accept()
                               .read_request()
                               .send(response.substr(0, half))
                               .hold()
                               .send(response.substr(half))
                               .close(),
                           80);
    start_launcher();
    ASSERT_NE(wait_for_window(), "");
    // Half the bytes of the only file, and the rest held back: 460 * 50 / 100 columns filled.
    screen_image shot;
    EXPECT_TRUE(wait_until([&] {
        shot = display_.screenshot();
        return shot.pixel(x0 + 10 + 229, y0 + 285) == bar_fill &&
               shot.pixel(x0 + 10 + 230, y0 + 285) == bar_background;
    })) << shot.pixel(x0 + 10 + 229, y0 + 285)
        << shot.pixel(x0 + 10 + 230, y0 + 285);
    for (int x = 0; x < 460; ++x) {
        ASSERT_EQ(shot.pixel(x0 + 10 + x, y0 + 280), x < 230 ? bar_fill : bar_background) << x;
        ASSERT_EQ(shot.pixel(x0 + 10 + x, y0 + 289), x < 230 ? bar_fill : bar_background) << x;
    }
    server.release();

    process_result result = wait_for_exit();
    EXPECT_EQ(result.exit_status, 0) << log();
    EXPECT_NE(result.out.find("One file to update.\n"), std::string::npos) << result.out;
    EXPECT_EQ(booted_argv(), booted_as("client-2"));
    EXPECT_EQ(read_file(config_dir() + "/bootname.txt"), "client-2\n");
    std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].rfind(
                  std::string("GET ") + update_root + "manifest_linux32_executables.txt.gz HTTP/1.1\r\n", 0),
              0u);
    EXPECT_EQ(requests[1].rfind(std::string("GET ") + update_root + "client-2 HTTP/1.1\r\n", 0), 0u);
}

TEST_F(LauncherProgram, EscapeHoldsTheBootAndBSwitchesBetaMode) {
    start_display(640, 480);
    install_client("client-1");
    auto server = std::make_unique<scripted_server>(busy_server_script(), 80);
    start_launcher();
    std::string window = wait_for_window();
    ASSERT_NE(window, "");
    press(window, "Escape");
    std::string config = config_dir() + "/launcher.cfg";
    auto beta_saved_as = [&](int beta) {
        return wait_until([&] {
            return read_file(config).find("<beta_test_enable>" + std::to_string(beta) + "<") !=
                   std::string::npos;
        });
    };
    // During the run 'b' only saves the mode: the run reads it itself.
    press(window, "b");
    EXPECT_TRUE(beta_saved_as(1)) << read_file(config);

    // The run ends (the server hangs up); the last thing it does is to release the lock. With the
    // options shown nothing boots, though a boot would come at the next tick.
    server.reset();
    EXPECT_TRUE(wait_until([&] { return lock_is_free(); })) << log();
    sleep_ms(1000);
    EXPECT_FALSE(file_exists(config_dir() + "/bootname.txt"));
    EXPECT_TRUE(window_shown());

    // After the run 'B' starts another for the mode now chosen (which fails at once: no server).
    press(window, "B");
    EXPECT_TRUE(beta_saved_as(0)) << read_file(config);
    press(window, "Escape");
    process_result result = wait_for_exit();
    EXPECT_EQ(result.exit_status, 0) << log();
    EXPECT_EQ(booted_argv(), booted_as("client-1"));
    std::string failed_run =
        "Error fetching update file 'manifest_linux32_executables.txt.gz' from remote server";
    EXPECT_NE(result.out.find(failed_run), result.out.rfind(failed_run)) << result.out;
}

TEST_F(LauncherProgram, SecondLauncherGivesUpWhileTheLockIsHeld) {
    start_display(640, 480);
    int lock = start_while_locked();
    process_result result = wait_for_exit();
    EXPECT_GE(seconds_since_start(), 3.0);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "");  // no update run
    std::string lines =
        "\nSorry, it looks like there's another version of the launcher downloading\n"
        "updates right now.  Please try again when it's finished.\n\n";
    std::string text = log();
    EXPECT_EQ(text.substr(text.size() - std::min(text.size(), lines.size())), lines) << text;
    EXPECT_EQ(booted_argv(), "");
    release_updater_lock(lock);
}

TEST_F(LauncherProgram, SecondLauncherUpdatesOnceTheLockIsFree) {
    start_display(640, 480);
    install_client("client-1");
    std::string lock_path = executables_dir() + "/lock.tmp";
    int lock = try_updater_lock(lock_path.c_str());
    ASSERT_GE(lock, 0);
    // The launcher opens and closes the lock file on each attempt: after the first it has found the lock
    // held and waits for it, which it does for three seconds.
    close_watch attempts(lock_path);
    start_launcher();
    EXPECT_TRUE(attempts.wait_for_close());
    release_updater_lock(lock);
    EXPECT_NE(wait_for_window(), "");
    process_result result = wait_for_exit();
    EXPECT_EQ(result.exit_status, 0) << log();
    // Its own run (no server: it fails), then the boot.
    EXPECT_NE(result.out.find("Error fetching update file"), std::string::npos) << result.out;
    EXPECT_EQ(log().find("another version of the launcher"), std::string::npos);
    EXPECT_EQ(booted_argv(), booted_as("client-1"));
}

TEST_F(LauncherProgram, UnusableLockSkipsTheUpdateAndBootsWhatIsInstalled) {
    start_display(640, 480);
    install_client("client-1");
    std::string lock_path = executables_dir() + "/lock.tmp";
    ASSERT_EQ(mkdir(lock_path.c_str(), 0700), 0);
    start_launcher();
    process_result result = wait_for_exit();
    EXPECT_EQ(result.exit_status, 0) << log();
    EXPECT_EQ(result.out, "");  // no update run
    EXPECT_NE(log().find("Error in take_updater_lock(), unable to lock file '" + lock_path +
                         "': Is a directory.  Skipping the update.\n"),
              std::string::npos)
        << log();
    EXPECT_EQ(log().find("another version of the launcher"), std::string::npos);
    EXPECT_EQ(booted_argv(), booted_as("client-1"));
}

TEST_F(LauncherProgram, CloseRequestDuringARunHidesAndEndsAfterItWithoutBooting) {
    start_display(640, 480);
    install_client("client-1");
    std::string body(150, 'x');
    std::string head = http_ok(body).substr(0, http_ok(body).size() - body.size());
    // The download is held after its first bytes until the window has been closed.
    scripted_server server(scripted_server::script()
                               .accept()
                               .read_request()
                               .send(http_ok(compressed(manifest_line("client-2", body.size()))))
                               .close()
                               .accept()
                               .read_request()
                               .send(head + body.substr(0, 50))
                               .hold()
                               .drip(body.substr(50), 5)
                               .close(),
                           80);
    start_launcher();
    ASSERT_NE(wait_for_window(), "");
    ASSERT_TRUE(wait_until([&] { return server.connections_accepted() == 2; }));
    EXPECT_EQ(x_tool({test_binary_directory() + "/x_close_request", launcher_window_name}).exit_status, 0);
    EXPECT_TRUE(wait_until([&] { return !window_shown(); }));
    // Still downloading, and reporting progress to its hidden window.
    EXPECT_FALSE(server.wait_finished(0));
    server.release();

    process_result result = wait_for_exit();
    EXPECT_EQ(result.exit_status, 0) << log();
    EXPECT_EQ(result.signal, 0);
    EXPECT_TRUE(server.wait_finished());
    EXPECT_EQ(read_file(executables_dir() + "/client-2"), body);  // the run finished its work
    EXPECT_EQ(booted_argv(), "");
    EXPECT_FALSE(file_exists(config_dir() + "/bootname.txt"));
}
