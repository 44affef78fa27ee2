#include "app/status_texts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

struct texts_case {
    int options_mode;
    int beta;
    double progress;
    int started;
    const char* upper;
    const char* lower;
};

const char plain_upper[] = "(press 'escape' for options)";
const char beta_upper[] = "(beta test mode - press 'escape' for options)";

const texts_case texts_cases[] = {
    // Progress view: the value rounds to one decimal; 0 or less shows the run's state.
    {0, 0, 42.26, 1, plain_upper, "Downloading - 42.3%"},
    {0, 0, 100, 1, plain_upper, "Downloading - 100.0%"},
    {0, 0, 0.04, 1, plain_upper, "Downloading - 0.0%"},
    {0, 0, 0, 1, plain_upper, "Checking for updates..."},
    {0, 0, -5, 1, plain_upper, "Checking for updates..."},
    {0, 0, 0, 0, plain_upper, ""},
    {0, 1, 7.5, 1, beta_upper, "Downloading - 7.5%"},
    {0, 1, 0, 0, beta_upper, ""},
    // A stray value never stops the texts: NaN counts as no progress.
    {0, 0, std::nan(""), 1, plain_upper, "Checking for updates..."},
    {0, 0, std::numeric_limits<double>::infinity(), 1, plain_upper, "Downloading - inf%"},
    // Options view: the progress does not show.
    {1, 0, 42.26, 1, "Launcher Version: 1.095-gtk-rc5",
     "Press 'escape' to continue, 'b' to enter BETA TEST mode."},
    {1, 1, 0, 0, "Launcher Version: 1.095-gtk-rc5 - beta test mode enabled",
     "Press 'escape' to continue, 'b' to leave BETA TEST mode."},
};

}  // namespace

TEST(StatusTexts, EveryMode) {
    for (const texts_case& c : texts_cases) {
        status_texts texts = launcher_status_texts(c.options_mode, c.beta, c.progress, c.started);
        EXPECT_EQ(texts.upper, c.upper) << c.options_mode << " " << c.beta << " " << c.progress;
        EXPECT_EQ(texts.lower, c.lower) << c.options_mode << " " << c.beta << " " << c.progress;
    }
}

TEST(StatusTexts, HugeValueIsCutToTheLine) {
    status_texts texts = launcher_status_texts(0, 0, std::numeric_limits<double>::max(), 1);
    EXPECT_EQ(texts.lower.size(), 255u);
    EXPECT_EQ(texts.lower.compare(0, 15, "Downloading - 1"), 0);
}
