// What a directory tree holds, for tests that check what a program left on disk, and how two such
// snapshots differ.
#pragma once

#include <map>
#include <string>

// Every entry below a root by its path relative to the root: a regular file's contents, "<dir>" for a
// directory, "-> target" for a symbolic link (not followed), "<special>" for anything else.
using tree_snapshot = std::map<std::string, std::string>;

// The tree below `root` (which is not listed itself); empty when `root` cannot be read.
tree_snapshot snapshot_tree(const std::string& root);

// How `found` differs from `expected`, briefly: "missing NAME" and "changed NAME" for the entries
// expected, then "new NAME" for the others, each in name order, joined by ", "; "" when both are equal.
std::string tree_differences(const tree_snapshot& found, const tree_snapshot& expected);
