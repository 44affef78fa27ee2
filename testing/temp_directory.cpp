#include "testing/temp_directory.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

temp_directory::temp_directory() {
    char pattern[] = "/tmp/varnholt-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

temp_directory::~temp_directory() { remove_tree(path_); }

std::string temp_directory::file(const std::string& name) const { return path_ + "/" + name; }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool file_exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

void write_file(const std::string& path, const std::string& content, int mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        throw std::runtime_error("cannot write " + path);
    }
    close(fd);
    chmod(path.c_str(), mode);
}

void remove_tree(const std::string& path) {
    nftw(
        path.c_str(),
        [](const char* entry, const struct stat*, int, struct FTW*) {
            ::remove(entry);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}
