#include "gui/kest_embedded_window.h"

#include <gtest/gtest.h>

#include "gui/toolkit_fixture.h"
#include "testing/log_capture.h"

namespace {

using EmbeddedWindow = toolkit_test;

TEST_F(EmbeddedWindow, BackBufferHasTheConstructorSizeRaisedToOne) {
    test_frame frame;
    const struct {
        wxSize size;
        wxSize buffer;
    } cases[] = {
        {{30, 12}, {30, 12}}, {{0, -5}, {1, 1}}, {{1, 0}, {1, 1}}, {wxDefaultSize, {1, 1}}, {{0, 7}, {1, 7}},
    };
    for (const auto& c : cases) {
        test_window window(frame.parent, wxPoint(0, 0), c.size);
        EXPECT_EQ(window.back_buffer()->GetSize(), c.buffer) << c.size.x << "x" << c.size.y;
        EXPECT_EQ(window.back_buffer()->GetDepth(), 32);
        EXPECT_EQ(pixel_of(*window.back_buffer(), 0, 0).alpha, 255);
    }
}

TEST_F(EmbeddedWindow, BufferIsReplacedOnlyWhenTheSizeReallyChanges) {
    test_frame frame;
    test_window window(frame.parent, wxPoint(0, 0), wxSize(20, 20));
    const struct {
        bool keep_position;  // set_size() rather than set_position_and_size()
        int x, y, width, height;
        wxSize buffer;
        bool size_changed;
        wxPoint position;
    } steps[] = {
        {false, 10, 280, 460, 10, {460, 10}, true, {10, 280}},
        {false, 10, 280, 460, 10, {460, 10}, false, {10, 280}},
        {false, 5, 6, 460, 10, {460, 10}, false, {5, 6}},
        {true, 0, 0, 0, -3, {1, 1}, true, {5, 6}},
        {true, 0, 0, 1, 1, {1, 1}, false, {5, 6}},
        {false, 0, 0, -2, 8, {1, 8}, true, {0, 0}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::Message()
                     << (step.keep_position ? "set_size " : "set_position_and_size ") << step.x << ","
                     << step.y << " " << step.width << "x" << step.height);
        // A marker tells a kept buffer from a new one, which could reuse the old one's address.
        window.back_buffer()->DrawFilledRectangle(0, 0, 0, 0, {1, 2, 3});
        window.redraw_requests.clear();
        if (step.keep_position) {
            window.set_size(step.width, step.height);
        } else {
            window.set_position_and_size(step.x, step.y, step.width, step.height);
        }
        EXPECT_EQ(window.redraw_requests, std::vector<bool>{step.size_changed});
        EXPECT_EQ(window.back_buffer()->GetSize(), step.buffer);
        EXPECT_EQ(window.GetSize(), step.buffer);
        EXPECT_EQ(window.GetPosition(), step.position);
        EXPECT_EQ(pixel_of(*window.back_buffer(), 0, 0).red == 1, !step.size_changed);
        EXPECT_EQ(pixel_of(*window.back_buffer(), 0, 0).alpha, 255);
    }
    window.redraw_requests.clear();
    window.redraw();
    EXPECT_EQ(window.redraw_requests, std::vector<bool>{true});
}

TEST_F(EmbeddedWindow, BufferCatchesUpWithASizeTheToolkitSetAlone) {
    test_frame frame;
    test_window window(frame.parent, wxPoint(0, 0), wxSize(20, 20));
    window.SetSize(50, 30);
    run_pending_events();
    EXPECT_EQ(window.back_buffer()->GetSize(), wxSize(20, 20));  // size events do not resize it
    window.set_size(50, 30);
    EXPECT_EQ(window.back_buffer()->GetSize(), wxSize(50, 30));
    EXPECT_EQ(window.redraw_requests, std::vector<bool>{true});
}

TEST_F(EmbeddedWindow, AnimationTickRunsEveryWindowAndUnlinksThoseThatAreDone) {
    log_capture log;
    test_frame frame;
    auto first = std::make_unique<test_window>(frame.parent, wxPoint(0, 0), wxSize(5, 5));
    test_window second(frame.parent, wxPoint(0, 0), wxSize(5, 5));
    test_window third(frame.parent, wxPoint(0, 0), wxSize(5, 5));
    embedded_window_animation_list = first.get();
    first->next = &second;
    second.next = &third;
    second.animation_result = 0;

    embedded_window_animation_tick(20);
    EXPECT_EQ(first->animation_calls, std::vector<int>{20});
    EXPECT_EQ(second.animation_calls, std::vector<int>{20});
    EXPECT_EQ(third.animation_calls, std::vector<int>{20});
    EXPECT_EQ(embedded_window_animation_list, first.get());
    EXPECT_EQ(first->next, &third);
    EXPECT_EQ(second.next, nullptr);
    EXPECT_EQ(log.text(), "");

    // The base version reports that it was reached, and ends the animation.
    third.animation_result = -1;
    embedded_window_animation_tick(40);
    EXPECT_EQ(third.animation_calls, (std::vector<int>{20, 40}));
    EXPECT_EQ(first->next, nullptr);
    EXPECT_EQ(log.text(),
              "Error in kest_embedded_window::animation_callback(), this handler should never be called.\n");

    // A window that goes away leaves the list.
    first.reset();
    EXPECT_EQ(embedded_window_animation_list, nullptr);
    embedded_window_animation_tick(20);
    EXPECT_EQ(second.animation_calls.size(), 1u);
}

}  // namespace
