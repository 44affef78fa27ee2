#include "gui/kest_progress_bar.h"

#include <gtest/gtest.h>

#include <cmath>

#include "gui/toolkit_fixture.h"

namespace {

using ProgressBar = toolkit_test;

// Counts repaint requests instead of only making them.
class counting_bar : public kest_progress_bar {
  public:
    using kest_progress_bar::kest_progress_bar;
    void Refresh(bool erase_background, const wxRect* rect) override {
        ++refreshes;
        kest_progress_bar::Refresh(erase_background, rect);
    }
    int refreshes = 0;
};

// Columns from the left that have `colour` in every row, and whether all the others have `rest`.
int filled_columns(kest_bitmap* buffer, bitmap_pixel colour, bitmap_pixel rest, bool* rest_ok) {
    int columns = 0;
    while (columns < buffer->GetWidth() && pixel_of(*buffer, columns, 0) == colour) {
        ++columns;
    }
    *rest_ok = true;
    for (int y = 0; y < buffer->GetHeight(); ++y) {
        for (int x = 0; x < buffer->GetWidth(); ++x) {
            *rest_ok = *rest_ok && pixel_of(*buffer, x, y) == (x < columns ? colour : rest);
        }
    }
    return columns;
}

TEST_F(ProgressBar, StartsEmptyGreenOnBlackAt20By20WithoutBorder) {
    test_frame frame;
    kest_progress_bar bar(frame.parent, wxID_ANY, "Downloader progress bar");
    EXPECT_EQ(bar.GetName(), "Downloader progress bar");
    EXPECT_EQ(bar.GetSize(), wxSize(20, 20));
    EXPECT_EQ(bar.back_buffer()->GetSize(), wxSize(20, 20));
    EXPECT_EQ(bar.GetWindowBorderSize(), wxSize(0, 0));
    EXPECT_EQ(bar.value(), 0.0);
    bool rest_ok = false;
    bar.draw_content(bar.back_buffer());
    EXPECT_EQ(filled_columns(bar.back_buffer(), {0, 255, 0, 255}, {0, 0, 0, 255}, &rest_ok), 0);
    EXPECT_TRUE(rest_ok);
    bar.set_value(100);
    bar.draw_content(bar.back_buffer());
    EXPECT_EQ(filled_columns(bar.back_buffer(), {0, 255, 0, 255}, {0, 0, 0, 255}, &rest_ok), 20);
    EXPECT_TRUE(rest_ok);
}

TEST_F(ProgressBar, FillFollowsTheValueClampedToTheBar) {
    test_frame frame(wxSize(480, 300));
    kest_progress_bar bar(frame.parent, wxID_ANY, "Downloader progress bar");
    bar.set_background_colour(32, 32, 32);
    bar.set_bar_colour(128, 128, 128);
    bar.set_position_and_size(10, 280, 460, 10);
    const struct {
        double value;
        int columns;
    } cases[] = {
        {50, 230}, {33.3, 153},       {0, 0},       {100, 460}, {250, 460},
        {-1, 0},   {std::nan(""), 0}, {1e300, 460}, {0.2, 0},   {0.3, 1},
    };
    for (const auto& c : cases) {
        bar.set_value(c.value);
        bar.draw_content(bar.back_buffer());
        bool rest_ok = false;
        EXPECT_EQ(filled_columns(bar.back_buffer(), {128, 128, 128, 255}, {32, 32, 32, 255}, &rest_ok),
                  c.columns)
            << "value " << c.value;
        EXPECT_TRUE(rest_ok) << "value " << c.value;
    }
}

TEST_F(ProgressBar, RepaintsOnlyForAValueNotDrawnYet) {
    test_frame frame;
    counting_bar bar(frame.parent, wxID_ANY, "Downloader progress bar");
    bar.refresh_if_changed();  // 0 was never drawn
    EXPECT_EQ(bar.refreshes, 1);
    bar.draw_content(bar.back_buffer());
    bar.refresh_if_changed();
    EXPECT_EQ(bar.refreshes, 1);

    bar.set_value(42.26);  // stores only
    EXPECT_EQ(bar.refreshes, 1);
    EXPECT_EQ(bar.value(), 42.26);
    bar.refresh_if_changed();
    bar.refresh_if_changed();  // not drawn in between: asks again
    EXPECT_EQ(bar.refreshes, 3);
    bar.draw_content(bar.back_buffer());
    bar.refresh_if_changed();
    EXPECT_EQ(bar.refreshes, 3);

    bar.set_value(std::nan(""));
    bar.refresh_if_changed();
    bar.draw_content(bar.back_buffer());
    bar.refresh_if_changed();
    EXPECT_EQ(bar.refreshes, 4);
}

}  // namespace
