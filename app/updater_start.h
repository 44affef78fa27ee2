// Starting update runs: the updater lock that guards them, and the worker that runs them.
#pragma once

class update_progress_sink;

enum class lock_attempt {
    taken,           // updater_lock_fd holds the locked descriptor
    held_elsewhere,  // another launcher holds the lock: try again later
    unusable,        // the lock cannot be taken for another reason: no update run this time
};

// Tries the updater lock on lock_file_path and stores the result in updater_lock_fd. A lock that is
// unusable rather than held (the file cannot be opened, or lockf fails with something like ENOLCK on a
// network home directory) is no other launcher: the cause is logged, updater_lock_unusable is set and
// the update run counts as finished, so that the launcher boots what is installed instead of waiting.
// A read-only configuration directory is treated the same way, without trying the lock.
lock_attempt take_updater_lock();

// 1 while a started update run has not finished.
int update_run_going();

// Starts an update run on a worker that reports its progress to `sink`; the sink must stay valid until
// the run has set updater_finished. Call it only while holding the lock (take_updater_lock), which the
// worker releases when its run is over. Ends the process when no worker can be created.
void start_update_run(update_progress_sink* sink);
