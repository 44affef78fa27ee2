// The highest signed release this installation has accepted, kept in the executables directory as one
// decimal line, so that a publication older than one already installed is refused (rollback).
#pragma once

#include <cstdint>

// The file's name in the executables directory; no manifest record may use it.
extern const char accepted_release_file_name[];  // "accepted_release.txt"

// The release recorded at `path`: 0 when there is no file. A file that is not one decimal line is logged
// and counts as 0 (it is rewritten by the next accepted run).
int64_t read_accepted_release(const char* path);

// Records `release` at `path` through a temporary renamed over it. 1, or 0 after logging why (the old file
// stays).
int save_accepted_release(const char* path, int64_t release);
