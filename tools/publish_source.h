// The files of a source tree that a publication serves.
//
// Only regular files are published, each under its path relative to the source directory ("data/x.pak").
// Symbolic links are never followed, neither to files nor to directories, and like sockets, pipes and
// device files they are left out with a message. Hidden files are ordinary files here: they are published.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct source_file {
    std::string name;  // relative to the source directory, components separated by '/'
    int64_t size;      // as the walk found it
};

// A directory the walk does not enter (the output directory, when it lies inside the source).
struct directory_identity {
    dev_t device;
    ino_t inode;
};

// Appends the regular files below `source` to `files`, each directory's entries in byte order. Returns 1
// when every directory could be read; 0 when one could not, which has been reported.
int collect_source_files(const char* source, const std::vector<directory_identity>& excluded,
                         std::vector<source_file>& files);
