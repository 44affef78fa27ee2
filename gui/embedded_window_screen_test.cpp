// Windows on a real (virtual) screen: what the paint handler puts there, seen in a screenshot.
#include <gtest/gtest.h>

#include "gui/kest_progress_bar.h"
#include "gui/toolkit_fixture.h"

namespace {

using EmbeddedWindowOnScreen = toolkit_test;

const screen_pixel window_colour{200, 40, 40};
const screen_pixel bar_colour{128, 128, 128};
const screen_pixel bar_background{32, 32, 32};

// Takes screenshots while handling events until `check` accepts one; the last screenshot.
screen_image screen_when(xvfb_display& display, const std::function<bool(const screen_image&)>& check) {
    screen_image shot;
    run_events_until([&] {
        shot = display.screenshot();
        return shot.width > 0 && check(shot);
    });
    return shot;
}

TEST_F(EmbeddedWindowOnScreen, ShowsTheWindowContentAndTheProgressBar) {
    test_frame frame(wxSize(200, 100));
    auto* window = new test_window(frame.parent, wxPoint(0, 0), wxSize(200, 100), {200, 40, 40});
    auto* bar = new kest_progress_bar(window, wxID_ANY, "Downloader progress bar");
    bar->set_background_colour(32, 32, 32);
    bar->set_bar_colour(128, 128, 128);
    bar->set_position_and_size(10, 80, 180, 10);
    bar->set_value(50);
    frame.frame->Show();

    screen_image shot =
        screen_when(display(), [](const screen_image& s) { return s.pixel(99, 85) == bar_colour; });
    ASSERT_EQ(shot.width, 640);
    EXPECT_EQ(shot.pixel(0, 0), window_colour);
    EXPECT_EQ(shot.pixel(199, 79), window_colour);
    EXPECT_EQ(shot.pixel(9, 85), window_colour);
    EXPECT_EQ(shot.pixel(10, 80), bar_colour);
    EXPECT_EQ(shot.pixel(99, 89), bar_colour);
    EXPECT_EQ(shot.pixel(100, 80), bar_background);
    EXPECT_EQ(shot.pixel(189, 89), bar_background);
    EXPECT_EQ(shot.pixel(190, 85), window_colour);
    EXPECT_EQ(shot.pixel(100, 90), window_colour);
    EXPECT_NE(shot.pixel(200, 50), window_colour);  // outside the frame

    // A new value shows after refresh_if_changed() alone.
    bar->set_value(100);
    bar->refresh_if_changed();
    shot = screen_when(display(), [](const screen_image& s) { return s.pixel(189, 85) == bar_colour; });
    EXPECT_EQ(shot.pixel(189, 85), bar_colour);
    EXPECT_EQ(shot.pixel(190, 85), window_colour);
}

TEST_F(EmbeddedWindowOnScreen, HiddenWindowTakesItsPaintEventsButDrawsNothing) {
    test_frame frame(wxSize(200, 100));
    test_window shown(frame.parent, wxPoint(0, 0), wxSize(100, 100), {200, 40, 40});
    test_window hidden(frame.parent, wxPoint(100, 0), wxSize(100, 100), {40, 200, 40});
    hidden.pretend_hidden = true;
    frame.frame->Show();
    ASSERT_TRUE(run_events_until([&] { return shown.draws > 0 && hidden.paint_events > 0; }));
    screen_image shot =
        screen_when(display(), [](const screen_image& s) { return s.pixel(50, 50) == window_colour; });
    EXPECT_EQ(shot.pixel(50, 50), window_colour);
    EXPECT_EQ(hidden.draws, 0);
    EXPECT_NE(shot.pixel(150, 50), (screen_pixel{40, 200, 40}));

    hidden.pretend_hidden = false;
    hidden.Refresh(false, nullptr);
    shot = screen_when(display(), [](const screen_image& s) {
        return s.pixel(150, 50) == screen_pixel{40, 200, 40};
    });
    EXPECT_EQ(shot.pixel(150, 50), (screen_pixel{40, 200, 40}));
}

}  // namespace
