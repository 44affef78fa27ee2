// Keeps a directory of downloaded files in step with a list of files to fetch: decides whether a local
// copy is current, downloads each chosen file into a temporary file, renames it over its target, records
// it in the local manifest and saves that manifest now and then and at the end. It reports through
// callbacks only.
#pragma once

#include <ctime>

#include <cstdint>

#include "support/bounded_string.h"
#include "updater/file_manifest.h"
#include "updater/pointer_containers.h"

// Appends the path of a managed file: directory + "/" + name, or the name alone when directory is null
// or empty.
void append_managed_path(bounded_string& path, const char* directory, const char* name);

struct ssl_ctx_st;

class tal_filesystem_updater {
  public:
    using file_progress_callback_type = int (*)(void* user, int received, int expected);
    using bytes_progress_callback_type = void (*)(void* user, double done, double total);
    using message_callback_type = void (*)(void* user, const char* text);
    using clock_type = time_t (*)();

    static constexpr int32_t default_save_interval_seconds = 10;

    tal_filesystem_updater();
    ~tal_filesystem_updater();  // frees the texts and the manifest
    tal_filesystem_updater(const tal_filesystem_updater&) = delete;
    tal_filesystem_updater& operator=(const tal_filesystem_updater&) = delete;

    // 1 if `directory` exists or was created and a file can be created in it (0 for null).
    int set_destination_path(const char* directory);
    // 1 if the directories leading to `path` exist or were created and the file can be created.
    int set_temporary_file(const char* path);
    // Reads the local manifest (set the destination first) and drops the entries whose file is gone. 1,
    // or 0 when the file is missing or damaged: the path is kept for the saves, and a damaged file's
    // entries before the bad line are kept, pruned of missing files and marked for rewriting, so one bad
    // line heals at the next save instead of staying for good.
    int load_manifest(const char* path);
    // 1 if `remote` must be fetched: the manifest holds no entry of its name, or one of another size or
    // hash. 0 if the local copy is current.
    int needs_update(const manifest_entry& remote);
    // Downloads and installs every entry of `files` (manifest_entry pointers) in order; a file's failure
    // never stops the loop, a failed save of the manifest does. 0 when the list was processed; 1 (no
    // temporary file), 2 (no destination) or 5 (either unwriteable) when it could not start; 6 when the
    // manifest could not be saved.
    int update_files(const char* host, const char* root, const pointer_vector& files);
    // 1 if `name` arrived whole in the temporary file: a complete 200 response of exactly `size` bytes,
    // and, when sha256 is given, with that SHA-256 (computed while the file arrives).
    int download_file(const char* host, const char* root, const char* name, int32_t size,
                      const char* sha256 = nullptr);

    // Saves the manifest when more than save_interval_seconds have passed since it was last saved or
    // seen clean.
    void save_manifest_periodically();
    // Saves the manifest if it changed. When a save fails, that is reported once, manifest_save_failed is
    // set and no later save of this updater is tried: the file on disk stays as it was last saved, and
    // files installed since stay unlisted (a later run fetches them again).
    void save_manifest_on_completion();

    tal_file_manifest manifest;
    char* manifest_path;
    char* temporary_file;
    char* destination_path;
    int32_t manifest_dirty;
    int32_t manifest_save_failed;
    time_t last_save_time;
    int32_t verbose;
    int32_t pause_ms;
    double current_file_bytes;
    void* callback_user;
    file_progress_callback_type file_progress_callback;
    bytes_progress_callback_type bytes_progress_callback;
    message_callback_type message_callback;
    double total_bytes;
    double completed_bytes;

    // Set when the records come from a signed manifest: a file is installed only with the SHA-256 its
    // record gives ("Unable to update file '<name>' - content does not match the manifest.").
    int32_t verify_content_hash;

    // Where files come from. Tests shorten the times; the clock reads whole seconds.
    int32_t port;
    int32_t use_tls;
    ssl_ctx_st* tls_context;  // with use_tls: verifies the server (kest_ssl_create_verifying_context); not owned
    // Tests shorten these; the clock reads whole seconds. A file's download may take the allowance plus
    // its size at the downloader's floor rate (kest_http_downloader::time_limit_for).
    clock_type clock_seconds;
    int32_t save_interval_seconds;
    int32_t wait_ms;
    int32_t stall_window_ms;
    int64_t time_limit_allowance_ms;

  private:
    enum download_outcome { download_whole, download_failed, download_content_mismatch };
    download_outcome fetch_file(const char* host, const char* root, const char* name, int32_t size,
                                const char* sha256);
    static void file_download_progress(void* user, int received, int expected);
    void report_progress();
    void save_manifest();
    void message(const char* text);
    void verbose_message(const char* text);
    // "Unable to update file '<name>' - <reason>", and ", <detail>." when there is one.
    void report_failure(const char* name, const char* reason, const char* detail = nullptr);
    void update_one_file(const char* host, const char* root, const manifest_entry& entry);
};
