// File-system helpers: line reading, directory creation, the writeable-directory check and link resolution.
#pragma once

#include <sys/types.h>

#include <cstdio>

#include "support/bounded_string.h"

// Reads one line (without its line feed; carriage returns dropped) into `dest` of `size` bytes.
// 0 at end of input; otherwise the number of bytes stored plus one. A line that does not fit is reported,
// cut to size - 1 bytes, the next byte is lost and the rest is delivered by the following calls.
int fget_line(FILE* stream, char* dest, int size);

// Creates every directory named before the last '/' or '\' of `path` (an existing one is fine).
// 1 on success; 0 on failure, with the path that failed appended to `failed_path` when it is not null.
int kest_recursive_mkdir(const char* path, mode_t mode, bounded_string* failed_path);

// Creates `path` as a directory (mode 0700) if needed and proves that a file can be created in it.
int kest_create_and_check_writeable_directory(const char* path, mode_t mode, bounded_string* failed_path);

// The path that `path` names once the symbolic links at its end are followed, one after another; a
// dangling link resolves to the path it names (where a new file would be created through it), a path that
// is no link to itself. 1 on success; 0 after 40 links in a row (errno ELOOP: a loop, most likely), when
// a link cannot be read, or when the path does not fit (ENAMETOOLONG).
int kest_resolve_symbolic_links(const char* path, bounded_string& resolved);
