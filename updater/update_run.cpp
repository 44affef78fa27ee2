#include "updater/update_run.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "net/ssl_startup.h"
#include "support/bounded_string.h"
#include "support/config_directory.h"
#include "support/debug_log.h"
#include "updater/accepted_release.h"
#include "updater/filesystem_updater.h"
#include "updater/manifest_name.h"
#include "updater/pointer_containers.h"
#include "updater/release_signature.h"
#include "updater/remote_manifest_fetch.h"
#include "updater/update_hosts.h"

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

// The lines a decision prints; the verbose ones only with -v.
void print_decision(const run_context& run, const manifest_entry& r, const record_decision& d) {
    switch (d.why) {
        case record_selection::no_name:
            print_line("Error in run_executable_updater(), got null filename?");
            return;
        case record_selection::unsafe_name: {
            bounded_string text("Skipping unsafe file name '");
            append_printable_manifest_name(text, r.name);
            text.append("' in remote manifest, ");
            text.append(manifest_name_verdict_text(d.verdict));
            text.append(".");
            debug_log_line(1, "%s", text.c_str());
            print_line(text.c_str());
            return;
        }
        default:
            break;
    }
    if (!run.verbose()) {
        return;
    }
    switch (d.why) {
        case record_selection::size_differs:
            print_quoted("File '", r.name, "' had different expected size, forcing update.");
            break;
        case record_selection::up_to_date:
            print_quoted("File '", r.name, "' up to date.");
            break;
        case record_selection::first_plain:
            print_quoted("Found first file '", r.name, "'.");
            break;
        case record_selection::first_beta:
            print_quoted("Found first beta file '", r.name, "'.");
            break;
        default:
            break;
    }
}

// Appends the records to fetch to `selected` (decide_record), printing what was decided. The number
// picked.
int select_records(const run_context& run, tal_filesystem_updater& updater, const char* destination,
                   manifest_entry* records, pointer_vector& selected) {
    record_selection_state state;
    for (manifest_entry* r = records; r != nullptr; r = r->next) {
        bounded_string local_path;
        bool exists = false;
        auto local_size = [&]() -> int64_t {
            append_managed_path(local_path, destination, r->name);
            struct stat status;
            exists = stat(local_path.c_str(), &status) == 0;
            return exists ? static_cast<int64_t>(status.st_size) : -1;
        };
        // The updater explains its answer in verbose mode; a missing file is named before that.
        auto needs_update = [&]() {
            if (!exists && run.verbose()) {
                print_quoted("No backing file for '", local_path.c_str(), "'.");
            }
            return updater.needs_update(*r) != 0;
        };
        record_decision d = decide_record(*r, run.beta(), state, local_size, needs_update);
        print_decision(run, *r, d);
        if (d.selected) {
            selected.append(r);
        }
    }
    return selected.count;
}

// A refusal of what the server sent: a console line and a log line that say why; nothing is installed.
void refuse_update(const char* why) {
    bounded_string text("Refusing the update - ");
    text.append(why);
    text.append(".");
    print_line(text.c_str());
    debug_log_line(1, "Error in run_executable_updater(), %s.", why);
}

// Fetches and checks the release signature of the manifest at `manifest_path`: 1 with its fields, or 0
// after refusing the update.
int fetch_release_signature(http_fetch_remote_manifest_data& fetcher, const run_context& run,
                            const update_key_set& keys, update_host_list& hosts, const char* manifest_path,
                            const char* destination, release_signature& fields) {
    bounded_string path(manifest_path);
    path.append(release_signature_suffix);
    if (!fetcher.fetch_signature(hosts, path.c_str())) {
        refuse_update("no release signature could be fetched");
        return 0;
    }
    bounded_string accepted_path;
    append_managed_path(accepted_path, destination, accepted_release_file_name);
    bounded_string detail;
    release_signature_verdict verdict = check_release_signature(
        fetcher.signature_text, fetcher.signature_length, keys, static_cast<int64_t>(run.clock_seconds()),
        read_accepted_release(accepted_path.c_str()), fields, detail);
    if (verdict != release_signature_valid) {
        refuse_update(detail.c_str());
        return 0;
    }
    return 1;
}

// Raises the accepted release once a signed manifest held, so that an older publication is refused.
void accept_release(const char* destination, int64_t release) {
    bounded_string path;
    append_managed_path(path, destination, accepted_release_file_name);
    if (release > read_accepted_release(path.c_str())) {
        save_accepted_release(path.c_str(), release);
    }
}

}  // namespace

record_decision decide_record(const manifest_entry& r, bool beta_mode, record_selection_state& state,
                              const std::function<int64_t()>& local_size,
                              const std::function<bool()>& needs_update) {
    if (r.name == nullptr) {
        return {record_selection::no_name, false, manifest_name_empty};
    }
    // The name becomes a path that is written and later executed: one that could leave the executables
    // directory, or name the launcher's own files, is never used, and does not count as a first record.
    manifest_name_verdict verdict = check_manifest_name(r.name, r.hash, r.size);
    if (verdict != manifest_name_safe) {
        return {record_selection::unsafe_name, false, verdict};
    }
    bool beta = is_beta_name(r.name) != 0;
    bool& pending = beta ? state.first_beta_pending : state.first_plain_pending;
    bool first = pending;
    pending = false;

    int64_t size = local_size();
    if (size >= 0 && size != r.size) {
        return {record_selection::size_differs, true, verdict};
    }
    if (!needs_update()) {
        return {record_selection::up_to_date, false, verdict};
    }
    if (!beta) {
        return first ? record_decision{record_selection::first_plain, true, verdict}
                     : record_decision{record_selection::later_plain, false, verdict};
    }
    if (!first) {
        return {record_selection::later_beta, false, verdict};
    }
    return beta_mode ? record_decision{record_selection::first_beta, true, verdict}
                     : record_decision{record_selection::beta_mode_off, false, verdict};
}

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

    const update_server_settings server =
        options.server != nullptr ? *options.server : update_server_settings{80, 0, nullptr, nullptr};
    update_key_set keys;
    bounded_string why;
    if (!parse_update_keys(server.keys, keys, why)) {
        bounded_string text("the launcher's update keys cannot be read (");
        text.append(why.c_str());
        text.append(")");
        refuse_update(text.c_str());
        return 0;
    }
    const bool signed_updates = keys.count > 0;
    std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> tls_context(nullptr, SSL_CTX_free);
    if (server.use_tls) {
        tls_context.reset(kest_ssl_create_verifying_context(server.ca_file));
        if (!tls_context) {
            bounded_string text("no CA certificates to check the update server with could be loaded from '");
            text.append(server.ca_file != nullptr && server.ca_file[0] != '\0' ? server.ca_file
                                                                               : "the system's store");
            text.append("'");
            refuse_update(text.c_str());
            return 0;
        }
    }

    // The origin and its mirrors, each passed over for the rest of the run once it cannot be reached.
    update_host_list hosts;
    if (!hosts.parse(host)) {
        hosts.set_single(host);
    }
    http_fetch_remote_manifest_data fetcher;
    fetcher.progress_callback = manifest_dots;
    fetcher.port = server.port;
    fetcher.use_tls = server.use_tls;
    fetcher.tls_context = tls_context.get();
    bounded_string request_path;
    if (root != nullptr) {
        request_path.append(root);
    }
    request_path.append("/");
    request_path.append(list);
    release_signature signature;
    if (signed_updates) {
        if (!fetch_release_signature(fetcher, run, keys, hosts, request_path.c_str(), destination,
                                     signature)) {
            return 0;
        }
        fetcher.signed_manifest = &signature;
    }
    int n = fetcher.fetch_manifest(hosts, request_path.c_str());
    if (fetcher.signed_result == http_fetch_remote_manifest_data::manifest_wrong_hash) {
        refuse_update("the manifest does not match its release signature (SHA-256)");
        return 0;
    }
    if (fetcher.signed_result == http_fetch_remote_manifest_data::manifest_too_long ||
        fetcher.signed_result == http_fetch_remote_manifest_data::manifest_too_short) {
        refuse_update("the manifest does not match its release signature (length)");
        return 0;
    }
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
    updater.port = server.port;
    updater.use_tls = server.use_tls;
    updater.tls_context = tls_context.get();
    updater.verify_content_hash = signed_updates;
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
    if (signed_updates) {
        accept_release(destination, signature.release);
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
        updater.update_files(hosts, root, selected);
    } else {
        // A partial download kept for a file that is no longer to be fetched only takes room.
        updater.discard_partial_download();
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
        update_run_options options{job.window, job.verbose, job.beta_test_enabled, nullptr, job.server};
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
