// The update run: fetch the remote manifest, compare it with the local one, download and install what
// the selection rule picks, and report on standard output, to the window and to the debug log. It runs
// on the "executable updater" worker thread; the launcher hands it everything through one job.
#pragma once

#include <cstdint>
#include <ctime>

#include <atomic>
#include <functional>

#include "updater/file_manifest.h"
#include "updater/manifest_name.h"
#include "updater/update_progress.h"

// The download root on the update server and the remote manifest's file name under it.
extern const char update_download_root[];         // "/downloads/tessar_v3"
extern const char update_remote_manifest_list[];  // "manifest_linux32_executables.txt.gz"

// How the launcher reaches its update server and what it trusts, fixed when the launcher is built.
struct update_server_settings {
    int port;     // 80 unless built otherwise
    int use_tls;  // every fetch over TLS, the server's certificate verified for its host name
    // With TLS: a PEM file of the CA certificates that alone vouch for the server; null or empty: the
    // system's CA store.
    const char* ca_file;
    // Comma-separated Base64 Ed25519 public keys. Empty or null: nothing is checked, as in a launcher built
    // without keys. Otherwise the run acts on a manifest only after its release signature held
    // (release_signature.h), and installs a file only with the SHA-256 its record gives.
    const char* keys;
};

// What one run reads besides its paths. Every pointer may be null: no window, quiet, beta mode off,
// the system clock, port 80 without TLS or keys.
struct update_run_options {
    update_progress_sink* window;     // told the percentage, on the worker thread
    const std::atomic<int>* verbose;  // -v: read throughout the run
    int (*beta_test_enabled)();       // read during the selection (the window may toggle it meanwhile)
    time_t (*clock_seconds)();        // whole seconds: the percentage line, and a signature's expiry
    const update_server_settings* server;
};

// Why the selection rule took a remote record or passed it over.
enum class record_selection {
    no_name,        // passed over
    unsafe_name,    // passed over; the verdict says why
    size_differs,   // taken: the local file exists with another size
    up_to_date,     // passed over
    first_plain,    // taken: the first record without "beta" in its name, and it needs an update
    first_beta,     // taken: the first beta record in beta test mode, and it needs an update
    later_plain,    // passed over: needs an update, but is not the first plain record
    later_beta,     // passed over: needs an update, but is not the first beta record
    beta_mode_off,  // passed over: the first beta record needs an update, outside beta test mode
};

struct record_decision {
    record_selection why;
    bool selected;
    manifest_name_verdict verdict;  // of the record's name
};

// What the rule remembers from one record to the next: whether the first plain and the first beta
// record (safe names only) are still to come.
struct record_selection_state {
    bool first_plain_pending = true;
    bool first_beta_pending = true;
};

// The selection rule for the next remote record `r` in manifest order. It prints nothing and looks at
// the disk only through its two questions: `local_size` (the size of the record's local file, -1 when
// there is none) is asked only for a safe name, `needs_update` only when that file is missing or has the
// record's size. A file whose size differs is fetched whatever its position; otherwise only the first
// plain record and, in beta test mode, the first beta record are, when they need an update.
record_decision decide_record(const manifest_entry& r, bool beta_mode, record_selection_state& state,
                              const std::function<int64_t()>& local_size,
                              const std::function<bool()>& needs_update);

// Runs one update from `host`: one host name, or several separated by commas, the origin first and its
// mirrors after it (update_hosts.h). 0 when it was abandoned before any file could be considered (remote
// manifest or its release signature refused, destination or temporary file unusable), 1 otherwise.
int run_executable_updater(const update_run_options& options, const char* host, const char* root,
                           const char* list, const char* manifest, const char* destination,
                           const char* temporary);

// The worker's argument, filled in by the launcher. The worker reads the job when it starts and never
// touches it again after it has set *finished, so the launcher may fill the same object for the next run
// as soon as it sees *finished == 1. The texts and the atomics must outlive the worker.
struct executable_updater_job {
    update_progress_sink* window;     // the launcher window; may be null
    const char* host;                 // the update server, or several separated by commas
    const char* local_manifest;       // local_manifest_path
    const char* destination;          // executables_dir
    int (*beta_test_enabled)();       // get_beta_test_enable
    const std::atomic<int>* verbose;  // &verbose_printing
    // &updater_lock_fd. The worker takes the descriptor it will release from here when it starts and
    // never writes the variable: afterwards it still holds the number of the closed descriptor.
    const std::atomic<int>* lock_fd;
    int (*release_lock)(int fd);           // release_updater_lock
    std::atomic<int>* finished;            // &updater_finished
    const update_server_settings* server;  // may be null: port 80, no TLS, no keys
};

// The worker entry, for kest_thread_create("executable updater", executable_updater_thread, &job).
// Builds <config directory>/executables/download.tmp, runs the update, releases the lock it was started
// with, and only then sets *finished to 1, so no boot and no new run can begin while the lock is held.
// Returns 0.
int executable_updater_thread(void* job);
