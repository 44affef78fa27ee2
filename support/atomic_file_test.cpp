#include "support/atomic_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "testing/temp_directory.h"

namespace {

int entry_count(const std::string& path) {
    int count = 0;
    DIR* dir = opendir(path.c_str());
    for (dirent* d = readdir(dir); d != nullptr; d = readdir(dir)) {
        count += strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0;
    }
    closedir(dir);
    return count;
}

std::vector<std::string> entries_of(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    for (dirent* d = readdir(dir); d != nullptr; d = readdir(dir)) {
        if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0) {
            names.push_back(d->d_name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// A process that has ended and been reaped: its pid names no running process.
pid_t ended_process() {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    waitpid(pid, nullptr, 0);
    return pid;
}

// A child that runs until the object is destroyed.
class running_process {
  public:
    running_process() {
        if (pipe(pipe_) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(pipe_[1]);
            char byte;
            while (read(pipe_[0], &byte, 1) < 0 && errno == EINTR) {
            }
            _exit(0);
        }
        close(pipe_[0]);
    }
    ~running_process() {
        close(pipe_[1]);  // the child reads the end of its pipe and ends
        waitpid(pid_, nullptr, 0);
    }
    running_process(const running_process&) = delete;
    running_process& operator=(const running_process&) = delete;
    pid_t pid() const { return pid_; }

  private:
    int pipe_[2] = {-1, -1};
    pid_t pid_ = -1;
};

mode_t mode_of(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

}  // namespace

TEST(AtomicFile, OldContentStaysUntilCommit) {
    temp_directory dir;
    std::string path = dir.file("settings");
    write_file(path, "old\n");
    {
        kest_atomic_file file(path.c_str());
        ASSERT_NE(file.stream(), nullptr);
        std::string temporary = file.temporary_path();
        EXPECT_EQ(temporary.rfind(path + ".", 0), 0u);
        EXPECT_EQ(temporary.substr(temporary.size() - 4), ".new");
        fputs("new\n", file.stream());
        fflush(file.stream());
        EXPECT_EQ(read_file(path), "old\n");
        EXPECT_EQ(file.commit(), 1);
        EXPECT_FALSE(file_exists(temporary));
    }
    EXPECT_EQ(read_file(path), "new\n");
    EXPECT_EQ(entry_count(dir.path()), 1);
}

TEST(AtomicFile, UncommittedTemporaryRemovesItself) {
    temp_directory dir;
    std::string path = dir.file("settings");
    write_file(path, "old\n");
    {
        kest_atomic_file first(path.c_str());
        kest_atomic_file second(path.c_str());  // two savers never share a temporary
        ASSERT_NE(first.stream(), nullptr);
        ASSERT_NE(second.stream(), nullptr);
        EXPECT_STRNE(first.temporary_path(), second.temporary_path());
        fputs("half", first.stream());
        EXPECT_EQ(entry_count(dir.path()), 3);
    }
    EXPECT_EQ(read_file(path), "old\n");
    EXPECT_EQ(entry_count(dir.path()), 1);
}

TEST(AtomicFile, FailuresReportZeroAndLeaveNothingBehind) {
    temp_directory dir;
    kest_atomic_file nowhere(dir.file("missing/settings").c_str());
    EXPECT_EQ(nowhere.stream(), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(nowhere.commit(), 0);

    // Written completely, then the rename over a non-empty directory fails.
    mkdir(dir.file("taken").c_str(), 0700);
    write_file(dir.file("taken/inside"), "");
    kest_atomic_file blocked(dir.file("taken").c_str());
    ASSERT_NE(blocked.stream(), nullptr);
    fputs("content", blocked.stream());
    EXPECT_EQ(blocked.commit(), 0);
    EXPECT_TRUE(errno == ENOTEMPTY || errno == EISDIR || errno == EEXIST) << strerror(errno);
    EXPECT_EQ(entry_count(dir.path()), 1);

    // A write error on the stream fails the commit even when later flushes succeed.
    kest_atomic_file written(dir.file("flagged").c_str());
    ASSERT_NE(written.stream(), nullptr);
    fputs("content", written.stream());
    std::string temporary = written.temporary_path();
    EXPECT_EQ(fgetc(written.stream()), EOF);  // reading a write-only stream sets its error flag
    EXPECT_EQ(written.commit(), 0);
    EXPECT_FALSE(file_exists(dir.file("flagged")));
    EXPECT_FALSE(file_exists(temporary));
}

// What a save killed between writing and renaming leaves: "<name>.<pid>-<serial>.new". The next save
// removes those of processes that have ended, and nothing else.
TEST(AtomicFile, NextSaveRemovesTemporariesOfEndedProcessesOnly) {
    temp_directory dir;
    write_file(dir.file("settings"), "old\n");
    running_process live;
    ASSERT_GT(live.pid(), 0);
    const std::string ended = std::to_string(ended_process());
    const std::string running = std::to_string(live.pid());
    const std::string self = std::to_string(getpid());
    const struct {
        std::string name;
        bool removed;
    } cases[] = {
        {"settings." + ended + "-0.new", true},      {"settings." + ended + "-17.new", true},
        {"settings." + running + "-0.new", false},    // still being written by a running process
        {"settings." + self + "-9999.new", false},    // this process's own
        {"settings." + ended + "-0.new.bak", false},  // other names, however close
        {"settings." + ended + ".new", false},       {"settings." + ended + "-.new", false},
        {"settings.-" + ended + "-0.new", false},    {"settings.0-0.new", false},
        {"settings.99999999999-0.new", false},       {"settingsx." + ended + "-0.new", false},
        {"other." + ended + "-0.new", false},        {"settings", false},
    };
    std::vector<std::string> kept;
    for (const auto& c : cases) {
        if (c.name != "settings") {
            write_file(dir.file(c.name), "left behind");
        }
        if (!c.removed) {
            kept.push_back(c.name);
        }
    }
    std::sort(kept.begin(), kept.end());

    kest_atomic_file file(dir.file("settings").c_str());
    ASSERT_NE(file.stream(), nullptr);
    fputs("new\n", file.stream());
    ASSERT_EQ(file.commit(), 1);

    EXPECT_EQ(entries_of(dir.path()), kept);
    EXPECT_EQ(read_file(dir.file("settings")), "new\n");
    EXPECT_EQ(kest_remove_stale_temporaries(dir.file("settings").c_str()), 0);
}

TEST(AtomicFile, ReplacementKeepsThePermissionsOfTheFileItReplaces) {
    temp_directory dir;
    const mode_t saved_umask = umask(022);
    for (mode_t mode : {0600, 0640, 0755, 0444}) {
        SCOPED_TRACE(mode);
        std::string path = dir.file("kept-" + std::to_string(mode));
        write_file(path, "old", static_cast<int>(mode));
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        kest_atomic_file file(path.c_str());
        ASSERT_NE(file.stream(), nullptr);
        EXPECT_EQ(mode_of(file.temporary_path()), mode) << "while it is written";
        fputs("new", file.stream());
        ASSERT_EQ(file.commit(), 1);
        EXPECT_EQ(mode_of(path), mode);
    }
    // A new file, and one in place of a link (replaced, not followed), get 0666 less the umask.
    write_file(dir.file("target"), "target", 0600);
    ASSERT_EQ(symlink("target", dir.file("link").c_str()), 0);
    for (const char* name : {"new", "link"}) {
        SCOPED_TRACE(name);
        kest_atomic_file file(dir.file(name).c_str());
        ASSERT_NE(file.stream(), nullptr);
        ASSERT_EQ(file.commit(), 1);
        EXPECT_EQ(mode_of(dir.file(name)), 0644u);
    }
    EXPECT_EQ(read_file(dir.file("target")), "target");
    umask(saved_umask);
}
