// The start-up as real processes: exit statuses, the log, the configuration directory and the paths.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "testing/process.h"
#include "testing/temp_directory.h"

namespace {

const char log_path[] = "/tmp/varnholt_tessar_launcher.txt";

std::string config_file(int beta, const char* version = "1.095-gtk-rc5") {
    return std::string(
               "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<launcher_config>\n  <launcher_version>") +
           version + "</launcher_version>\n  <beta_test_enable>" + std::to_string(beta) +
           "</beta_test_enable>\n</launcher_config>\n\n";
}

ino_t inode_of(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

std::vector<std::string> entries_of(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    for (dirent* d = dir != nullptr ? readdir(dir) : nullptr; d != nullptr; d = readdir(dir)) {
        if (d->d_name[0] != '.') {
            names.push_back(d->d_name);
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return names;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class Startup : public testing::Test {
protected:
    // An installed launcher: its settings file is there and written by this version.
    void SetUp() override {
        unlink(log_path);
        mkdir(home_.file(".Varnholt").c_str(), 0700);
        write_file(config_path(), config_file(0));
    }
    void TearDown() override { unlink(log_path); }

    process_result start(std::vector<std::string> arguments, std::vector<std::string> environment = {},
                         double timeout_seconds = 60) {
        return run_probe({}, arguments, environment, timeout_seconds);
    }
    // The probe under strace with these options; its trace goes to trace_path().
    process_result start_traced(std::vector<std::string> strace_options, std::vector<std::string> arguments) {
        std::vector<std::string> wrapper{"/usr/bin/strace", "-f", "-qq", "-y", "-o", trace_path()};
        wrapper.insert(wrapper.end(), strace_options.begin(), strace_options.end());
        wrapper.push_back("--");
        // LeakSanitizer cannot work under ptrace: in a sanitizer build the traced probe checks no leaks.
        const char* asan_options = getenv("ASAN_OPTIONS");
        std::string options =
            asan_options != nullptr && asan_options[0] != '\0' ? std::string(asan_options) + ":" : "";
        return run_probe(wrapper, arguments, {"ASAN_OPTIONS=" + options + "detect_leaks=0"}, 60);
    }
    process_result run_probe(std::vector<std::string> argv, const std::vector<std::string>& arguments,
                             const std::vector<std::string>& environment, double timeout_seconds) {
        argv.push_back(test_binary_directory() + "/launcher_startup_probe");
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        process_options options;
        options.timeout_seconds = timeout_seconds;
        options.environment = {"HOME=" + home_.path(), "LC_ALL=C.UTF-8"};
        options.environment.insert(options.environment.end(), environment.begin(), environment.end());
        options.working_directory = home_.path();
        return run_process(argv, options);
    }
    std::string log() const { return read_file(log_path); }
    std::string config_path() const { return home_.file(".Varnholt/launcher.cfg"); }
    std::string trace_path() const { return home_.file("strace.txt"); }
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
                         "/executables\ncrash_detect_path=" + dir +
                         "/bootname.txt\nverbose_printing=0\n"
                         "beta_test_enable=0\n");
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

TEST_F(Startup, FifoInPlaceOfTheLogDoesNotStopTheStart) {
    // Opened for writing as a log, a FIFO without a reader would wait for one for ever.
    ASSERT_EQ(mkfifo(log_path, 0666), 0);
    process_result r = start({"-h"}, {}, 30);
    EXPECT_FALSE(r.timed_out) << "start-up waited on the FIFO";
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    unlink(log_path);
}

TEST_F(Startup, MissingConfigFileIsWrittenAnew) {
    unlink(config_path().c_str());
    process_result r = start({});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(read_file(config_path()), config_file(0));
    EXPECT_EQ(log(), "Unable to load system config - cannot open config file '" + config_path() + "'.\n" +
                         name_line());
}

TEST_F(Startup, BetaOptionsSaveOnlyWhenTheModeChanges) {
    const struct {
        const char* file;  // null: no launcher.cfg
        std::vector<std::string> arguments;
        int saves;
        int beta;
        std::string written;
    } cases[] = {
        {"0", {"-b"}, 1, 1, config_file(1)},
        {"1", {"--BETA"}, 0, 1, config_file(1)},
        {nullptr, {"-b"}, 2, 1, config_file(1)},  // the missing file is written, then -b saves again
        {"1", {"-u"}, 1, 0, config_file(0)},
        {"0", {"-b", "-u"}, 2, 0, config_file(0)},
        {"other 1", {}, 1, 1, config_file(1)},  // another version's file is rewritten with its value
        {"2", {}, 0, 2, config_file(2)},
        {"2", {"-b"}, 1, 1, config_file(1)},
    };
    for (const auto& c : cases) {
        std::string label = std::string(c.file != nullptr ? c.file : "none");
        unlink(config_path().c_str());
        if (c.file != nullptr && std::string(c.file) == "other 1") {
            write_file(config_path(), config_file(1, "1.094-gtk-rc2"));
        } else if (c.file != nullptr) {
            write_file(config_path(), config_file(atoi(c.file)));
        }
        ino_t before = inode_of(config_path());
        unlink(log_path);
        process_result r = start(c.arguments, {"VARNHOLT_PROBE_LOG_LEVEL=3"});
        EXPECT_EQ(r.exit_status, 0) << label;
        EXPECT_NE(r.out.find("beta_test_enable=" + std::to_string(c.beta) + "\n"), std::string::npos)
            << label;
        EXPECT_EQ(count_of(log(), "Saving system config to file '" + config_path() + "'.\n"), c.saves)
            << label;
        EXPECT_EQ(read_file(config_path()), c.written) << label;
        if (c.saves == 0) {
            EXPECT_EQ(inode_of(config_path()), before) << label;  // not even rewritten in place
        }
        EXPECT_EQ(entries_of(home_.file(".Varnholt")), std::vector<std::string>{"launcher.cfg"}) << label;
    }
}

// The save's temporary is synced before it is renamed over launcher.cfg, and the directory after the
// rename: without either a power cut can leave no settings file, or an empty one.
TEST_F(Startup, SaveSyncsTheNewFileBeforeTheRenameAndItsDirectoryAfter) {
    ASSERT_EQ(start_traced({"-e", "trace=fsync,fdatasync,rename,renameat,renameat2"}, {"-b"}).exit_status, 0);
    EXPECT_EQ(read_file(config_path()), config_file(1));
    const std::vector<std::string> trace = lines_of(read_file(trace_path()));
    // rename("<temporary>", "<config path>") = 0, or a renameat with directory descriptors before each path
    const std::string target = "\"" + config_path() + "\"";
    const std::string temporary_start = "\"" + config_path() + ".";
    size_t rename_at = 0;
    std::string temporary;
    for (; rename_at < trace.size(); ++rename_at) {
        const std::string& line = trace[rename_at];
        size_t from = line.find(temporary_start);
        if (line.find("rename") != std::string::npos && line.find(target) != std::string::npos &&
            from != std::string::npos && line.compare(line.size() - 4, 4, " = 0") == 0) {
            temporary = line.substr(from + 1, line.find('"', from + 1) - from - 1);
            break;
        }
    }
    ASSERT_FALSE(temporary.empty()) << "no rename over launcher.cfg\n" << read_file(trace_path());

    auto synced = [&](const std::string& path, size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            if (trace[i].find("sync(") != std::string::npos &&
                trace[i].find("<" + path + ">) = 0") != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(synced(temporary, 0, rename_at)) << "the new content before the rename\n"
                                                 << read_file(trace_path());
    EXPECT_TRUE(synced(home_.file(".Varnholt"), rename_at + 1, trace.size()))
        << "the directory after the rename\n"
        << read_file(trace_path());
}

TEST_F(Startup, SaveWhoseSyncFailsKeepsTheOldFile) {
    process_result r = start_traced({"-e", "trace=fsync", "-e", "inject=fsync:error=EIO"}, {"-b"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(read_file(config_path()), config_file(0));
    EXPECT_NE(log().find("Error in save_system_config_file(), unable to write to system config file '" +
                         config_path() + "'.\n"),
              std::string::npos)
        << log();
    EXPECT_EQ(entries_of(home_.file(".Varnholt")), std::vector<std::string>{"launcher.cfg"});
}

// A save killed between writing its temporary and renaming it leaves the temporary; the next start
// removes it.
TEST_F(Startup, TemporaryOfASaveKilledBeforeItsRenameIsRemovedAtTheNextStart) {
    process_result killed = start_traced(
        {"-e", "trace=rename,renameat,renameat2", "-e", "inject=rename,renameat,renameat2:signal=KILL"},
        {"-b"});
    ASSERT_NE(killed.exit_status, 0);
    std::vector<std::string> left = entries_of(home_.file(".Varnholt"));
    ASSERT_EQ(left.size(), 2u) << "no temporary left behind";
    const std::string temporary = left[0] == "launcher.cfg" ? left[1] : left[0];
    EXPECT_EQ(temporary.rfind("launcher.cfg.", 0), 0u) << temporary;
    EXPECT_EQ(read_file(home_.file(".Varnholt/" + temporary)), config_file(1));
    EXPECT_EQ(read_file(config_path()), config_file(0));

    EXPECT_EQ(start({}).exit_status, 0);
    EXPECT_EQ(entries_of(home_.file(".Varnholt")), std::vector<std::string>{"launcher.cfg"});
    EXPECT_EQ(read_file(config_path()), config_file(0));
}
