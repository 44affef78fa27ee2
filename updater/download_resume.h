// What the partial download in the temporary download file is: the record it was fetched for (name, size
// and hash text of the manifest line) and how many of its first bytes are known to be on disk. Kept as a
// small text file beside the temporary file, replaced whole, so that a launcher killed or cut off in the
// middle of a large file continues it at its next start instead of fetching it again.
#pragma once

#include <cstdint>

#include "support/bounded_string.h"

// The record's name, beside the temporary file; no manifest record may use it.
extern const char download_resume_file_name[];  // "download_resume.txt"

struct download_resume_record {
    bounded_string name;
    bounded_string hash;
    int32_t size = 0;
    int64_t held = 0;  // 0 <= held <= size
};

// Appends the path of the record that describes `temporary_file` (in its directory).
void append_download_resume_path(bounded_string& path, const char* temporary_file);

// Reads the record at `path`: 1 with its fields; 0 when there is none, and 0 after logging when it is
// damaged (anything but the lines save_download_resume writes, in that order).
int read_download_resume(const char* path, download_resume_record& record);

// Writes the record through a temporary renamed over `path`, synced. 1, or 0 after logging why (the old
// record stays).
int save_download_resume(const char* path, const download_resume_record& record);

// Removes the record at `path` if there is one. 1, or 0 after logging why it could not be removed.
int remove_download_resume(const char* path);
