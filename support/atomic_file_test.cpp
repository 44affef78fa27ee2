#include "support/atomic_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

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
