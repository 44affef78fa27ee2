// Runs the launcher's start-up up to the point where the window would be created, then reports the
// state it built on standard output, one "name=value" line each.
#include <cstdio>
#include <cstdlib>

#include "app/launcher_config.h"
#include "app/launcher_state.h"
#include "app/startup.h"
#include "support/config_directory.h"
#include "support/debug_log.h"

int main(int argc, char** argv) {
    // Lets tests see the level-3 messages (such as each save of launcher.cfg).
    if (const char* level = getenv("VARNHOLT_PROBE_LOG_LEVEL")) {
        debug_log_level = atoi(level);
    }
    launcher_start_up(argc, argv);
    printf("config_directory=%s\n", get_config_directory());
    printf("local_manifest_path=%s\n", local_manifest_path.c_str());
    printf("executables_dir=%s\n", executables_dir.c_str());
    printf("crash_detect_path=%s\n", crash_detect_path.c_str());
    printf("verbose_printing=%d\n", verbose_printing.load());
    printf("beta_test_enable=%d\n", beta_test_enable.load());
    return 0;
}
