// Temporary directories and whole-file reads and writes for tests.
#pragma once

#include <string>

class temp_directory {
public:
    temp_directory();
    ~temp_directory();  // removes the directory and everything in it
    temp_directory(const temp_directory&) = delete;
    temp_directory& operator=(const temp_directory&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

private:
    std::string path_;
};

std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
void write_file(const std::string& path, const std::string& content, int mode = 0644);
void remove_tree(const std::string& path);
