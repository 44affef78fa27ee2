#include "updater/filesystem_updater.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/http_downloader.h"
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

int temporary_file_usable(const char* path) {
    if (!kest_recursive_mkdir(path, directory_mode, nullptr)) {
        return 0;
    }
    FILE* file = fopen(path, "wb");
    if (file == nullptr) {
        return 0;
    }
    fclose(file);
    return 1;
}

void sleep_ms(int32_t ms) {
    timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
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
      time_limit_allowance_ms(kest_http_downloader::time_limit_allowance_ms) {}

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
    if (temporary_file == nullptr) {
        return 0;
    }
    return temporary_file_usable(temporary_file);
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
    // A manifest that load_manifest found damaged stays marked, so the final save rewrites it.
    last_save_time = clock_seconds();
    for (int32_t i = 0; i < files.count && !manifest_save_failed; ++i) {
        update_one_file(host, root, *static_cast<const manifest_entry*>(files.items[i]));
    }
    save_manifest_on_completion();
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

void tal_filesystem_updater::update_one_file(const char* host, const char* root,
                                             const manifest_entry& entry) {
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
        fetch_file(host, root, name, entry.size, verify_content_hash ? entry.hash : nullptr);
    // The file's bytes now count in completed_bytes; left in current_file_bytes they would count twice.
    current_file_bytes = 0;
    completed_bytes += entry.size;
    line.clear();
    line.append_printf("Received %10.0f / %10.0f bytes.", completed_bytes, total_bytes);
    verbose_message(line.c_str());

    if (outcome != download_whole) {
        // Whatever part of the file arrived is of no use, and on a full disk it would keep the disk
        // full for the saves that follow.
        if (truncate(temporary_file, 0) != 0 && errno != ENOENT) {
            debug_log_line(1, "Warning in tal_filesystem_updater::update_files(), unable to empty '%s'.",
                           temporary_file);
        }
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
    return fetch_file(host, root, name, size, sha256) == download_whole ? 1 : 0;
}

tal_filesystem_updater::download_outcome tal_filesystem_updater::fetch_file(const char* host,
                                                                            const char* root,
                                                                            const char* name, int32_t size,
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

    kest_http_downloader downloader;
    // A client file may be large: it is hashed beside the download rather than after each read.
    sha256_hasher hasher(sha256_hasher::mode::on_own_thread);
    downloader.progress_callback = file_download_progress;
    downloader.user_data = this;
    downloader.wait_ms = wait_ms;
    downloader.stall_window_ms = stall_window_ms;
    downloader.time_limit_ms = kest_http_downloader::time_limit_for(size, time_limit_allowance_ms);
    // More bytes than the record's size are never wanted.
    downloader.max_body_bytes = size > 0 ? size : 0;
    // Hashed as the bytes arrive, so the file is never read a second time.
    downloader.body_hasher = sha256 != nullptr ? &hasher : nullptr;
    downloader.set_connection(host, port, use_tls);
    downloader.tls_context = tls_context;
    if (!downloader.download(host, path.c_str(), temporary_file)) {
        return download_failed;
    }
    struct stat status;
    if (stat(temporary_file, &status) != 0) {
        return download_failed;
    }
    if (status.st_size != size) {
        debug_log_line(1,
                       "Error in tal_filesystem_updater::download_file(), '%s' arrived with %lld bytes, the "
                       "manifest says %d.",
                       path.c_str(), static_cast<long long>(status.st_size), size);
        return download_failed;
    }
    char hex[sha256_hex_length + 1];
    if (sha256 != nullptr && (!hasher.finish_hex(hex) || strcmp(hex, sha256) != 0)) {
        debug_log_line(1,
                       "Error in tal_filesystem_updater::download_file(), '%s' arrived with SHA-256 %s, the "
                       "manifest says %s.",
                       path.c_str(), hex, sha256);
        return download_content_mismatch;
    }
    return download_whole;
}

void tal_filesystem_updater::file_download_progress(void* user, int received, int expected) {
    auto* self = static_cast<tal_filesystem_updater*>(user);
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
    if (bytes_progress_callback != nullptr) {
        bytes_progress_callback(callback_user, completed_bytes + current_file_bytes, total_bytes);
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
