#include "testing/tree_snapshot.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "testing/temp_directory.h"

tree_snapshot snapshot_tree(const std::string& root) {
    // nftw() takes no context for its callback.
    thread_local tree_snapshot* tree;
    thread_local size_t prefix;
    tree_snapshot result;
    tree = &result;
    prefix = root.size() + 1;
    nftw(
        root.c_str(),
        [](const char* path, const struct stat* st, int type, FTW*) {
            if (strlen(path) < prefix) {
                return 0;
            }
            std::string name = path + prefix;
            if (type == FTW_D || type == FTW_DNR) {
                (*tree)[name] = "<dir>";
            } else if (type == FTW_SL) {
                char target[4096];
                ssize_t n = readlink(path, target, sizeof target);
                (*tree)[name] = "-> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
            } else if (type == FTW_F && S_ISREG(st->st_mode)) {
                (*tree)[name] = read_file(path);
            } else {
                (*tree)[name] = "<special>";
            }
            return 0;
        },
        16, FTW_PHYS);
    return result;
}

std::string tree_differences(const tree_snapshot& found, const tree_snapshot& expected) {
    std::string differences;
    auto note = [&](const std::string& what) { differences += (differences.empty() ? "" : ", ") + what; };
    for (const auto& [name, content] : expected) {
        auto it = found.find(name);
        if (it == found.end()) {
            note("missing " + name);
        } else if (it->second != content) {
            note("changed " + name);
        }
    }
    for (const auto& [name, content] : found) {
        if (expected.count(name) == 0) {
            note("new " + name);
        }
    }
    return differences;
}
