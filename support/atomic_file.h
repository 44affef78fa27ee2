// A file replaced as a whole: it is written under a temporary name beside its final path and renamed
// over it only when every byte is written and on disk, so a full disk or a crash mid-write leaves the old
// file as it was. The temporary removes itself unless it was committed.
#pragma once

#include <cstdio>

#include "support/bounded_string.h"

class kest_atomic_file {
  public:
    // Creates the temporary "<path>.<pid>-<serial>.new": with the permissions of the regular file at
    // `path` when there is one, else 0666 less the umask (like fopen "wb"). Stale temporaries of `path` are
    // removed first (kest_remove_stale_temporaries). A symbolic link at `path` is replaced, not followed.
    explicit kest_atomic_file(const char* path);
    // An uncommitted temporary is closed and removed; the file at the final path is not touched.
    ~kest_atomic_file();
    kest_atomic_file(const kest_atomic_file&) = delete;
    kest_atomic_file& operator=(const kest_atomic_file&) = delete;

    // The stream to write the new content to, or null when the temporary could not be created
    // (errno tells why). The stream stays owned by this object: never fclose() it.
    FILE* stream() const { return file_; }

    // Flushes and syncs the content, closes the temporary and renames it over the final path.
    // 1 on success. 0 when any of that fails or an earlier write on stream() had failed: the temporary
    // is then removed, the old file stays, and errno tells the first failure.
    int commit();

    const char* temporary_path() const { return temporary_.c_str(); }

  private:
    void discard();

    bounded_string target_;
    bounded_string temporary_;
    FILE* file_ = nullptr;
};

// Removes the temporaries of `path` left by processes that ended between writing and renaming them
// (killed, or a power cut): the files named "<path>.<pid>-<serial>.new" whose pid is no running process.
// Never another name, nor the temporary of a process that is still running. Returns how many it removed.
int kest_remove_stale_temporaries(const char* path);
