#include "updater/update_test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "testing/temp_directory.h"

const char manifest_header[] =
    "# This is an automatically generated file - do not modify\n"
    "# It contains a list of the files currently managed by the\n"
    "# updater.  Changing or deleting it may cause your next\n"
    "# update to download far more things than it needs.\n"
    "\n";

namespace {

std::string deflate_text(const std::string& text, int window_bits, int level) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, window_bits, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    std::string out(deflateBound(&stream, text.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) {
        throw std::runtime_error("deflate failed");
    }
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

void make_parent_directories(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
    }
}

}  // namespace

std::string gzip_text(const std::string& text, int level) {
    return deflate_text(text, 15 + 16, level);
}

std::string zlib_text(const std::string& text, int level) {
    return deflate_text(text, 15, level);
}

std::string manifest_line(const std::string& name, int size, char seed) {
    char line[64];
    snprintf(line, sizeof line, "%s %10d ", std::string(20, seed).c_str(), size);
    return line + name + "\n";
}

void update_server::put_manifest(const std::string& body) {
    put_file(list, body);
}

void update_server::put_file(const std::string& name, const std::string& content) {
    std::string path = docroot_.path() + root_path + "/" + name;
    make_parent_directories(path);
    write_file(path, content);
}

void update_server::start(const std::string& server_directives) {
    nginx_ = std::make_unique<nginx_server>(docroot_.path(), 80, server_directives);
}

std::string update_server::access_log(size_t lines) const {
    return nginx_->access_log(lines);
}

console_capture::console_capture() {
    fflush(nullptr);
    saved_fd_ = dup(1);
    int fd = open(dir_.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    close(fd);
}

console_capture::~console_capture() {
    fflush(nullptr);
    dup2(saved_fd_, 1);
    close(saved_fd_);
}

std::string console_capture::text() {
    fflush(nullptr);
    return read_file(dir_.file("stdout"));
}

child_outcome run_in_child(const std::function<int()>& body) {
    temp_directory dir;
    const std::string out_path = dir.file("stdout");
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        close(fd);
        int status = body();
        fflush(nullptr);
        _exit(status);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out_path)};
}
