#include "gui/progress_fill.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(ProgressFill, TruncatesAndClampsThePercentage) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        int width;
        double percent;
        int fill;
    } cases[] = {
        // clang-format off
        {460, 50, 230},
        {460, 33.3, 153},  // 153.18
        {460, 0.1, 0},
        {460, 0, 0},
        {460, 100, 460},
        {460, 99.99, 459},
        {460, 150, 460},
        {460, -5, 0},
        {460, 1e300, 460},  // a percentage of a one-byte total: no overflow into a negative fill
        {460, inf, 460},
        {460, -inf, 0},
        {460, std::nan(""), 0},
        {1, 100, 1},
        {0, 50, 0},
        {-3, 50, 0},
        // clang-format on
    };
    for (const auto& c : cases) {
        EXPECT_EQ(progress_fill(c.width, c.percent), c.fill) << c.width << " at " << c.percent;
    }
}

}  // namespace
