#include "support/config_directory.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "testing/log_capture.h"
#include "testing/sandbox.h"
#include "testing/temp_directory.h"

namespace {

// Runs each test in a fresh working directory with HOME set as the test says, and restores both. No
// directory is chosen when a test starts, whichever tests ran before it in this process.
class ConfigDirectory : public testing::Test {
protected:
    void SetUp() override {
        kest_client_forget_config_directory();
        remove_tree("/tmp/VarnholtTest");
        saved_cwd_ = getcwd(nullptr, 0);
        const char* home = getenv("HOME");
        had_home_ = home != nullptr;
        saved_home_ = home ? home : "";
        ASSERT_EQ(chdir(work_.path().c_str()), 0);
    }
    void TearDown() override {
        if (chdir(saved_cwd_) != 0) {
            ADD_FAILURE() << "cannot return to " << saved_cwd_;
        }
        free(saved_cwd_);
        if (had_home_) {
            setenv("HOME", saved_home_.c_str(), 1);
        } else {
            unsetenv("HOME");
        }
        remove_tree("/tmp/VarnholtTest");
        kest_client_forget_config_directory();
    }
    std::string chosen() const { return get_config_directory() ? get_config_directory() : "(none)"; }

    temp_directory work_;  // the working directory
    temp_directory home_;
    char* saved_cwd_ = nullptr;
    std::string saved_home_;
    bool had_home_ = false;
};

}  // namespace

TEST_F(ConfigDirectory, HomeCandidateComesFirst) {
    setenv("HOME", home_.path().c_str(), 1);
    ASSERT_EQ(kest_client_set_up_config_directory("VarnholtTest"), 1);
    EXPECT_EQ(chosen(), home_.file(".VarnholtTest"));
    struct stat status;
    ASSERT_EQ(stat(chosen().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
}

TEST_F(ConfigDirectory, SecondSetUpIsReportedAndItsChoiceReplacesTheFirst) {
    setenv("HOME", home_.path().c_str(), 1);
    ASSERT_EQ(kest_client_set_up_config_directory("VarnholtTest"), 1);
    // The set-up keeps an earlier choice for whoever may still point into it; nobody does here.
    char* first = const_cast<char*>(get_config_directory());
    log_capture log(3);
    ASSERT_EQ(kest_client_set_up_config_directory("OtherTest"), 1);
    free(first);
    EXPECT_EQ(chosen(), home_.file(".OtherTest"));
    EXPECT_NE(
        log.text().find("Error in kest_client_set_up_config_directory(), attempt to change config directory "
                        "path after initial configuration.\nOld path '" +
                        home_.file(".VarnholtTest") + "', new base name 'OtherTest'\nChecking"),
        std::string::npos)
        << log.text();
}

TEST_F(ConfigDirectory, HomeUnsetFailsEvenThoughTmpIsWriteable) {
    unsetenv("HOME");
    log_capture log;
    EXPECT_EQ(kest_client_set_up_config_directory("VarnholtTest"), 0);
    EXPECT_NE(log.text().find("unable to fetch home directory - please set HOME environment variable"),
              std::string::npos);
}

TEST_F(ConfigDirectory, UnusableHomeFallsBackToWorkingDirectory) {
    // A regular file in place of HOME: root's writes are not stopped by permission bits.
    write_file(home_.file("not-a-directory"), "");
    setenv("HOME", home_.file("not-a-directory").c_str(), 1);
    log_capture log(3);
    ASSERT_EQ(kest_client_set_up_config_directory("VarnholtTest"), 1);
    EXPECT_EQ(chosen(), ".VarnholtTest");
    std::string text = log.text();
    EXPECT_NE(text.find("Checking config directory: " + home_.file("not-a-directory/.VarnholtTest") +
                        " [FAIL]\n"),
              std::string::npos);
    EXPECT_NE(text.find("Checking config directory: .VarnholtTest\n"), std::string::npos);
    EXPECT_NE(text.find("got final config directory '.VarnholtTest'"), std::string::npos);
}

TEST_F(ConfigDirectory, CandidatesControlledByOthersArePassedOver) {
    setenv("HOME", home_.path().c_str(), 1);
    // Owned by another user.
    ASSERT_EQ(mkdir(home_.file(".VarnholtTest").c_str(), 0700), 0);
    ASSERT_EQ(chown(home_.file(".VarnholtTest").c_str(), 65534, 65534), 0);
    // Ours, but others may write to it.
    ASSERT_EQ(mkdir(work_.file(".VarnholtTest").c_str(), 0700), 0);
    ASSERT_EQ(chmod(work_.file(".VarnholtTest").c_str(), 0777), 0);
    // A link that someone else planted in /tmp, pointing at a directory of ours.
    ASSERT_EQ(mkdir(work_.file("ours").c_str(), 0700), 0);
    ASSERT_EQ(symlink(work_.file("ours").c_str(), "/tmp/VarnholtTest"), 0);
    ASSERT_EQ(lchown("/tmp/VarnholtTest", 65534, 65534), 0);

    log_capture log;
    ASSERT_EQ(kest_client_set_up_config_directory("VarnholtTest"), 1);
    EXPECT_EQ(chosen(), "VarnholtTest");
    EXPECT_EQ(log.text(),
              "Warning in check_config_directory(), '" + home_.file(".VarnholtTest") +
                  "' belongs to another user or others may write to it - not using it.\n"
                  "Warning in check_config_directory(), '.VarnholtTest' belongs to another user or others may "
                  "write to it - not using it.\n"
                  "Warning in check_config_directory(), '/tmp/VarnholtTest' belongs to another user or others "
                  "may write to it - not using it.\n");
}

// A read-only bind mount over the home candidate, in the test binary's private mount namespace.
TEST_F(ConfigDirectory, ReadOnlyHomeIsChosenOnlyWhenItHoldsAnInstallation) {
    if (!in_test_sandbox()) {
        GTEST_SKIP() << "needs a private mount namespace";
    }
    setenv("HOME", home_.path().c_str(), 1);
    const std::string home_candidate = home_.file(".VarnholtTest");
    const struct {
        const char* what;
        const char* inside;  // a directory created inside the candidate before it is made read-only
        std::string chosen;
        int read_only;
    } cases[] = {
        {"holds an executables directory", "executables", home_candidate, 1},
        {"holds something else", "other", ".VarnholtTest", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kest_client_forget_config_directory();
        remove_tree(home_candidate);
        remove_tree(work_.file(".VarnholtTest"));
        ASSERT_EQ(mkdir(home_candidate.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((home_candidate + "/" + c.inside).c_str(), 0700), 0);
        ASSERT_EQ(mount(home_candidate.c_str(), home_candidate.c_str(), nullptr, MS_BIND, nullptr), 0)
            << strerror(errno);
        int remounted =
            mount(nullptr, home_candidate.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr);
        log_capture log(3);
        int chosen_any = kest_client_set_up_config_directory("VarnholtTest");
        umount2(home_candidate.c_str(), MNT_DETACH);
        ASSERT_EQ(remounted, 0) << strerror(errno);
        ASSERT_EQ(chosen_any, 1);
        EXPECT_EQ(chosen(), c.chosen);
        EXPECT_EQ(config_directory_is_read_only(), c.read_only);
        const std::string warning = "Warning in check_config_directory(), '" + home_candidate +
                                    "' is read-only - using the installation in it without updating it.\n"
                                    "Checking config directory: " +
                                    home_candidate + " [READ-ONLY]\n";
        const std::string failed = "Checking config directory: " + home_candidate + " [FAIL]\n";
        EXPECT_NE(log.text().find(c.read_only ? warning : failed), std::string::npos) << log.text();
    }
}

TEST_F(ConfigDirectory, NoUsableCandidateGivesUp) {
    write_file(home_.file("file"), "");
    setenv("HOME", home_.file("file").c_str(), 1);
    write_file(work_.file(".VarnholtTest"), "");
    write_file("/tmp/VarnholtTest", "");
    write_file(work_.file("VarnholtTest"), "");
    log_capture log;
    EXPECT_EQ(kest_client_set_up_config_directory("VarnholtTest"), 0);
    EXPECT_EQ(log.text(), "kest_client_set_up_config_directory() - Giving up.  Cannot create config directory.\n");
}
