#include "updater/update_run.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "support/bounded_string.h"
#include "support/config_directory.h"
#include "support/debug_log.h"
#include "updater/filesystem_updater.h"
#include "updater/manifest_name.h"
#include "updater/pointer_containers.h"
#include "updater/remote_manifest_fetch.h"

const char update_download_root[] = "/downloads/tessar_v3";
const char update_remote_manifest_list[] = "manifest_linux32_executables.txt.gz";

namespace {

// The time of the last percentage line, shared by every run of the process and its callback.
std::atomic<time_t> last_percent_print_time{0};

time_t system_clock() {
    return time(nullptr);
}

// What the callbacks of one run need; lives on the run's stack.
struct run_context {
    update_progress_sink* window;
    const std::atomic<int>* verbose_flag;
    int (*beta_test_enabled)();
    time_t (*clock_seconds)();

    bool verbose() const { return verbose_flag != nullptr && verbose_flag->load() != 0; }
    bool beta() const { return beta_test_enabled != nullptr && beta_test_enabled() != 0; }
};

// The run's own lines: the text, a line feed, and every stream flushed.
void print_line(const char* text) {
    printf("%s\n", text);
    fflush(nullptr);
}

void print_quoted(const char* before, const char* quoted, const char* after) {
    bounded_string text(before);
    text.append(quoted);
    text.append(after);
    print_line(text.c_str());
}

int manifest_dots(void*, int received, int expected) {
    fputs(received == expected ? ".\n" : ".", stdout);
    fflush(nullptr);
    return 1;
}

int file_dots(void* user, int received, int expected) {
    if (!static_cast<run_context*>(user)->verbose()) {
        return 1;
    }
    if (received == expected) {
        fputs(".\n", stdout);
        return 1;
    }
    fputs(".", stdout);
    fflush(nullptr);
    return 1;
}

void percentage(void* user, double done, double total) {
    const run_context& run = *static_cast<run_context*>(user);
    double percent = done * 100 / (total > 0 ? total : 1);
    if (run.window != nullptr) {
        run.window->set_download_progress(percent);
    }
    if (run.clock_seconds() == last_percent_print_time.load()) {
        return;
    }
    if (!run.verbose()) {
        printf("%5.1f%% complete.\n", percent);
    }
    last_percent_print_time = run.clock_seconds();
}

void message_line(void*, const char* text) {
    printf("%s\n", text);
}

// Picks the records to fetch: a record whose local file exists with another size, the first plain record
// if it needs an update, and in beta test mode the first beta record if it needs one. The number picked.
int select_records(const run_context& run, tal_filesystem_updater& updater, const char* destination,
                   manifest_entry* records, pointer_vector& selected) {
    bool first_plain_pending = true;
    bool first_beta_pending = true;
    for (manifest_entry* r = records; r != nullptr; r = r->next) {
        if (r->name == nullptr) {
            print_line("Error in run_executable_updater(), got null filename?");
            continue;
        }
        // The name becomes a path that is written and later executed: one that could leave the
        // executables directory, or name the launcher's own files, is never used.
        manifest_name_verdict verdict = check_manifest_name(r->name, r->hash, r->size);
        if (verdict != manifest_name_safe) {
            bounded_string text("Skipping unsafe file name '");
            append_printable_manifest_name(text, r->name);
            text.append("' in remote manifest, ");
            text.append(manifest_name_verdict_text(verdict));
            text.append(".");
            debug_log_line(1, "%s", text.c_str());
            print_line(text.c_str());
            continue;
        }

        bounded_string local_path;
        append_managed_path(local_path, destination, r->name);
        struct stat status;
        bool exists = stat(local_path.c_str(), &status) == 0;
        bool beta = is_beta_name(r->name) != 0;
        bool select = false;
        if (exists && status.st_size != r->size) {
            if (run.verbose()) {
                print_quoted("File '", r->name, "' had different expected size, forcing update.");
            }
            select = true;
        } else {
            if (!exists && run.verbose()) {
                print_quoted("No backing file for '", local_path.c_str(), "'.");
            }
            if (!updater.needs_update(*r)) {
                if (run.verbose()) {
                    print_quoted("File '", r->name, "' up to date.");
                }
            } else if (beta) {
                if (first_beta_pending && run.beta()) {
                    if (run.verbose()) {
                        print_quoted("Found first beta file '", r->name, "'.");
                    }
                    select = true;
                }
            } else if (first_plain_pending) {
                if (run.verbose()) {
                    print_quoted("Found first file '", r->name, "'.");
                }
                select = true;
            }
        }
        if (beta) {
            first_beta_pending = false;
        } else {
            first_plain_pending = false;
        }
        if (select) {
            selected.append(r);
        }
    }
    return selected.count;
}

}  // namespace

int run_executable_updater(const update_run_options& options, const char* host, const char* root,
                           const char* list, const char* manifest, const char* destination,
                           const char* temporary) {
    run_context run{options.window, options.verbose, options.beta_test_enabled,
                    options.clock_seconds != nullptr ? options.clock_seconds : system_clock};
    if (run.verbose()) {
        debug_log_at(3, "Filesystem updater -------\n");
        debug_log_at(3, "Server name:       %s\n", host);
        debug_log_at(3, "Root path:         %s\n", root);
        debug_log_at(3, "Remote file list:  %s\n", list);
        debug_log_at(3, "Local manifest:    %s\n", manifest);
        debug_log_at(3, "Destination path:  %s\n", destination);
        debug_log_at(3, "Temporary file:    %s\n", temporary);
    }

    http_fetch_remote_manifest_data fetcher;
    fetcher.progress_callback = manifest_dots;
    bounded_string request_path;
    if (root != nullptr) {
        request_path.append(root);
    }
    request_path.append("/");
    request_path.append(list);
    int n = fetcher.fetch_manifest(host, request_path.c_str());
    if (n < 0) {
        print_quoted("Error fetching update file '", list, "' from remote server, aborting update.");
        return 0;
    }
    if (run.verbose()) {
        bounded_string text;
        text.append_printf("Retrieved %d records from remote server.", n);
        print_line(text.c_str());
    }

    tal_filesystem_updater updater;
    updater.verbose = run.verbose();
    updater.pause_ms = 0;
    updater.callback_user = &run;
    updater.file_progress_callback = file_dots;
    updater.bytes_progress_callback = percentage;
    updater.message_callback = message_line;
    updater.clock_seconds = run.clock_seconds;
    if (!updater.set_destination_path(destination)) {
        print_quoted("Unable to set download target directory, to '", destination, "', aborting update.");
        return 0;
    }
    if (!updater.set_temporary_file(temporary)) {
        print_quoted("Unable to access temporary download file '", temporary, "', aborting update.");
        return 0;
    }
    if (!updater.load_manifest(manifest)) {
        print_quoted("Unable to load local manifest file '", manifest, "', creating new.");
    }

    pointer_vector selected;
    int k = select_records(run, updater, destination, fetcher.records, selected);
    if (k == 0) {
        print_line("Everything appears to be up to date already.");
    } else if (k == 1) {
        print_line("One file to update.");
    } else {
        bounded_string text;
        text.append_printf("%d files to update.", k);
        print_line(text.c_str());
    }
    if (k > 0) {
        last_percent_print_time = run.clock_seconds();
        updater.update_files(host, root, selected);
    }
    // A damaged local manifest is rewritten even when nothing was fetched (update_files saved any other
    // change already).
    updater.save_manifest_on_completion();
    return 1;
}

int executable_updater_thread(void* argument) {
    const executable_updater_job job = *static_cast<const executable_updater_job*>(argument);
    // The descriptor this run was started with; the shared variable may name another one by the time
    // the run ends.
    const int lock_fd = job.lock_fd != nullptr ? job.lock_fd->load() : -1;

    const char* config_directory = get_config_directory();
    if (config_directory == nullptr) {
        debug_log_line(1, "Error in executable_updater_thread(), no configuration directory.");
    } else {
        bounded_string download_temp_path(config_directory);
        download_temp_path.append("/executables/download.tmp");
        update_run_options options{job.window, job.verbose, job.beta_test_enabled, nullptr};
        run_executable_updater(options, job.host, update_download_root, update_remote_manifest_list,
                               job.local_manifest, job.destination, download_temp_path.c_str());
    }

    // Unlock first: once *finished is 1 the launcher may boot (an inherited lock would survive execv)
    // or take the lock for a new run.
    if (job.release_lock != nullptr) {
        job.release_lock(lock_fd);
    }
    if (job.finished != nullptr) {
        job.finished->store(1);
    }
    return 0;
}
