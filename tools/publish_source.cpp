#include "tools/publish_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/publish_report.h"

namespace {

struct walk {
    const char* source;
    const std::vector<directory_identity>& excluded;
    std::vector<source_file>& files;
};

bool is_excluded(const walk& w, const struct stat& status) {
    for (const directory_identity& identity : w.excluded) {
        if (identity.device == status.st_dev && identity.inode == status.st_ino) {
            return true;
        }
    }
    return false;
}

// The path of an entry for messages: the source directory as given, then the relative name.
std::string shown_path(const walk& w, const std::string& relative) {
    return relative.empty() ? std::string(w.source) : std::string(w.source) + "/" + printable_name(relative);
}

// Takes ownership of `fd`, the directory `relative` ("" for the source directory itself).
int walk_directory(const walk& w, int fd, const std::string& relative_directory) {
    std::string prefix = relative_directory.empty() ? "" : relative_directory + "/";
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        publish_report("cannot read directory '%s': %s", shown_path(w, relative_directory).c_str(),
                       strerror(errno));
        close(fd);
        return 0;
    }
    std::vector<std::string> names;
    errno = 0;
    for (dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            names.push_back(entry->d_name);
        }
        errno = 0;
    }
    if (errno != 0) {
        publish_report("cannot read directory '%s': %s", shown_path(w, relative_directory).c_str(),
                       strerror(errno));
        closedir(dir);
        return 0;
    }
    std::sort(names.begin(), names.end());
    int complete = 1;
    for (const std::string& name : names) {
        std::string relative = prefix + name;
        std::string shown = printable_name(relative);
        struct stat status;
        if (fstatat(dirfd(dir), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            publish_report("cannot read '%s': %s", shown_path(w, relative).c_str(), strerror(errno));
            complete = 0;
        } else if (S_ISREG(status.st_mode)) {
            w.files.push_back(source_file{relative, static_cast<int64_t>(status.st_size)});
        } else if (S_ISLNK(status.st_mode)) {
            publish_report("skipped '%s': a symbolic link (links are not followed)", shown.c_str());
        } else if (!S_ISDIR(status.st_mode)) {
            publish_report("skipped '%s': not a regular file", shown.c_str());
        } else if (is_excluded(w, status)) {
            publish_report("skipped '%s': it is the output directory", shown.c_str());
        } else {
            int child = openat(dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0) {
                publish_report("cannot read directory '%s': %s", shown_path(w, relative).c_str(),
                               strerror(errno));
                complete = 0;
            } else {
                complete = walk_directory(w, child, relative) && complete;
            }
        }
    }
    closedir(dir);
    return complete;
}

}  // namespace

int collect_source_files(const char* source, const std::vector<directory_identity>& excluded,
                         std::vector<source_file>& files) {
    // The source directory itself may be a link: the operator named it.
    int fd = open(source, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        publish_report("cannot read source directory '%s': %s", source, strerror(errno));
        return 0;
    }
    walk w{source, excluded, files};
    return walk_directory(w, fd, "");
}
