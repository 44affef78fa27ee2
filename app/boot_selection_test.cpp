// Boot selection in a forked child each time, as the launcher runs it: the child either becomes the
// booted image (a real execv) or returns from boot_selected_image() and exits with returned_status.
#include "app/boot_selection.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "app/launcher_config.h"
#include "app/launcher_state.h"
#include "support/debug_log.h"
#include "testing/log_capture.h"
#include "testing/process.h"
#include "testing/sandbox.h"
#include "testing/temp_directory.h"

namespace {

constexpr int returned_status = 42;
const char hash20[] = "0123456789abcdef0123";

int mode_of(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? static_cast<int>(status.st_mode & 07777) : -1;
}

class BootSelection : public testing::Test {
  protected:
    void SetUp() override {
        mkdir(executables().c_str(), 0700);
        // Open the log now, as the launcher has long done by boot time, so that the child inherits it.
        debug_log_printf("%s", "");
        clear_log();
    }

    std::string executables() const { return config_.file("executables"); }
    std::string image(const std::string& name) const { return executables() + "/" + name; }
    std::string manifest() const { return image("update_manifest.lst"); }
    std::string crash_file() const { return config_.file("bootname.txt"); }
    std::string report() const { return config_.file("report.txt"); }

    void write_manifest(const std::vector<std::string>& names) {
        std::string text = "# comment\n\n";
        for (const std::string& name : names) {
            text += std::string(hash20) + "       1234 " + name + "\n";
        }
        write_file(manifest(), text);
    }
    // A file that execv() refuses (ENOEXEC), so the next candidate is tried.
    void write_dud(const std::string& name) { write_file(image(name), "not a program\n", 0644); }
    void install_reporter(const std::string& path, int mode) {
        write_file(path, read_file(test_binary_directory() + "/boot_argv_reporter"), mode);
    }

    // The exit status of the child: returned_status when no image started, else the image's own.
    int boot(int beta, const std::string& working_directory = "/") {
        pid_t child = fork();
        if (child == 0) {
            local_manifest_path.set(manifest().c_str());
            executables_dir.set(executables().c_str());
            crash_detect_path.set(crash_file().c_str());
            beta_test_enable = beta;
            setenv("BOOT_ARGV_REPORT", report().c_str(), 1);
            setenv("BOOT_ARGV_CHECK_FD", std::to_string(debug_logfile.fd.load()).c_str(), 1);
            if (chdir(working_directory.c_str()) != 0) {
                _exit(1);
            }
            boot_selected_image();
            _exit(returned_status);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // What follows `marker` up to "'.\n" on each log line that has it.
    std::vector<std::string> logged_after(const std::string& marker) const {
        std::vector<std::string> names;
        std::string text = log_.text();
        for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
            size_t start = at + marker.size();
            names.push_back(text.substr(start, text.find("'.\n", start) - start));
        }
        return names;
    }
    // The names of the images tried, and of the candidates, in order.
    std::vector<std::string> tried() const {
        return logged_after("Trying executable '" + executables() + "/");
    }
    std::vector<std::string> candidates() const { return logged_after("Got executable filename '"); }

    void clear_log() const { truncate(log_.path().c_str(), 0); }

    temp_directory config_;
    log_capture log_{3};
};

}  // namespace

TEST_F(BootSelection, TriesByteWiseGreatestFirstAndReportsEachFailure) {
    write_manifest({"tessar_v3_10", "tessar_v3_2"});
    write_dud("tessar_v3_10");
    write_dud("tessar_v3_2");
    EXPECT_EQ(boot(0), returned_status);
    std::string attempt_2 = image("tessar_v3_2");
    std::string attempt_10 = image("tessar_v3_10");
    EXPECT_EQ(log_.text(),
              "Loaded 2 entries from current manifest file '" + manifest() +
                  "'.\n"
                  "Got executable filename 'tessar_v3_2'.\n"
                  "Got executable filename 'tessar_v3_10'.\n"
                  "Trying executable '" +
                  attempt_2 + "'.\nkest_boot_exec() - trying to boot image '" + attempt_2 +
                  "'\nError in kest_boot_exec(), exec failed.  Return code -1, error code 8. Filename: " +
                  attempt_2 + "\nBoot exec for filename '" + attempt_2 +
                  "' failed.\n"
                  "Trying next in line.\n"
                  "Trying executable '" +
                  attempt_10 + "'.\nkest_boot_exec() - trying to boot image '" + attempt_10 +
                  "'\nError in kest_boot_exec(), exec failed.  Return code -1, error code 8. Filename: " +
                  attempt_10 + "\nBoot exec for filename '" + attempt_10 +
                  "' failed.\n"
                  "Trying next in line.\n"
                  "Sorry, no valid executables found - cannot start game.\n"
                  "If this message continues to occur, please notify the game admin.\n");
    EXPECT_EQ(read_file(crash_file()), "tessar_v3_10\n");
    EXPECT_EQ(mode_of(attempt_2), 0700);
    EXPECT_EQ(mode_of(attempt_10), 0700);
}

TEST_F(BootSelection, BetaNamesOnlyInBetaModeAndCaseSensitive) {
    write_manifest({"tessar_beta_3", "tessar_BETA_3", "tessar_v3_1"});
    for (const char* name : {"tessar_beta_3", "tessar_BETA_3", "tessar_v3_1"}) {
        write_dud(name);
    }
    EXPECT_EQ(boot(0), returned_status);
    EXPECT_EQ(candidates(), (std::vector<std::string>{"tessar_v3_1", "tessar_BETA_3"}));
    EXPECT_EQ(tried(), candidates());
    clear_log();
    unlink(crash_file().c_str());  // else the last one tried counts as failed
    EXPECT_EQ(boot(1), returned_status);
    EXPECT_EQ(candidates(), (std::vector<std::string>{"tessar_v3_1", "tessar_beta_3", "tessar_BETA_3"}));
    EXPECT_EQ(tried(), candidates());
}

TEST_F(BootSelection, PreviouslyFailedImageIsSkippedWhileOthersRemain) {
    write_manifest({"tessar_v3_2", "tessar_v3_1"});
    write_dud("tessar_v3_2");
    write_dud("tessar_v3_1");
    write_file(crash_file(), "tessar_v3_2\r\nignored second line\n");
    EXPECT_EQ(boot(0), returned_status);
    EXPECT_EQ(tried(), std::vector<std::string>{"tessar_v3_1"});
    std::string text = log_.text();
    EXPECT_NE(text.find("Got executable filename 'tessar_v3_1'.\n"
                        "Previous boot of image 'tessar_v3_2' failed.\n"
                        "Skipping, will try older images.\n"
                        "Trying executable '"),
              std::string::npos)
        << text;
    EXPECT_EQ(read_file(crash_file()), "tessar_v3_1\n");

    // The name written for the failed attempt does not make later candidates count as failed.
    clear_log();
    write_file(crash_file(), "tessar_v3_1\n");
    EXPECT_EQ(boot(0), returned_status);
    EXPECT_EQ(tried(), std::vector<std::string>{"tessar_v3_2"});
}

TEST_F(BootSelection, OnlyImageIsRetriedEvenAfterAFailedBoot) {
    write_manifest({"tessar_v3_2", "gone"});
    write_dud("tessar_v3_2");
    write_file(crash_file(), "tessar_v3_2\n");
    EXPECT_EQ(boot(0), returned_status);
    EXPECT_EQ(tried(), std::vector<std::string>{"tessar_v3_2"});  // "gone" has no file: never tried
    EXPECT_NE(log_.text().find("Previous boot of image 'tessar_v3_2' failed.\nNo other images, retrying.\n"),
              std::string::npos);
}

TEST_F(BootSelection, NothingToBootExplainsWhy) {
    const std::string no_executables =
        "\nSorry, no executables found - cannot start game.\n"
        "This launcher will attempt to download one if you restart it.\n"
        "If this message continues to occur, please notify the game admin.\n\n"
        "Loaded 0 entries from current manifest file '" +
        manifest() +
        "'.\n"
        "Sorry, no valid executables found - cannot start game.\n"
        "If this message continues to occur, please notify the game admin.\n";
    EXPECT_EQ(boot(0), returned_status);  // no manifest
    EXPECT_EQ(log_.text(), no_executables);
    clear_log();
    write_manifest({"gone", "also gone"});
    EXPECT_EQ(boot(0), returned_status);
    EXPECT_EQ(log_.text(), no_executables);
    EXPECT_FALSE(file_exists(crash_file()));
}

TEST_F(BootSelection, DamagedManifestStillBootsTheEntriesBeforeTheDamage) {
    write_file(manifest(),
               std::string(hash20) + " 1 tessar_v3_1\nbroken line\n" + hash20 + " 1 tessar_v3_9\n");
    write_dud("tessar_v3_1");
    write_dud("tessar_v3_9");
    EXPECT_EQ(boot(0), returned_status);
    EXPECT_EQ(tried(), std::vector<std::string>{"tessar_v3_1"});
    EXPECT_EQ(log_.text().rfind("Syntax error in file manifest - bad or missing hash field for line:\n"
                                "broken line\n"
                                "Warning in build_boot_list(), manifest file '" +
                                    manifest() + "' is damaged, using the entries before the damage.\n",
                                0),
              0u)
        << log_.text();
}

TEST_F(BootSelection, BootsTheImageWithItsNameAndTheLauncherVersion) {
    write_manifest({"tessar_v3_3", "tessar_v3_2", "tessar_v3_1"});
    write_dud("tessar_v3_3");
    install_reporter(image("tessar_v3_2"), 0644);  // not executable until the launcher makes it so
    install_reporter(image("tessar_v3_1"), 0755);
    mkdir(config_.file("cwd").c_str(), 0700);
    EXPECT_EQ(boot(0, config_.file("cwd")), 0);
    EXPECT_EQ(read_file(report()), "argc=3\nargv[0]=tessar_v3_2\nargv[1]=-l\nargv[2]=1.095-gtk-rc5\ncwd=" +
                                       config_.file("cwd") + "\nlock_tmp_descriptors=0\nfd_open=1\n");
    EXPECT_EQ(mode_of(image("tessar_v3_2")), 0700);
    EXPECT_EQ(read_file(crash_file()), "tessar_v3_2\n");
    EXPECT_EQ(tried(), (std::vector<std::string>{"tessar_v3_3", "tessar_v3_2"}));
}

TEST_F(BootSelection, NamesReachingOutsideOrAtOwnFilesAreNeverTried) {
    // Real programs sit where the unsafe names point, so trying any of them would show in the report.
    install_reporter(config_.file("outside"), 0755);
    install_reporter(image("lock.tmp"), 0755);
    mkdir(image("sub").c_str(), 0700);
    write_manifest({"../outside", "sub/../../outside", "./lock.tmp", "lock.tmp", "tessar_v3_1"});
    write_dud("tessar_v3_1");
    EXPECT_EQ(boot(0), returned_status);
    EXPECT_FALSE(file_exists(report()));
    EXPECT_EQ(tried(), std::vector<std::string>{"tessar_v3_1"});
    std::string text = log_.text();
    EXPECT_EQ(
        text.rfind(
            "Skipping unsafe executable filename '../outside', it has a '..' component.\n"
            "Skipping unsafe executable filename 'sub/../../outside', it has a '..' component.\n"
            "Skipping unsafe executable filename './lock.tmp', it has a '.' component.\n"
            "Skipping unsafe executable filename 'lock.tmp', it names one of the launcher's own files.\n"
            "Loaded 1 entries",
            0),
        0u)
        << text;
}

TEST_F(BootSelection, CrashDetectFileThatCannotBeWrittenDoesNotStopTheBoot) {
    write_manifest({"tessar_v3_1"});
    install_reporter(image("tessar_v3_1"), 0700);
    mkdir(crash_file().c_str(), 0700);
    EXPECT_EQ(boot(0), 0);
    EXPECT_NE(read_file(report()).find("argv[0]=tessar_v3_1\n"), std::string::npos);
    EXPECT_NE(log_.text().find("write_crash_detect_file(), unable to open file '" + crash_file() +
                               "' for writing.\n"),
              std::string::npos);
}

TEST_F(BootSelection, ChmodFailureSkipsOnlyAnImageThatIsNotExecutable) {
    if (!in_test_sandbox()) {
        GTEST_SKIP() << "needs a private mount namespace";
    }
    const std::string chmod_failed =
        "Error in kest_boot_exec(), chmod failed.  Return code -1, error code 30. Filename: " + image("tessar_v3_1") +
        "\n";
    const struct {
        int mode;
        int status;
        std::string logged;
    } cases[] = {
        {0755, 0, chmod_failed},
        {0644, returned_status, chmod_failed + "Boot exec for filename '" + image("tessar_v3_1") + "' failed.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        clear_log();
        unlink(report().c_str());
        write_manifest({"tessar_v3_1"});
        install_reporter(image("tessar_v3_1"), c.mode);
        // A read-only bind mount of the executables directory over itself: chmod fails with EROFS.
        ASSERT_EQ(mount(executables().c_str(), executables().c_str(), nullptr, MS_BIND, nullptr), 0)
            << strerror(errno);
        ASSERT_EQ(mount(nullptr, executables().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
            << strerror(errno);
        EXPECT_EQ(boot(0), c.status);
        umount2(executables().c_str(), MNT_DETACH);
        EXPECT_EQ(file_exists(report()), c.status == 0);
        EXPECT_NE(log_.text().find(c.logged), std::string::npos) << log_.text();
    }
}
