// What the two lines of white text on the launcher window say, apart from the window.
#pragma once

#include <string>

struct status_texts {
    std::string upper;
    std::string lower;
};

// The texts for the options view (`options_mode` 1) or the progress view (0). In the progress view the
// lower line shows `progress` when it is above 0, else "Checking for updates..." once an update run was
// started, else nothing. Any double is safe: a NaN counts as no progress, a huge value is cut to the
// line's 255 characters.
status_texts launcher_status_texts(int options_mode, int beta_test, double progress, int updater_started);
