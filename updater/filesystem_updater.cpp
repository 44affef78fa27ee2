#include "updater/filesystem_updater.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/http_downloader.h"
#include "net/socket_primitives.h"
#include "support/bounded_string.h"
#include "support/debug_log.h"
#include "support/file_system.h"
#include "support/sha256_hasher.h"
#include "updater/manifest_name.h"

namespace {

constexpr int default_port = 80;
constexpr mode_t directory_mode = 0700;

time_t system_clock() {
    return time(nullptr);
}

// Replaces *field with a copy of text (null stays null).
void replace_text(char** field, const char* text) {
    free(*field);
    *field = text != nullptr ? strdup(text) : nullptr;
}

// Creates the file if need be, without emptying it: it may hold a partial download to continue.
int temporary_file_usable(const char* path) {
    if (!kest_recursive_mkdir(path, directory_mode, nullptr)) {
        return 0;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return 0;
    }
    close(fd);
    return 1;
}

void sleep_ms(int32_t ms) {
    timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

// Empties `path` (a missing file is empty already).
void empty_file(const char* path) {
    if (truncate(path, 0) != 0 && errno != ENOENT) {
        debug_log_line(1, "Warning in tal_filesystem_updater::update_files(), unable to empty '%s'.", path);
    }
}

// The length of `path` once what it holds is synced to disk: 0 for a missing file, -1 when it cannot be
// opened or synced.
int64_t synced_length(const char* path) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? 0 : -1;
    }
    struct stat status;
    int64_t length =
        fdatasync(fd) == 0 && fstat(fd, &status) == 0 ? static_cast<int64_t>(status.st_size) : -1;
    close(fd);
    return length;
}

// Gives the first `length` bytes of `path` to `hasher`: 1, or 0 when they cannot all be read.
int hash_file_start(const char* path, int64_t length, sha256_hasher& hasher) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        return 0;
    }
    char block[64 * 1024];
    while (length > 0) {
        size_t want =
            length < static_cast<int64_t>(sizeof block) ? static_cast<size_t>(length) : sizeof block;
        size_t got = fread(block, 1, want, file);
        if (got != want) {
            break;
        }
        hasher.update(block, got);
        length -= static_cast<int64_t>(got);
    }
    fclose(file);
    return length == 0 ? 1 : 0;
}

bool same_text(const char* a, const char* b) {
    return strcmp(a != nullptr ? a : "", b != nullptr ? b : "") == 0;
}

// Failures after which the same answer would come again, or that cost the disk room it needs: the file
// fails at once, and nothing of it is kept.
bool is_final_failure(const kest_http_downloader& d) {
    switch (d.failure) {
        case kest_http_downloader::failure_status:
            return !(d.status >= 500 && d.status <= 599);
        case kest_http_downloader::failure_too_long:
        case kest_http_downloader::failure_local:
        case kest_http_downloader::failure_refused:
            return true;
        default:
            return false;
    }
}

}  // namespace

void append_managed_path(bounded_string& path, const char* directory, const char* name) {
    if (directory != nullptr && directory[0] != '\0') {
        path.append(directory);
        path.append("/");
    }
    path.append(name);
}

tal_filesystem_updater::tal_filesystem_updater()
    : manifest_path(nullptr),
      temporary_file(nullptr),
      destination_path(nullptr),
      manifest_dirty(0),
      manifest_save_failed(0),
      last_save_time(0),
      verbose(0),
      pause_ms(0),
      current_file_bytes(0),
      callback_user(nullptr),
      file_progress_callback(nullptr),
      bytes_progress_callback(nullptr),
      message_callback(nullptr),
      total_bytes(0),
      completed_bytes(0),
      verify_content_hash(0),
      port(default_port),
      use_tls(0),
      tls_context(nullptr),
      clock_seconds(system_clock),
      save_interval_seconds(default_save_interval_seconds),
      wait_ms(kest_http_downloader::default_wait_ms),
      stall_window_ms(kest_http_downloader::default_stall_window_ms),
      time_limit_allowance_ms(kest_http_downloader::time_limit_allowance_ms),
      retry_backoff_ms(default_retry_backoff_ms),
      run_time_allowance_ms(default_run_time_allowance_ms),
      hosts_(nullptr),
      active_downloader_(nullptr),
      record_state_(record_state::none),
      last_checkpoint_time_(0),
      files_deadline_ms_(-1),
      reported_done_(0) {}

int64_t tal_filesystem_updater::retry_wait_ms(int32_t base_ms, int32_t fruitless) {
    int32_t doublings = fruitless > 1 ? fruitless - 1 : 0;
    return static_cast<int64_t>(base_ms > 0 ? base_ms : 0) << (doublings < 20 ? doublings : 20);
}

tal_filesystem_updater::~tal_filesystem_updater() {
    free(manifest_path);
    free(temporary_file);
    free(destination_path);
}

void tal_filesystem_updater::message(const char* text) {
    if (message_callback != nullptr) {
        message_callback(callback_user, text);
    }
}

void tal_filesystem_updater::verbose_message(const char* text) {
    if (verbose) {
        message(text);
    }
}

int tal_filesystem_updater::set_destination_path(const char* directory) {
    replace_text(&destination_path, directory);
    if (destination_path == nullptr) {
        return 0;
    }
    return kest_create_and_check_writeable_directory(destination_path, directory_mode, nullptr);
}

int tal_filesystem_updater::set_temporary_file(const char* path) {
    replace_text(&temporary_file, path);
    if (temporary_file == nullptr || !temporary_file_usable(temporary_file)) {
        return 0;
    }
    check_partial_download();
    return 1;
}

void tal_filesystem_updater::resume_path(bounded_string& path) const {
    append_download_resume_path(path, temporary_file);
}

void tal_filesystem_updater::discard_partial_download() {
    pending_resume_.reset();
    record_state_ = record_state::none;
    if (record_ != nullptr) {
        record_->held = 0;
    }
    if (temporary_file == nullptr) {
        return;
    }
    empty_file(temporary_file);
    bounded_string path;
    resume_path(path);
    remove_download_resume(path.c_str());
}

void tal_filesystem_updater::check_partial_download() {
    pending_resume_.reset();
    bounded_string path;
    resume_path(path);
    auto record = std::make_unique<download_resume_record>();
    if (!read_download_resume(path.c_str(), *record)) {
        discard_partial_download();
        return;
    }
    // Only the recorded bytes were known to be on disk: what lies past them may not have reached it.
    struct stat status;
    int64_t on_disk = stat(temporary_file, &status) == 0 ? static_cast<int64_t>(status.st_size) : 0;
    if (on_disk < record->held || record->held == 0 ||
        (on_disk > record->held && truncate(temporary_file, record->held) != 0)) {
        if (record->held > 0) {
            bounded_string shown;
            append_printable_manifest_name(shown, record->name.c_str());
            debug_log_line(1,
                           "Warning in tal_filesystem_updater::set_temporary_file(), the partial download of "
                           "'%s' holds %lld bytes, its record %lld; discarding it.",
                           shown.c_str(), static_cast<long long>(on_disk),
                           static_cast<long long>(record->held));
        }
        discard_partial_download();
        return;
    }
    pending_resume_ = std::move(record);
    record_state_ = record_state::partial;
}

int64_t tal_filesystem_updater::take_partial_download(const char* name, int32_t size, const char* hash) {
    std::unique_ptr<download_resume_record> kept = std::move(pending_resume_);
    struct stat status;
    if (kept != nullptr && same_text(kept->name.c_str(), name) && kept->size == size &&
        same_text(kept->hash.c_str(), hash) && kept->held > 0 && kept->held < size &&
        stat(temporary_file, &status) == 0 && static_cast<int64_t>(status.st_size) == kept->held) {
        return kept->held;
    }
    if (kept != nullptr) {
        bounded_string shown;
        append_printable_manifest_name(shown, kept->name.c_str());
        debug_log_line(
            1,
            "Warning in tal_filesystem_updater::update_files(), the partial download of '%s' is not "
            "of the file fetched now; discarding it.",
            shown.c_str());
    }
    discard_partial_download();
    return 0;
}

void tal_filesystem_updater::save_record(int64_t held) {
    bounded_string path;
    resume_path(path);
    record_->held = held;
    if (save_download_resume(path.c_str(), *record_)) {
        record_state_ = record_state::partial;
    }
    last_checkpoint_time_ = clock_seconds();
}

void tal_filesystem_updater::keep_partial_download(int64_t held) {
    if (held <= 0) {
        discard_partial_download();
        return;
    }
    save_record(held);
}

// Now and then while a file arrives: what has arrived is synced, and the record says it is there, so
// that a launcher killed at any moment continues from a length that is on disk.
void tal_filesystem_updater::checkpoint_partial_download() {
    if (active_downloader_ == nullptr || record_ == nullptr ||
        clock_seconds() <= last_checkpoint_time_ + save_interval_seconds) {
        return;
    }
    int64_t on_disk = active_downloader_->sync_output_file();
    if (on_disk > record_->held) {
        save_record(on_disk);
    }
    last_checkpoint_time_ = clock_seconds();
}

int tal_filesystem_updater::load_manifest(const char* path) {
    replace_text(&manifest_path, path);
    if (manifest_path == nullptr) {
        return 0;
    }
    int n = manifest.load_file(manifest_path);
    if (n < 0) {
        struct stat status;
        if (stat(manifest_path, &status) == 0) {
            // The file is there but damaged: keep what came before the damage, as far as it still exists.
            manifest.remove_missing_files(destination_path);
            manifest_dirty = 1;
        }
        return 0;
    }
    bounded_string text;
    text.append_printf("Loaded %d entries from current manifest file '", n);
    text.append(manifest_path);
    text.append("'.");
    verbose_message(text.c_str());
    int m = manifest.remove_missing_files(destination_path);
    if (m != n) {
        text.clear();
        text.append_printf("Some files were deleted.  Only %d entries remain.", m);
        verbose_message(text.c_str());
    }
    return 1;
}

int tal_filesystem_updater::needs_update(const manifest_entry& remote) {
    const manifest_entry* local = manifest.find_entry(remote.name);
    if (local == nullptr) {
        bounded_string text("File '");
        text.append(remote.name);
        text.append("' missing, should update.");
        verbose_message(text.c_str());
        return 1;
    }
    const char* remote_hash = remote.hash != nullptr ? remote.hash : "";
    const char* local_hash = local->hash != nullptr ? local->hash : "";
    if (local->size == remote.size && strcmp(local_hash, remote_hash) == 0) {
        return 0;
    }
    bounded_string text;
    text.append_printf("Expected %8d, ", remote.size);
    text.append(remote_hash);
    verbose_message(text.c_str());
    text.clear();
    text.append_printf("Previous %8d, ", local->size);
    text.append(local_hash);
    text.append(" - file '");
    text.append(remote.name);
    text.append("'");
    verbose_message(text.c_str());
    return 1;
}

int tal_filesystem_updater::update_files(const char* host, const char* root, const pointer_vector& files) {
    update_host_list one_host;
    one_host.set_single(host);
    return update_files(one_host, root, files);
}

int tal_filesystem_updater::update_files(update_host_list& hosts, const char* root,
                                         const pointer_vector& files) {
    if (temporary_file == nullptr) {
        message("No temporary download filename set.");
        return 1;
    }
    if (!temporary_file_usable(temporary_file)) {
        message("Temporary file unwriteable.");
        return 5;
    }
    if (destination_path == nullptr) {
        message("No destination path set to store downloaded files.");
        return 2;
    }
    if (!kest_create_and_check_writeable_directory(destination_path, directory_mode, nullptr)) {
        message("Download base path appears to be unwriteable.");
        return 5;
    }
    for (int32_t i = 0; i < files.count; ++i) {
        total_bytes += static_cast<const manifest_entry*>(files.items[i])->size;
    }
    check_partial_download();
    hosts_ = &hosts;
    int64_t total = static_cast<int64_t>(total_bytes > 0 ? total_bytes : 0);
    files_deadline_ms_ = monotonic_ms() + run_time_allowance_ms +
                         total * 1000 / kest_http_downloader::time_limit_floor_bytes_per_second;
    // A manifest that load_manifest found damaged stays marked, so the final save rewrites it.
    last_save_time = clock_seconds();
    for (int32_t i = 0; i < files.count && !manifest_save_failed; ++i) {
        update_one_file(root, *static_cast<const manifest_entry*>(files.items[i]));
    }
    save_manifest_on_completion();
    hosts_ = nullptr;
    // The record of a file installed since goes only now, after the manifest: removing it earlier would
    // give a full disk back the room the manifest's save needs, as if it had never been short of it.
    if (pending_resume_ != nullptr) {
        discard_partial_download();
    } else if (record_state_ == record_state::stale) {
        bounded_string path;
        resume_path(path);
        remove_download_resume(path.c_str());
        record_state_ = record_state::none;
    }
    return manifest_save_failed ? 6 : 0;
}

void tal_filesystem_updater::report_failure(const char* name, const char* reason, const char* detail) {
    bounded_string text("Unable to update file '");
    append_printable_manifest_name(text, name);
    text.append("' - ");
    text.append(reason);
    if (detail != nullptr) {
        text.append(", ");
        text.append(detail);
        text.append(".");
    }
    message(text.c_str());
}

void tal_filesystem_updater::update_one_file(const char* root, const manifest_entry& entry) {
    const char* name = entry.name;
    // The name becomes a path this launcher writes and later executes: it must stay inside destination.
    manifest_name_verdict verdict = check_manifest_name(name, entry.hash, entry.size);
    if (verdict != manifest_name_safe) {
        report_failure(name, "unsafe file name", manifest_name_verdict_text(verdict));
        return;
    }
    bounded_string target;
    append_managed_path(target, destination_path, name);
    if (target.is_cut()) {
        report_failure(name, "unsafe file name", "its path is too long");
        return;
    }

    bounded_string line("Updating file '");
    line.append(name);
    line.append("'.");
    verbose_message(line.c_str());

    if (!kest_recursive_mkdir(target.c_str(), directory_mode, nullptr)) {
        report_failure(name, "cannot create directory.");
        return;
    }

    download_outcome outcome =
        fetch_file(root, name, entry.size, entry.hash, verify_content_hash ? entry.hash : nullptr);
    // The file's bytes now count in completed_bytes; left in current_file_bytes they would count twice.
    current_file_bytes = 0;
    completed_bytes += entry.size;
    line.clear();
    line.append_printf("Received %10.0f / %10.0f bytes.", completed_bytes, total_bytes);
    verbose_message(line.c_str());

    if (outcome != download_whole) {
        // fetch_file kept the partial file only when a later run can continue it.
        report_failure(name, outcome == download_content_mismatch ? "content does not match the manifest."
                                                                  : "download failed.");
    } else if (rename(temporary_file, target.c_str()) != 0) {
        // One rename replaces the old version atomically: whatever fails, a complete file stays.
        report_failure(name, "cannot write new version.");
    } else {
        manifest.add_or_update(entry);
        manifest_dirty = 1;
        report_progress();
    }

    if (pause_ms > 0) {
        sleep_ms(pause_ms);
    }
}

int tal_filesystem_updater::download_file(const char* host, const char* root, const char* name, int32_t size,
                                          const char* sha256) {
    update_host_list one_host;
    one_host.set_single(host);
    hosts_ = &one_host;
    files_deadline_ms_ = monotonic_ms() + run_time_allowance_ms +
                         static_cast<int64_t>(size > 0 ? size : 0) * 1000 /
                             kest_http_downloader::time_limit_floor_bytes_per_second;
    download_outcome outcome = fetch_file(root, name, size, sha256, sha256);
    hosts_ = nullptr;
    return outcome == download_whole ? 1 : 0;
}

int tal_filesystem_updater::attempt_download(kest_http_downloader& downloader, int host, const char* path,
                                             int32_t size, int64_t held, sha256_hasher* hasher) {
    const char* host_name = hosts_->name(host);
    downloader.progress_callback = file_download_progress;
    downloader.user_data = this;
    downloader.wait_ms = wait_ms;
    downloader.stall_window_ms = stall_window_ms;
    int64_t limit = kest_http_downloader::time_limit_for(size - held, time_limit_allowance_ms);
    int64_t left = files_deadline_ms_ - monotonic_ms();
    downloader.time_limit_ms = left < limit ? (left > 0 ? left : 0) : limit;
    // More bytes than the record's size are never wanted.
    downloader.max_body_bytes = size > 0 ? size : 0;
    // Hashed as the bytes arrive, so the file is never read a second time.
    downloader.body_hasher = hasher;
    downloader.resume_from = held;
    downloader.resource_size = size;
    downloader.keep_partial_file = 1;
    downloader.set_connection(host_name, port, use_tls);
    downloader.tls_context = tls_context;
    active_downloader_ = &downloader;
    int ok = downloader.download(host_name, path, temporary_file);
    active_downloader_ = nullptr;
    return ok;
}

// Tries the file until it is whole, it fails for good, or the retries are used up (see
// max_fruitless_retries). Each attempt after the first continues the partial file from what it holds.
tal_filesystem_updater::download_outcome tal_filesystem_updater::fetch_file(const char* root,
                                                                            const char* name, int32_t size,
                                                                            const char* record_hash,
                                                                            const char* sha256) {
    bounded_string path(root);
    if (name == nullptr || name[0] != '/') {
        path.append("/");
    }
    path.append(name);
    bounded_string line("Starting download of file '");
    line.append(path.c_str());
    line.append("'.");
    verbose_message(line.c_str());
    bounded_string shown;
    append_printable_manifest_name(shown, name);
    auto say_from = [&](const char* what, int64_t byte) {
        line.set(what);
        line.append(" '");
        line.append(shown.c_str());
        line.append_printf("' from byte %lld.", static_cast<long long>(byte));
        message(line.c_str());
    };
    // Whether the run's time for downloads is up, or will be in `wait` milliseconds.
    auto time_is_up = [&](int64_t wait = 0) {
        if (monotonic_ms() + wait < files_deadline_ms_) {
            return false;
        }
        debug_log_line(1,
                       "Error in tal_filesystem_updater::download_file(), the time for this run's downloads "
                       "is up; giving up '%s'.",
                       path.c_str());
        return true;
    };

    int64_t held = take_partial_download(name, size, record_hash);
    if (held > 0) {
        say_from("Resuming", held);
    }
    record_ = std::make_unique<download_resume_record>();
    record_->name.set(name);
    record_->hash.set(record_hash != nullptr ? record_hash : "");
    record_->size = size;
    save_record(held);

    // A client file may be large: it is hashed beside the download rather than after each read.
    sha256_hasher hasher(sha256_hasher::mode::on_own_thread);
    int64_t hashed = 0;  // the bytes at the start of the file the hasher has seen
    int64_t most_held = held;
    int fruitless = 0;
    // A file put together from several answers (or kept from before) may hold a wrong part; one fetched
    // by a single 200 answer is as the server has it.
    bool pieced = held > 0;
    bool fetched_whole_again = false;
    for (;;) {
        int host = hosts_->next_usable();
        if (host < 0 || time_is_up()) {
            keep_partial_download(held);
            return download_failed;
        }
        if (sha256 != nullptr && hashed != held) {
            // The kept part is hashed once, read back, when the hasher has not seen it.
            hasher.restart();
            if (held > 0 && !hash_file_start(temporary_file, held, hasher)) {
                discard_partial_download();
                held = 0;
                hasher.restart();
            }
            hashed = held;
        }
        kest_http_downloader downloader;
        int ok = attempt_download(downloader, host, path.c_str(), size, held,
                                  sha256 != nullptr ? &hasher : nullptr);
        if (downloader.status == 200) {
            hashed = downloader.received;
            pieced = false;
        } else if (downloader.status == 206 && downloader.body_offset > 0) {
            hashed = downloader.body_offset + downloader.received;
            pieced = true;
        }
        if (ok) {
            struct stat status;
            int64_t length = stat(temporary_file, &status) == 0 ? static_cast<int64_t>(status.st_size) : -1;
            if (length == size) {
                char hex[sha256_hex_length + 1];
                if (sha256 == nullptr || (hasher.finish_hex(hex) && strcmp(hex, sha256) == 0)) {
                    if (record_state_ == record_state::partial) {
                        record_state_ = record_state::stale;
                    }
                    return download_whole;
                }
                debug_log_line(
                    1,
                    "Error in tal_filesystem_updater::download_file(), '%s' arrived with SHA-256 %s, "
                    "the manifest says %s.",
                    path.c_str(), hex, sha256);
                discard_partial_download();
                if (!pieced || fetched_whole_again) {
                    return download_content_mismatch;
                }
                // The kept part may be what was wrong: the whole file once more, from its first byte.
                fetched_whole_again = true;
                pieced = false;
                held = 0;
                hashed = -1;
                say_from("Retrying", 0);
                continue;
            }
            debug_log_line(
                1,
                "Error in tal_filesystem_updater::download_file(), '%s' arrived with %lld bytes, the "
                "manifest says %d.",
                path.c_str(), static_cast<long long>(length), size);
        }
        if (is_final_failure(downloader)) {
            discard_partial_download();
            return download_failed;
        }
        if (downloader.failure == kest_http_downloader::failure_range) {
            discard_partial_download();  // the next attempt asks for the whole file
        }
        int64_t on_disk = synced_length(temporary_file);
        if (on_disk < 0) {
            discard_partial_download();
            return download_failed;
        }
        held = on_disk;
        if (time_is_up()) {
            keep_partial_download(held);
            return download_failed;
        }
        if (held > 0 && record_->held != held) {
            save_record(held);
        }
        bounded_string cause;
        if (host_failure_cause(downloader, cause) && hosts_->pass_over(host, cause.c_str())) {
            say_from("Retrying", held);  // from the next host, at once
            continue;
        }
        // Nothing was sent to a server that could not be reached: a later run may find it again.
        if (downloader.failure == kest_http_downloader::failure_unresolved ||
            downloader.failure == kest_http_downloader::failure_connect) {
            keep_partial_download(held);
            return download_failed;
        }
        fruitless = held > most_held ? 0 : fruitless + 1;
        most_held = held > most_held ? held : most_held;
        if (fruitless > max_fruitless_retries) {
            keep_partial_download(held);
            return download_failed;
        }
        int64_t wait = retry_wait_ms(retry_backoff_ms, fruitless);
        if (time_is_up(wait)) {
            keep_partial_download(held);
            return download_failed;
        }
        sleep_ms(static_cast<int32_t>(wait));
        say_from("Retrying", held);
    }
}

void tal_filesystem_updater::file_download_progress(void* user, int received, int expected) {
    auto* self = static_cast<tal_filesystem_updater*>(user);
    self->checkpoint_partial_download();
    if (self->file_progress_callback != nullptr) {
        self->file_progress_callback(self->callback_user, received, expected);
    }
    if (received == expected) {
        self->current_file_bytes = 0;
        return;
    }
    self->current_file_bytes = received;
    self->report_progress();
}

void tal_filesystem_updater::report_progress() {
    save_manifest_periodically();
    // A file that starts again from its first byte would otherwise take the bar back.
    double done = completed_bytes + current_file_bytes;
    reported_done_ = done > reported_done_ ? done : reported_done_;
    if (bytes_progress_callback != nullptr) {
        bytes_progress_callback(callback_user, reported_done_, total_bytes);
    }
}

void tal_filesystem_updater::save_manifest_periodically() {
    if (manifest_save_failed) {
        return;
    }
    time_t now = clock_seconds();
    if (!manifest_dirty) {
        last_save_time = now;
        return;
    }
    if (now <= last_save_time + save_interval_seconds) {
        return;
    }
    verbose_message("Saving file manifest.");
    save_manifest();
}

void tal_filesystem_updater::save_manifest_on_completion() {
    if (!manifest_dirty || manifest_save_failed) {
        return;
    }
    verbose_message("Saving file manifest due to completion.");
    save_manifest();
}

void tal_filesystem_updater::save_manifest() {
    // Ending the process here would leave the player without a client to boot, from a thread that is not
    // the window's: the run stops instead, and the launcher boots what the saved manifest lists.
    if (manifest_path == nullptr || !manifest.save_file(manifest_path)) {
        message("Error - unable to save manifest file.  Bailing out.");
        manifest_save_failed = 1;
        return;
    }
    manifest_dirty = 0;
    last_save_time = clock_seconds();
}
