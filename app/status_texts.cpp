#include "app/status_texts.h"

#include <cstdio>

#include "app/launcher_state.h"

status_texts launcher_status_texts(int options_mode, int beta_test, double progress, int updater_started) {
    status_texts texts;
    if (options_mode == 1) {
        texts.upper = std::string("Launcher Version: ") + launcher_version_string;
        if (beta_test == 1) {
            texts.upper += " - beta test mode enabled";
        }
        texts.lower = beta_test == 1 ? "Press 'escape' to continue, 'b' to leave BETA TEST mode."
                                     : "Press 'escape' to continue, 'b' to enter BETA TEST mode.";
        return texts;
    }
    texts.upper =
        beta_test == 1 ? "(beta test mode - press 'escape' for options)" : "(press 'escape' for options)";
    if (progress > 0) {
        char line[256];
        snprintf(line, sizeof line, "Downloading - %.1f%%", progress);
        texts.lower = line;
    } else if (updater_started == 1) {
        texts.lower = "Checking for updates...";
    }
    return texts;
}
