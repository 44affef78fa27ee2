// The timer's decisions tick by tick, with real lock files and a real second process holding the lock.
#include "app/launcher_timer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "app/launcher_state.h"
#include "app/updater_lock.h"
#include "app/updater_start.h"
#include "testing/log_capture.h"
#include "testing/temp_directory.h"

namespace {

const char give_up_lines[] =
    "\n"
    "Sorry, it looks like there's another version of the launcher downloading\n"
    "updates right now.  Please try again when it's finished.\n"
    "\n";

// Another launcher: a child process that holds the lock until release() or the end of the object.
class lock_holder {
  public:
    explicit lock_holder(const std::string& path) {
        int ready[2];
        if (pipe(ready) != 0 || pipe(hold_) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(hold_[1]);
            char answer = try_updater_lock(path.c_str()) >= 0 ? 'y' : 'n';
            if (write(ready[1], &answer, 1) != 1) {
                _exit(1);
            }
            char byte;
            while (read(hold_[0], &byte, 1) > 0) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(hold_[0]);
        char answer = 'n';
        EXPECT_EQ(read(ready[0], &answer, 1), 1);
        EXPECT_EQ(answer, 'y') << "the other process did not get the lock";
        close(ready[0]);
    }
    ~lock_holder() { release(); }

    void release() {
        if (pid_ > 0) {
            close(hold_[1]);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

  private:
    pid_t pid_ = -1;
    int hold_[2] = {-1, -1};
};

struct first_action {
    int tick = 0;  // 0: only wait up to the last tick
    tick_action action = tick_action::wait;
};

// Runs ticks `from` to `to` (tick n has counted 20 * n ms) until one does something.
first_action run_ticks(int from, int to, int options_mode = 0, int close_requested = 0) {
    for (int tick = from; tick <= to; ++tick) {
        tick_action action = launcher_timer_tick(20 * tick, options_mode, close_requested);
        if (action != tick_action::wait) {
            return {tick, action};
        }
    }
    return {};
}

class LauncherTimer : public testing::Test {
  protected:
    void SetUp() override {
        lock_file_path.set(dir_.file("lock.tmp").c_str());
        updater_lock_fd = -1;
        updater_started = 0;
        updater_finished = 0;
        updater_lock_unusable = 0;
    }
    void TearDown() override {
        release_updater_lock(updater_lock_fd);
        updater_lock_fd = -1;
    }

    // What start-up does with a free lock; the run itself is not started.
    void take_lock_as_start_up() {
        ASSERT_EQ(take_updater_lock(), lock_attempt::taken);
        updater_started = 1;
    }

    temp_directory dir_;
};

}  // namespace

TEST_F(LauncherTimer, QuickRunBootsOnTheFiftyFirstTick) {
    take_lock_as_start_up();
    updater_finished = 1;  // finished within the first tick
    first_action first = run_ticks(1, 200);
    EXPECT_EQ(first.tick, 51);
    EXPECT_EQ(first.action, tick_action::boot);
}

TEST_F(LauncherTimer, NoBootWhileRunGoesOrOptionsShown) {
    take_lock_as_start_up();
    // Far past the lock wait: with the lock once taken, the tick never gives up.
    EXPECT_EQ(run_ticks(1, 400).tick, 0);
    updater_finished = 1;
    EXPECT_EQ(run_ticks(401, 500, 1).tick, 0);
    first_action first = run_ticks(501, 501, 0);
    EXPECT_EQ(first.action, tick_action::boot);
}

TEST_F(LauncherTimer, AnotherLauncherHoldsTheLockUntilTheGiveUp) {
    lock_holder other(lock_file_path.c_str());
    log_capture log(2);
    first_action first = run_ticks(1, 200);
    EXPECT_EQ(first.tick, 151);
    EXPECT_EQ(first.action, tick_action::close);
    EXPECT_EQ(log.text(), give_up_lines);
    EXPECT_LT(updater_lock_fd, 0);
    EXPECT_EQ(updater_finished, 0);
}

TEST_F(LauncherTimer, LockFreedInTimeStartsALateRun) {
    lock_holder other(lock_file_path.c_str());
    log_capture log(2);
    EXPECT_EQ(run_ticks(1, 100).tick, 0);
    other.release();
    first_action first = run_ticks(101, 200);
    EXPECT_EQ(first.tick, 101);
    EXPECT_EQ(first.action, tick_action::start_run);
    EXPECT_GE(updater_lock_fd, 0);
    EXPECT_EQ(log.text(), "OnTimer(), late start of updater thread.\n");
}

TEST_F(LauncherTimer, UnusableLockSkipsTheRunAndBootsWhatIsInstalled) {
    // A directory where the lock file belongs: open() fails, and that is no other launcher.
    ASSERT_EQ(mkdir(lock_file_path.c_str(), 0700), 0);
    log_capture log;
    EXPECT_EQ(take_updater_lock(), lock_attempt::unusable);
    EXPECT_EQ(updater_finished, 1);
    first_action first = run_ticks(1, 400);
    EXPECT_EQ(first.tick, 51);
    EXPECT_EQ(first.action, tick_action::boot);
    EXPECT_EQ(log.text(), "Error in take_updater_lock(), unable to lock file '" +
                              std::string(lock_file_path.c_str()) +
                              "': Is a directory.  Skipping the update.\n");
}

TEST_F(LauncherTimer, LockFileThatMayNotBeOpenedIsUnusableNotHeld) {
    // Owned by root and private: an unprivileged launcher gets EACCES from open(), which lockf also
    // uses for a held lock.
    write_file(lock_file_path.c_str(), "", 0600);
    pid_t child = fork();
    if (child == 0) {
        if (setuid(65534) != 0) {
            _exit(3);
        }
        _exit(take_updater_lock() == lock_attempt::unusable && updater_finished == 1 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(LauncherTimer, CloseRequestWaitsForTheRunAndNeverBoots) {
    take_lock_as_start_up();
    EXPECT_EQ(run_ticks(1, 300, 0, 1).tick, 0);
    updater_finished = 1;
    // At once, before the 1000 ms a boot would wait for, and even with the options shown.
    first_action first = run_ticks(2, 2, 1, 1);
    EXPECT_EQ(first.action, tick_action::close);
}
