// The start-up as real processes: exit statuses, the log, the configuration directory and the paths.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/process.h"
#include "testing/temp_directory.h"

namespace {

const char log_path[] = "/tmp/varnholt_tessar_launcher.txt";

class Startup : public testing::Test {
protected:
    void SetUp() override { unlink(log_path); }
    void TearDown() override { unlink(log_path); }

    process_result start(std::vector<std::string> arguments, std::vector<std::string> environment = {}) {
        std::vector<std::string> argv{test_binary_directory() + "/launcher_startup_probe"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        process_options options;
        options.environment = {"HOME=" + home_.path(), "LC_ALL=C.UTF-8"};
        options.environment.insert(options.environment.end(), environment.begin(), environment.end());
        options.working_directory = home_.path();
        return run_process(argv, options);
    }
    std::string log() const { return read_file(log_path); }
    std::string name_line() const {
        return "Executable name '" + test_binary_directory() + "/launcher_startup_probe'.\n";
    }

    temp_directory home_;
};

}  // namespace

TEST_F(Startup, NoArgumentsLogsOnlyTheProgramName) {
    process_result r = start({});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(log(), name_line());
    std::string dir = home_.file(".Varnholt");
    EXPECT_EQ(r.out, "config_directory=" + dir + "\nlocal_manifest_path=" + dir +
                         "/executables/update_manifest.lst\nexecutables_dir=" + dir +
                         "/executables\ncrash_detect_path=" + dir + "/bootname.txt\nverbose_printing=0\n");
}

TEST_F(Startup, HelpLogsTheSyntaxAndExitsWithZero) {
    process_result r = start({"-h", "-x"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    std::string program = test_binary_directory() + "/launcher_startup_probe";
    EXPECT_EQ(log(), name_line() + "Syntax:\n" + program +
                         " [-h] [-b] [-u] [-v]\n\nOptions are:\n  -h   - this help screen\n"
                         "  -b   - switch to beta test mode\n  -u   - switch out of beta test mode\n"
                         "  -v   - more verbose debug printing\n\n");
    EXPECT_EQ(start({"--HELP"}).exit_status, 0);
}

TEST_F(Startup, OptionsActInOrderInAnyCase) {
    process_result r = start({"-B", "--unbeta", "--VERBOSE", "-V"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.out.find("verbose_printing=1\n"), std::string::npos);
    EXPECT_EQ(log(), name_line() +
                         "Forcing beta test mode.\nForcing non-beta test mode.\n"
                         "Setting verbose printing mode.\nSetting verbose printing mode.\n");
}

TEST_F(Startup, UnknownOptionExitsWithOneAfterTheOnesBefore) {
    process_result r = start({"-v", "-x", "-h"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(log(), name_line() +
                         "Setting verbose printing mode.\n"
                         "Sorry, unknown command line option '-x'.  Use '-h' for a list.\n");
}

TEST_F(Startup, UnprintableCharactersAreShownAsDotsTabsKept) {
    EXPECT_EQ(start({"caf\xc3\xa9"}).exit_status, 1);
    EXPECT_NE(log().find("Sorry, unknown command line option 'caf.'.  Use '-h' for a list.\n"), std::string::npos);
    unlink(log_path);
    EXPECT_EQ(start({"a\tb"}).exit_status, 1);
    EXPECT_NE(log().find("option 'a\tb'."), std::string::npos);
}

TEST_F(Startup, WithoutHomeTheLauncherCannotStart) {
    process_result r = start({}, {"HOME"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(log().find("Boot failed, unable to get at system config directory.\n"), std::string::npos);
}

TEST_F(Startup, UnusableHomeFallsBackToTheWorkingDirectory) {
    write_file(home_.file("plain-file"), "");
    process_result r = start({}, {"HOME=" + home_.file("plain-file")});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.out.find("config_directory=.Varnholt\n"), std::string::npos);
}

TEST_F(Startup, LogThatCannotBeOpenedStaysSilent) {
    // A directory in place of the log file: the open fails, and nothing may go to standard output.
    ASSERT_EQ(mkdir(log_path, 0700), 0);
    process_result r = start({"-x"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    rmdir(log_path);
}
