#include "app/launcher_state.h"

const char launcher_version_string[] = "1.095-gtk-rc5";

bounded_string local_manifest_path;
bounded_string executables_dir;
bounded_string crash_detect_path;
bounded_string lock_file_path;

std::atomic<int> verbose_printing{0};
std::atomic<int> updater_lock_fd{-1};
std::atomic<int> updater_started{0};
std::atomic<int> updater_finished{0};
std::atomic<int> updater_lock_unusable{0};
