#include "app/launcher_timer.h"

#include "app/launcher_state.h"
#include "app/updater_start.h"
#include "support/debug_log.h"

tick_action launcher_timer_tick(int elapsed_ms, int options_mode, int close_requested) {
    if (close_requested) {
        return updater_finished == 1 ? tick_action::close : tick_action::wait;
    }
    // Once taken, the lock is not waited for again: updater_lock_fd keeps the released descriptor's
    // number. Only a failed attempt after a beta toggle sets it back to -1.
    if (updater_lock_fd < 0 && updater_lock_unusable == 0) {
        if (take_updater_lock() == lock_attempt::taken) {
            debug_log_at(2, "OnTimer(), late start of updater thread.\n");
            return tick_action::start_run;
        }
        if (updater_lock_unusable == 1 || elapsed_ms <= 3000) {
            return tick_action::wait;
        }
        debug_log_at(1, "\n");
        debug_log_at(1, "Sorry, it looks like there's another version of the launcher downloading\n");
        debug_log_at(1, "updates right now.  Please try again when it's finished.\n");
        debug_log_at(1, "\n");
        return tick_action::close;
    }
    if (elapsed_ms > 1000 && updater_finished == 1 && options_mode == 0) {
        return tick_action::boot;
    }
    return tick_action::wait;
}
