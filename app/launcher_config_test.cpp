#include "app/launcher_config.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/config_directory.h"
#include "testing/log_capture.h"
#include "testing/sandbox.h"
#include "testing/temp_directory.h"

namespace {

const char header_line[] = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n";

std::string config_file(const std::string& beta, const std::string& version = "1.095-gtk-rc5") {
    return std::string(header_line) + "<launcher_config>\n  <launcher_version>" + version +
           "</launcher_version>\n  <beta_test_enable>" + beta + "</beta_test_enable>\n</launcher_config>\n\n";
}

// A fresh configuration directory <home>/.Varnholt for each test, chosen the way start-up chooses it.
class LauncherConfig : public testing::Test {
  protected:
    void SetUp() override {
        setenv("HOME", home_.path().c_str(), 1);
        mkdir(directory().c_str(), 0700);
        prepare_directory();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        kest_client_forget_config_directory();
        ASSERT_EQ(kest_client_set_up_config_directory("Varnholt"), 1);
        ASSERT_EQ(get_config_directory(), directory());
        beta_test_enable = 0;
        free(stored_launcher_version);
        stored_launcher_version = nullptr;
    }
    virtual void prepare_directory() {}

    std::string directory() const { return home_.file(".Varnholt"); }
    std::string path() const { return directory() + "/launcher.cfg"; }

    temp_directory home_;
};

std::vector<std::string> entries_of(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    for (dirent* d = dir != nullptr ? readdir(dir) : nullptr; d != nullptr; d = readdir(dir)) {
        if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0) {
            names.push_back(d->d_name);
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST_F(LauncherConfig, ReadsNamesInAnyCaseAndSkipsWhatItDoesNotKnow) {
    write_file(path(), std::string(header_line) +
                           "<LAUNCHER_CONFIG format=\"x\">\n"
                           "  <Launcher_Version>1.095-gtk-rc5</Launcher_Version>\n"
                           "  <window><x>1</x><!-- kept --></window>\n"
                           "  <BETA_TEST_ENABLE>1</BETA_TEST_ENABLE>\n"
                           "</LAUNCHER_CONFIG>\n"
                           "<other><deeper>text</deeper></other>\n");
    std::string before = read_file(path());
    log_capture log;
    load_system_config_file();
    EXPECT_EQ(get_beta_test_enable(), 1);
    ASSERT_NE(stored_launcher_version, nullptr);
    EXPECT_STREQ(stored_launcher_version, "1.095-gtk-rc5");
    EXPECT_EQ(read_file(path()), before);  // this version's file is not rewritten
    EXPECT_EQ(
        log.text(),
        "Warning in kest_xml_reader::pop_stack_entry() - popped tag 'LAUNCHER_CONFIG' did not match expected "
        "tag 'LAUNCHER_CONFIG format=\"x\"'.\n"
        "load_system_config_file() got unknown tag 'other'\n");

    // The version read before does not count for a file without one.
    write_file(path(), std::string(header_line) + "<launcher_config></launcher_config>\n");
    load_system_config_file();
    EXPECT_EQ(stored_launcher_version, nullptr);
    EXPECT_EQ(read_file(path()), config_file("1"));
}

TEST_F(LauncherConfig, FilesWithoutThisVersionAreRewrittenWithTheirValue) {
    const struct {
        std::string content;
        int beta;
        std::string warning;
    } cases[] = {
        {config_file("1", "1.090-gtk-rc1"), 1, ""},
        {config_file("2", "1.090-gtk-rc1"), 2, ""},
        {std::string(header_line) +
             "<launcher_config><beta_test_enable>1</beta_test_enable></launcher_config>\n",
         1, ""},
        {"<launcher_config><beta_test_enable>1</beta_test_enable></launcher_config>\n", 0,
         "Warning in kest_xml_reader::check_xml_header_string(), missing opening '<?xml' tag.\n"
         "Warning in load_system_config_file() - bad XML header, bailing.\n"},
        {"", 0,
         "Warning in kest_xml_reader::check_xml_header_string(), missing opening '<?xml' tag.\n"
         "Warning in load_system_config_file() - bad XML header, bailing.\n"},
        {config_file("yes", "1.0"), 0, "Warning in kest_xml_reader::read_data(int) - got non-number'yes'.\n"},
    };
    for (const auto& c : cases) {
        write_file(path(), c.content);
        beta_test_enable = 0;
        log_capture log;
        load_system_config_file();
        EXPECT_EQ(get_beta_test_enable(), c.beta) << c.content;
        EXPECT_EQ(read_file(path()), config_file(std::to_string(c.beta))) << c.content;
        EXPECT_EQ(log.text(), c.warning) << c.content;
    }
}

TEST_F(LauncherConfig, ValueTwoIsKeptUntilToggled) {
    write_file(path(), config_file("2"));
    load_system_config_file();
    EXPECT_EQ(get_beta_test_enable(), 2);
    EXPECT_EQ(read_file(path()), config_file("2"));
    set_beta_test_enable(2);
    EXPECT_EQ(read_file(path()), config_file("2"));
    set_beta_test_enable(get_beta_test_enable() ? 0 : 1);  // the 'B' key
    EXPECT_EQ(read_file(path()), config_file("0"));
    set_beta_test_enable(1);
    EXPECT_EQ(read_file(path()), config_file("1"));
}

TEST_F(LauncherConfig, FailedSaveKeepsTheOldFileAndSaysSo) {
    // A non-empty directory in the file's place: the new file is complete but cannot replace it.
    mkdir(path().c_str(), 0700);
    write_file(path() + "/inside", "x");
    beta_test_enable = 1;
    log_capture log;
    EXPECT_EQ(save_system_config_file(), 0);
    EXPECT_EQ(log.text(), "Error in save_system_config_file(), unable to write to system config file '" +
                              path() + "'.\n");
    EXPECT_EQ(read_file(path() + "/inside"), "x");
}

// A player who keeps the settings with other dotfiles links launcher.cfg to them: the link must stay.
TEST_F(LauncherConfig, SaveThroughALinkReplacesTheFileItNamesAndKeepsItsMode) {
    const std::string dotfiles = home_.file("dotfiles");
    ASSERT_EQ(mkdir(dotfiles.c_str(), 0700), 0);
    write_file(dotfiles + "/varnholt.cfg", config_file("0"), 0600);
    ASSERT_EQ(symlink("../dotfiles/varnholt.cfg", path().c_str()), 0);
    log_capture log;
    load_system_config_file();
    set_beta_test_enable(1);

    EXPECT_EQ(log.text(), "");
    char target[256] = "";
    EXPECT_GT(readlink(path().c_str(), target, sizeof target - 1), 0) << "the link was replaced";
    EXPECT_STREQ(target, "../dotfiles/varnholt.cfg");
    EXPECT_EQ(read_file(dotfiles + "/varnholt.cfg"), config_file("1"));
    struct stat status;
    ASSERT_EQ(stat(path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(entries_of(dotfiles), std::vector<std::string>{"varnholt.cfg"});
    EXPECT_EQ(entries_of(directory()), std::vector<std::string>{"launcher.cfg"});
}

TEST_F(LauncherConfig, LinkThatNamesNoFileOrLoopsIsHandledAndLogged) {
    const std::string dotfiles = home_.file("dotfiles");
    ASSERT_EQ(mkdir(dotfiles.c_str(), 0700), 0);
    const std::string cannot_open =
        "Unable to save system config - cannot open config file '" + path() + "'.\n";
    const struct {
        const char* what;
        std::string link_to;
        int saved;
        std::string log;
    } cases[] = {
        {"dangling: the file is created where the link points", dotfiles + "/missing.cfg", 1,
         "save_system_config_file(), '" + path() + "' links to '" + dotfiles +
             "/missing.cfg', which does not exist: creating it.\n"},
        {"a loop", "launcher.cfg", 0,
         cannot_open + "Error in save_system_config_file(), cannot follow the symbolic link '" + path() +
             "': Too many levels of symbolic links.\n"},
        {"a directory", dotfiles, 0,
         cannot_open + "Error in save_system_config_file(), '" + path() + "' links to '" + dotfiles +
             "', which is not a regular file.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        unlink(path().c_str());
        ASSERT_EQ(symlink(c.link_to.c_str(), path().c_str()), 0);
        beta_test_enable = 1;
        log_capture log;
        EXPECT_EQ(save_system_config_file(), c.saved);
        EXPECT_EQ(log.text(), c.log);
        char target[256] = "";
        EXPECT_GT(readlink(path().c_str(), target, sizeof target - 1), 0) << "the link was replaced";
        EXPECT_EQ(target, c.link_to);
        if (c.saved) {
            EXPECT_EQ(read_file(c.link_to), config_file("1"));
        }
        EXPECT_EQ(entries_of(directory()), std::vector<std::string>{"launcher.cfg"});
    }
    EXPECT_EQ(entries_of(dotfiles), std::vector<std::string>{"missing.cfg"});
}

class LauncherConfigOnFullDisk : public LauncherConfig {
  protected:
    void prepare_directory() override {
        if (!in_test_sandbox()) {
            GTEST_SKIP() << "needs a private mount namespace";
        }
        // One page: the old file fills it, so the new one cannot be written beside it.
        ASSERT_EQ(mount("tmpfs", directory().c_str(), "tmpfs", 0, "size=4k,mode=0700"), 0) << strerror(errno);
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) {
            umount2(directory().c_str(), MNT_DETACH);
        }
    }
    bool mounted_ = false;
};

TEST_F(LauncherConfigOnFullDisk, OldFileStaysWhole) {
    write_file(path(), config_file("0"));
    log_capture log;
    set_beta_test_enable(1);
    EXPECT_EQ(read_file(path()), config_file("0"));
    EXPECT_EQ(log.text(), "Error in save_system_config_file(), unable to write to system config file '" +
                              path() + "'.\n");
    EXPECT_EQ(get_beta_test_enable(), 1);  // in effect for this run
}
