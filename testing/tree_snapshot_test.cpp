// The snapshot of a tree names every kind of entry as it is, and the differences name every change.
#include "testing/tree_snapshot.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testing/temp_directory.h"

namespace {

TEST(TreeSnapshot, EveryEntryBelowTheRootAsWhatItIs) {
    temp_directory root;
    ASSERT_EQ(mkdir(root.file("dir").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(root.file("dir/empty").c_str(), 0755), 0);
    write_file(root.file("dir/file"), std::string("bytes\0with a zero", 17));
    write_file(root.file("top"), "");
    ASSERT_EQ(symlink("dir/file", root.file("link").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", root.file("dangling").c_str()), 0);
    ASSERT_EQ(mkfifo(root.file("fifo").c_str(), 0644), 0);

    tree_snapshot expected = {
        {"dangling", "-> nowhere"},
        {"dir", "<dir>"},
        {"dir/empty", "<dir>"},
        {"dir/file", std::string("bytes\0with a zero", 17)},
        {"fifo", "<special>"},
        {"link", "-> dir/file"},
        {"top", ""},
    };
    EXPECT_EQ(snapshot_tree(root.path()), expected);
    EXPECT_EQ(snapshot_tree(root.file("missing")), tree_snapshot());
}

TEST(TreeSnapshot, DifferencesNameEveryChangeExpectedFirst) {
    const tree_snapshot expected = {{"a", "1"}, {"b", "2"}, {"c", "<dir>"}, {"d", "4"}};
    struct {
        tree_snapshot found;
        std::string differences;
    } cases[] = {
        {expected, ""},
        {{{"a", "1"}, {"b", "2"}, {"c", "<dir>"}}, "missing d"},
        {{{"a", "1"}, {"b", "two"}, {"c", "-> b"}, {"d", "4"}}, "changed b, changed c"},
        {{{"0", ""}, {"a", "1"}, {"b", "2"}, {"c", "<dir>"}, {"d", "4"}, {"e", ""}}, "new 0, new e"},
        {{{"a", ""}, {"e", "5"}}, "changed a, missing b, missing c, missing d, new e"},
        {{}, "missing a, missing b, missing c, missing d"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tree_differences(c.found, expected), c.differences);
    }
}

}  // namespace
