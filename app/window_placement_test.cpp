#include "app/window_placement.h"

#include <gtest/gtest.h>

#include "testing/log_capture.h"

TEST(WindowPlacement, CentresWithHalvesRoundedTowardZero) {
    struct {
        int width, height, x, y;
    } cases[] = {
        {1023, 767, 271, 233}, {401, 299, -39, 0},     {480, 300, 0, 0},
        {478, 298, -1, -1},    {1920, 1080, 720, 390},
    };
    for (const auto& c : cases) {
        frame_position at = launcher_frame_position(c.width, c.height);
        EXPECT_EQ(at.x, c.x) << c.width;
        EXPECT_EQ(at.y, c.y) << c.height;
    }
}

TEST(WindowPlacement, BogusDisplaySizeIsLoggedAndReplaced) {
    log_capture log(2);
    frame_position at = launcher_frame_position(0, -3);
    EXPECT_EQ(at.x, 80);
    EXPECT_EQ(at.y, 90);
    EXPECT_EQ(log.text(),
              "Error in OnInit(), got bogus screen/display xsize of 0.  Setting to 640.\n"
              "Error in OnInit(), got bogus screen/display ysize of -3.  Setting to 480.\n"
              "OnInit(), got screen/display size of 640, 480.\n");
}
