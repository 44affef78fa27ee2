// Keeps a directory of downloaded files in step with a list of files to fetch: decides whether a local
// copy is current, downloads each chosen file into a temporary file, renames it over its target, records
// it in the local manifest and saves that manifest now and then and at the end. It reports through
// callbacks only.
#pragma once

#include <ctime>

#include <cstdint>
#include <memory>

#include "support/bounded_string.h"
#include "updater/download_resume.h"
#include "updater/file_manifest.h"
#include "updater/pointer_containers.h"
#include "updater/update_hosts.h"

// Appends the path of a managed file: directory + "/" + name, or the name alone when directory is null
// or empty.
void append_managed_path(bounded_string& path, const char* directory, const char* name);

struct ssl_ctx_st;
class kest_http_downloader;
class sha256_hasher;

class tal_filesystem_updater {
  public:
    using file_progress_callback_type = int (*)(void* user, int received, int expected);
    using bytes_progress_callback_type = void (*)(void* user, double done, double total);
    using message_callback_type = void (*)(void* user, const char* text);
    using clock_type = time_t (*)();

    static constexpr int32_t default_save_interval_seconds = 10;
    // A file's download is tried again after an attempt that fails once its request was sent (broken,
    // cut short, stalled, too slow, 5xx). An attempt that takes the partial file past the most it held
    // before in this run is progress: the next attempt follows after the first wait, with the whole
    // budget. After attempts without progress the waits double (1, 2, 4 s), and after this many of them
    // in a row the file fails.
    static constexpr int32_t max_fruitless_retries = 3;
    static constexpr int32_t default_retry_backoff_ms = 1000;
    // All downloads of one update_files call together may take this long plus their bytes at the
    // downloader's floor rate; an attempt is cut short, and no new one started, past that.
    static constexpr int64_t default_run_time_allowance_ms = 5 * 60 * 1000;

    // The wait before the retry that follows `fruitless` attempts in a row without progress (0: the last
    // attempt made progress): base, base, 2 x base, 4 x base.
    static int64_t retry_wait_ms(int32_t base_ms, int32_t fruitless);

    tal_filesystem_updater();
    ~tal_filesystem_updater();  // frees the texts and the manifest
    tal_filesystem_updater(const tal_filesystem_updater&) = delete;
    tal_filesystem_updater& operator=(const tal_filesystem_updater&) = delete;

    // 1 if `directory` exists or was created and a file can be created in it (0 for null).
    int set_destination_path(const char* directory);
    // 1 if the directories leading to `path` exist or were created and the file can be created. A
    // partial download it holds is kept only with a record that describes it (download_resume.h), cut to
    // the recorded length; otherwise the file is emptied.
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
    // manifest could not be saved. A partial download of the first file that its record describes is
    // continued; one that could not finish stays, with its record, for the next run.
    int update_files(const char* host, const char* root, const pointer_vector& files);
    // The same from the first usable host of `hosts`, each file trying the next host when one cannot be
    // reached, times out or answers 5xx (update_host_list::pass_over).
    int update_files(update_host_list& hosts, const char* root, const pointer_vector& files);
    // 1 if `name` arrived whole in the temporary file: exactly `size` bytes, from one 200 response or
    // continued by 206 ones, and, when sha256 is given, with that SHA-256 (computed while the file arrives).
    int download_file(const char* host, const char* root, const char* name, int32_t size,
                      const char* sha256 = nullptr);
    // Empties the temporary file and removes its record: nothing of a partial download is kept.
    void discard_partial_download();

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
    // The first wait before a retry, doubled after each attempt without progress.
    int32_t retry_backoff_ms;
    int64_t run_time_allowance_ms;

  private:
    enum download_outcome { download_whole, download_failed, download_content_mismatch };
    // What the record on disk describes: nothing, the partial file, or a file installed since.
    enum class record_state { none, partial, stale };
    download_outcome fetch_file(const char* root, const char* name, int32_t size, const char* record_hash,
                                const char* sha256);
    // One GET of `path` from host `host` into the temporary file, continuing it from `held` bytes.
    int attempt_download(kest_http_downloader& downloader, int host, const char* path, int32_t size,
                         int64_t held, sha256_hasher* hasher);
    // Checks the temporary file against its record: a partial download with a record that describes it
    // is kept (cut to the recorded length) as the one to continue; anything else is discarded.
    void check_partial_download();
    // The bytes of the partial download to continue for this record, or 0 (the partial file is then
    // discarded).
    int64_t take_partial_download(const char* name, int32_t size, const char* hash);
    // Writes the record of the file being downloaded with `held` bytes on disk.
    void save_record(int64_t held);
    // Keeps `held` bytes of the partial file with their record for a later attempt or run, or discards
    // the file when there is nothing to keep.
    void keep_partial_download(int64_t held);
    void resume_path(bounded_string& path) const;
    void checkpoint_partial_download();
    static void file_download_progress(void* user, int received, int expected);
    void report_progress();
    void save_manifest();
    void message(const char* text);
    void verbose_message(const char* text);
    // "Unable to update file '<name>' - <reason>", and ", <detail>." when there is one.
    void report_failure(const char* name, const char* reason, const char* detail = nullptr);
    void update_one_file(const char* root, const manifest_entry& entry);

    update_host_list* hosts_;
    kest_http_downloader* active_downloader_;                 // while a file's attempt runs
    std::unique_ptr<download_resume_record> pending_resume_;  // the partial download kept from before
    std::unique_ptr<download_resume_record> record_;          // the file being downloaded, as recorded
    record_state record_state_;
    time_t last_checkpoint_time_;
    int64_t files_deadline_ms_;  // of the monotonic clock
    double reported_done_;       // the most progress reported, which never goes back
};
