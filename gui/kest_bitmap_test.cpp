#include "gui/kest_bitmap.h"

#include <gtest/gtest.h>
#include <wx/mstream.h>

#include "assets/splash_png.h"
#include "gui/toolkit_fixture.h"
#include "testing/log_capture.h"

namespace {

using KestBitmap = toolkit_test;

TEST_F(KestBitmap, NewBitmapHas32BitPixelsAllOpaque) {
    kest_bitmap bitmap(7, 3);
    ASSERT_TRUE(bitmap.IsOk());
    EXPECT_EQ(bitmap.GetDepth(), 32);
    EXPECT_EQ(bitmap.GetWidth(), 7);
    EXPECT_EQ(bitmap.GetHeight(), 3);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 7; ++x) {
            ASSERT_EQ(pixel_of(bitmap, x, y).alpha, 255) << x << "," << y;
        }
    }
}

// The pixel tests cover clipping; these show that the toolkit's pixels are the ones drawn.
TEST_F(KestBitmap, DrawsIntoTheToolkitPixels) {
    kest_bitmap dest(5, 5);
    dest.DrawFilledRectangle(-9, -9, 9, 9, {1, 2, 3});
    dest.DrawFilledRectangle(4, 4, 3, 3, {200, 100, 50});
    EXPECT_EQ(pixel_of(dest, 3, 3), (bitmap_pixel{200, 100, 50, 255}));
    EXPECT_EQ(pixel_of(dest, 4, 4), (bitmap_pixel{200, 100, 50, 255}));
    EXPECT_EQ(pixel_of(dest, 2, 3), (bitmap_pixel{1, 2, 3, 255}));

    // A source with alpha below 255 hands it on; there is no blending.
    wxImage translucent(10, 10);
    translucent.SetRGB(wxRect(0, 0, 10, 10), 9, 8, 7);
    translucent.SetRGB(4, 5, 70, 80, 90);
    translucent.InitAlpha();
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 10; ++x) {
            translucent.SetAlpha(x, y, static_cast<unsigned char>(10 * x + y));
        }
    }
    kest_bitmap source(translucent);
    dest.DrawBitmap(source, -3, -4);
    EXPECT_EQ(pixel_of(dest, 1, 1), (bitmap_pixel{70, 80, 90, 45}));
    EXPECT_EQ(pixel_of(dest, 0, 0), (bitmap_pixel{9, 8, 7, 34}));
    EXPECT_EQ(pixel_of(dest, 4, 4), (bitmap_pixel{9, 8, 7, 78}));
    EXPECT_EQ(pixel_of(source, 4, 5), (bitmap_pixel{70, 80, 90, 45}));

    dest.ClearAlpha();
    EXPECT_EQ(pixel_of(dest, 1, 1), (bitmap_pixel{70, 80, 90, 255}));
}

TEST_F(KestBitmap, SplashPictureBecomesAnOpaqueCopyOfTheImage) {
    wxMemoryInputStream stream(splash_png, splash_png_size);
    wxImage image(stream, wxBITMAP_TYPE_PNG);
    ASSERT_TRUE(image.IsOk());
    ASSERT_FALSE(image.HasAlpha());
    kest_bitmap splash(image);
    ASSERT_TRUE(splash.IsOk());
    EXPECT_EQ(splash.GetWidth(), 480);
    EXPECT_EQ(splash.GetHeight(), 300);
    EXPECT_EQ(splash.GetDepth(), 32);
    for (int y = 0; y < 300; ++y) {
        for (int x = 0; x < 480; ++x) {
            bitmap_pixel expected{image.GetRed(x, y), image.GetGreen(x, y), image.GetBlue(x, y), 255};
            ASSERT_EQ(pixel_of(splash, x, y), expected) << x << "," << y;
        }
    }
}

TEST_F(KestBitmap, BitmapsWithoutAlphaPixelsAreLeftAloneAndLogged) {
    log_capture log(2);
    kest_bitmap dest(4, 4);
    dest.DrawFilledRectangle(0, 0, 3, 3, {5, 6, 7});
    wxBitmap opaque_source(4, 4, 24);
    dest.DrawBitmap(opaque_source, 0, 0);
    EXPECT_EQ(pixel_of(dest, 2, 2), (bitmap_pixel{5, 6, 7, 255}));

    kest_bitmap invalid{wxImage()};
    EXPECT_FALSE(invalid.IsOk());
    invalid.ClearAlpha();
    invalid.DrawFilledRectangle(0, 0, 3, 3, {5, 6, 7});
    invalid.DrawBitmap(dest, 0, 0);
    EXPECT_EQ(log.text(),
              "Error in kest_bitmap::DrawBitmap(), pixel data src failed?\n"
              "Error in kest_bitmap::ClearAlpha(), pixel data failed?\n"
              "Error in kest_bitmap::DrawFilledRectangle(), pixel data failed?\n"
              "Error in kest_bitmap::DrawBitmap(), pixel data dest failed?\n");

    // The same failures reach no log at the launcher's level 1.
    std::string before = log.text();
    debug_log_level = 1;
    invalid.ClearAlpha();
    EXPECT_EQ(log.text(), before);
}

}  // namespace
