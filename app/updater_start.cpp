#include "app/updater_start.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/launcher_config.h"
#include "app/launcher_state.h"
#include "app/startup.h"
#include "app/update_host.h"
#include "app/updater_lock.h"
#include "support/atomic_file.h"
#include "support/config_directory.h"
#include "support/debug_log.h"
#include "updater/update_run.h"

namespace {

// try_updater_lock() reports a failed open and a refused lock alike; EACCES from open means a file we
// may not use, not a lock held by someone else. Opening again tells them apart. Closing this second
// descriptor drops no lock of ours: the lock attempt failed, so this process holds none on the file.
bool lock_file_opens(const char* path, int* cause) {
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *cause = errno;
        return false;
    }
    close(fd);
    return true;
}

// One run at a time: a new run is started only once the previous one has set updater_finished, after
// which its worker no longer reads the job.
executable_updater_job update_job;

}  // namespace

lock_attempt take_updater_lock() {
    if (config_directory_is_read_only()) {
        // The installed client still boots; an update could write none of its files.
        debug_log_at(
            1, "Warning in take_updater_lock(), config directory '%s' is read-only.  Skipping the update.\n",
            get_config_directory());
        updater_lock_fd = -1;
        updater_lock_unusable = 1;
        updater_finished = 1;
        return lock_attempt::unusable;
    }
    const char* path = lock_file_path.c_str();
    int fd = try_updater_lock(path);
    updater_lock_fd = fd;
    if (fd >= 0) {
        updater_lock_unusable = 0;
        return lock_attempt::taken;
    }
    int cause = errno;
    if ((cause == EACCES || cause == EAGAIN) && lock_file_opens(path, &cause)) {
        updater_lock_unusable = 0;
        return lock_attempt::held_elsewhere;
    }
    char text[256];
    debug_log_at(1, "Error in take_updater_lock(), unable to lock file '%s': %s.  Skipping the update.\n",
                 path, strerror_r(cause, text, sizeof text));
    updater_lock_unusable = 1;
    updater_finished = 1;
    return lock_attempt::unusable;
}

int update_run_going() {
    return updater_started == 1 && updater_finished == 0 ? 1 : 0;
}

void start_update_run(update_progress_sink* sink) {
    // A run cut short between writing and renaming the manifest left its temporary; the lock held now
    // keeps any other launcher's save from running meanwhile.
    kest_remove_stale_temporaries(local_manifest_path.c_str());
    update_job.window = sink;
    update_job.host = launcher_update_host;
    update_job.local_manifest = local_manifest_path.c_str();
    update_job.destination = executables_dir.c_str();
    update_job.beta_test_enabled = get_beta_test_enable;
    update_job.verbose = &verbose_printing;
    update_job.lock_fd = &updater_lock_fd;
    update_job.release_lock = release_updater_lock;
    update_job.finished = &updater_finished;
    update_job.server = &launcher_update_server;
    start_executable_updater(executable_updater_thread, &update_job);
}
