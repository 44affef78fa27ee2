// The decisions of the launcher window's 20 ms timer, apart from the window: waiting for the updater
// lock, giving up on it, and handing over to boot selection.
#pragma once

enum class tick_action {
    wait,       // nothing more this tick
    start_run,  // the lock was free at last: start an update run
    boot,       // the update run is over: boot selection, then close if it returns
    close,      // close the launcher without booting
};

// One tick; `elapsed_ms` already counts it (20 per tick, so tick n has counted 20 * n).
// - `close_requested`: the window system asked to close during an update run; close once it is over.
// - While the updater lock has never been taken (updater_lock_fd negative and the lock not unusable)
//   the tick retries it, answering start_run when it gets it, and after more than 3000 ms logs that
//   another launcher is updating and answers close.
// - Otherwise it answers boot once more than 1000 ms are counted, the run has finished and
//   `options_mode` is 0.
tick_action launcher_timer_tick(int elapsed_ms, int options_mode, int close_requested);
