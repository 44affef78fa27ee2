// Process-wide state of the launcher, set up at start-up and shared by the window, the boot and the
// update worker.
#pragma once

#include <atomic>

#include "support/bounded_string.h"

extern const char launcher_version_string[];  // "1.095-gtk-rc5"

extern bounded_string local_manifest_path;  // <config>/executables/update_manifest.lst
extern bounded_string executables_dir;      // <config>/executables
extern bounded_string crash_detect_path;    // <config>/bootname.txt
extern bounded_string lock_file_path;       // <config>/executables/lock.tmp

extern std::atomic<int> verbose_printing;  // -v: more console output from the update run
extern std::atomic<int> updater_lock_fd;   // the updater lock's descriptor, -1 when the last attempt failed
extern std::atomic<int> updater_started;   // 1 once a worker was created; never reset
extern std::atomic<int> updater_finished;  // cleared before each worker starts; set when its run is over
// 1 when the latest lock attempt failed for another reason than a lock held by another launcher: the
// update run is then skipped and the launcher boots what is installed.
extern std::atomic<int> updater_lock_unusable;
