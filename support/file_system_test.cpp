#include "support/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "testing/log_capture.h"
#include "testing/temp_directory.h"

namespace {

// A read stream over `bytes` (which may hold NUL bytes).
FILE* stream_of(const std::string& bytes) {
    FILE* f = tmpfile();
    fwrite(bytes.data(), 1, bytes.size(), f);
    rewind(f);
    return f;
}

bool is_directory(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

TEST(FgetLine, CarriageReturnsAreDroppedAndEndOfFileGivesZero) {
    FILE* f = stream_of("ab\r\ncd");
    char line[16];
    EXPECT_EQ(fget_line(f, line, sizeof line), 3);
    EXPECT_STREQ(line, "ab");
    EXPECT_EQ(fget_line(f, line, sizeof line), 3);
    EXPECT_STREQ(line, "cd");
    strcpy(line, "untouched");
    EXPECT_EQ(fget_line(f, line, sizeof line), 0);
    EXPECT_STREQ(line, "untouched");
    fclose(f);
}

TEST(FgetLine, EmptyLinesAndNulBytesEndLines) {
    FILE* f = stream_of(std::string("\n\0x\0y\n", 6));
    char line[16];
    EXPECT_EQ(fget_line(f, line, sizeof line), 1);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(fget_line(f, line, sizeof line), 1);  // the NUL is consumed
    EXPECT_STREQ(line, "");
    EXPECT_EQ(fget_line(f, line, sizeof line), 2);
    EXPECT_STREQ(line, "x");
    EXPECT_EQ(fget_line(f, line, sizeof line), 2);
    EXPECT_STREQ(line, "y");
    EXPECT_EQ(fget_line(f, line, sizeof line), 0);
    fclose(f);
}

TEST(FgetLine, OverflowAtSizeEight) {
    log_capture log;
    char line[8];

    FILE* exact = stream_of("1234567\nnext\n");
    EXPECT_EQ(fget_line(exact, line, 8), 8);
    EXPECT_STREQ(line, "1234567");
    EXPECT_EQ(fget_line(exact, line, 8), 5);  // the line feed was consumed
    EXPECT_STREQ(line, "next");
    fclose(exact);

    FILE* longer = stream_of("abcdefghij\n");
    EXPECT_EQ(fget_line(longer, line, 8), 8);
    EXPECT_STREQ(line, "abcdefg");
    EXPECT_EQ(fget_line(longer, line, 8), 3);  // 'h' is lost
    EXPECT_STREQ(line, "ij");
    fclose(longer);

    EXPECT_EQ(log.text(),
              "Warning in fget_line(), string overflow.  String was:\n1234567\n"
              "Warning in fget_line(), string overflow.  String was:\nabcdefg\n");
}

TEST(FgetLine, LastLineWithoutLineFeed) {
    FILE* f = stream_of("tail");
    char line[16];
    EXPECT_EQ(fget_line(f, line, sizeof line), 5);
    EXPECT_STREQ(line, "tail");
    EXPECT_EQ(fget_line(f, line, sizeof line), 0);
    fclose(f);
}

TEST(RecursiveMkdir, CreatesEverythingBeforeTheLastSeparator) {
    temp_directory dir;
    EXPECT_EQ(kest_recursive_mkdir(dir.file("a/b/c").c_str(), 0700, nullptr), 1);
    EXPECT_TRUE(is_directory(dir.file("a/b")));
    EXPECT_FALSE(file_exists(dir.file("a/b/c")));
    EXPECT_EQ(kest_recursive_mkdir(dir.file("a/b/c/").c_str(), 0700, nullptr), 1);
    EXPECT_TRUE(is_directory(dir.file("a/b/c")));
    EXPECT_EQ(kest_recursive_mkdir("", 0700, nullptr), 1);
}

TEST(RecursiveMkdir, DoubledAndBackSlashes) {
    temp_directory dir;
    EXPECT_EQ(kest_recursive_mkdir((dir.path() + "//x//y/z").c_str(), 0700, nullptr), 1);
    EXPECT_TRUE(is_directory(dir.file("x/y")));

    std::string backslashed = dir.path();
    for (char& c : backslashed) {
        if (c == '/') {
            c = '\\';
        }
    }
    EXPECT_EQ(kest_recursive_mkdir((backslashed + "\\p\\q\\").c_str(), 0700, nullptr), 1);
    EXPECT_TRUE(is_directory(dir.file("p/q")));
}

TEST(RecursiveMkdir, FailureNamesThePathThatFailed) {
    temp_directory dir;
    write_file(dir.file("file"), "");
    bounded_string failed;
    // The existing file gives EEXIST and is passed over; the directory beneath it cannot be made.
    EXPECT_EQ(kest_recursive_mkdir(dir.file("file/sub/x").c_str(), 0700, &failed), 0);
    EXPECT_EQ(std::string(failed.c_str()), dir.file("file/sub"));

    log_capture log;
    EXPECT_EQ(kest_recursive_mkdir(nullptr, 0700, nullptr), 0);
    EXPECT_EQ(log.text(), "Error in kest_recursive_mkdir(), NULL path.\n");
}

TEST(WriteableDirectory, CreatesProvesAndCleansUp) {
    temp_directory dir;
    std::string target = dir.file("new/deeper");
    EXPECT_EQ(kest_create_and_check_writeable_directory(target.c_str(), 0755, nullptr), 1);
    struct stat status;
    ASSERT_EQ(stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);  // whatever mode was asked for
    EXPECT_FALSE(file_exists(target + "/xx-rw-test.qqq"));

    write_file(target + "/xx-rw-test.qqq", "old");
    EXPECT_EQ(kest_create_and_check_writeable_directory(target.c_str(), 0700, nullptr), 1);
    EXPECT_FALSE(file_exists(target + "/xx-rw-test.qqq"));
}

TEST(WriteableDirectory, RefusesAFileInPlaceOfTheDirectory) {
    temp_directory dir;
    write_file(dir.file("blocker"), "");
    bounded_string failed;
    EXPECT_EQ(kest_create_and_check_writeable_directory(dir.file("blocker").c_str(), 0700, &failed), 0);
    EXPECT_EQ(std::string(failed.c_str()), dir.file("blocker/xx-rw-test.qqq"));
}

TEST(WriteableDirectory, RefusesAnUnwritableDirectoryForAnUnprivilegedUser) {
    temp_directory dir;
    chmod(dir.path().c_str(), 0755);
    pid_t child = fork();
    if (child == 0) {
        // Permission bits do not stop root, so the check runs as nobody.
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(2);
        }
        _exit(kest_create_and_check_writeable_directory(dir.path().c_str(), 0700, nullptr));
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) {
        GTEST_SKIP() << "cannot switch to an unprivileged user";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ResolveSymbolicLinks, FollowsEveryLinkAtTheEnd) {
    temp_directory dir;
    const std::string other = dir.file("other");
    ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
    write_file(other + "/file", "");
    const struct {
        const char* name;
        std::string link_to;  // "" for no link
        std::string resolved;
    } cases[] = {
        {"plain", "", dir.file("plain")},
        {"absolute", other + "/file", other + "/file"},
        {"relative", "other/file", dir.file("other/file")},
        {"chain", "relative", dir.file("other/file")},
        {"dangling", "other/missing", dir.file("other/missing")},  // where a new file would be created
        {"through-directory", "other/../other/file", dir.file("other/../other/file")},
    };
    write_file(dir.file("plain"), "");
    for (const auto& c : cases) {
        if (!c.link_to.empty()) {
            ASSERT_EQ(symlink(c.link_to.c_str(), dir.file(c.name).c_str()), 0);
        }
    }
    // A link in another directory, relative to its own directory rather than the working directory.
    ASSERT_EQ(symlink("file", (other + "/sibling").c_str()), 0);
    ASSERT_EQ(symlink("other/sibling", dir.file("two-directories").c_str()), 0);

    for (const auto& c : cases) {
        bounded_string resolved;
        EXPECT_EQ(kest_resolve_symbolic_links(dir.file(c.name).c_str(), resolved), 1) << c.name;
        EXPECT_EQ(std::string(resolved.c_str()), c.resolved) << c.name;
    }
    bounded_string resolved;
    EXPECT_EQ(kest_resolve_symbolic_links(dir.file("two-directories").c_str(), resolved), 1);
    EXPECT_EQ(std::string(resolved.c_str()), dir.file("other/file"));
    EXPECT_EQ(kest_resolve_symbolic_links(dir.file("missing").c_str(), resolved), 1);
    EXPECT_EQ(std::string(resolved.c_str()), dir.file("missing"));
}

TEST(ResolveSymbolicLinks, LoopsAndUnreadablePathsFail) {
    temp_directory dir;
    ASSERT_EQ(symlink("self", dir.file("self").c_str()), 0);
    ASSERT_EQ(symlink("b", dir.file("a").c_str()), 0);
    ASSERT_EQ(symlink("a", dir.file("b").c_str()), 0);
    write_file(dir.file("file"), "");
    for (const char* name : {"self", "a"}) {
        bounded_string resolved;
        errno = 0;
        EXPECT_EQ(kest_resolve_symbolic_links(dir.file(name).c_str(), resolved), 0) << name;
        EXPECT_EQ(errno, ELOOP) << name;
    }
    bounded_string resolved;
    errno = 0;
    EXPECT_EQ(kest_resolve_symbolic_links(dir.file("file/below-a-file").c_str(), resolved), 0);
    EXPECT_EQ(errno, ENOTDIR);
}
