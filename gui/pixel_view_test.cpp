#include "gui/pixel_view.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

namespace {

// Pixel memory with padding at the end of every row and as much again before and after it, each byte
// holding its own distinct value, so that a write to a wrong pixel, a wrong channel, past a row's end
// or outside the rows shows.
struct test_pixels {
    static constexpr int padding = 12;

    test_pixels(int width, int height, int seed)
        : width(width),
          height(height),
          stride(4 * width + padding),
          guard(static_cast<size_t>(stride) * height),
          bytes(3 * guard) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<unsigned char>(i * 7 + seed);
        }
        original = bytes;
    }

    pixel_view view() { return pixel_view{width, height, stride, bytes.data() + guard}; }
    const unsigned char* now(int x, int y) const { return &bytes[guard + y * stride + 4 * x]; }
    const unsigned char* before(int x, int y) const { return &original[guard + y * stride + 4 * x]; }
    // Nothing outside the pixels changed.
    bool outside_unchanged() const {
        for (size_t i = 0; i < bytes.size(); ++i) {
            size_t offset = i - guard;  // wraps for the guard before
            bool in_pixel = i >= guard && offset < guard && offset % stride < static_cast<size_t>(4 * width);
            if (!in_pixel && bytes[i] != original[i]) {
                return false;
            }
        }
        return true;
    }

    int width;
    int height;
    int stride;
    size_t guard;
    std::vector<unsigned char> bytes;
    std::vector<unsigned char> original;
};

struct rectangle_case {
    int x1, y1, x2, y2;
    // The pixels expected to change, inclusive; first_x > last_x for none.
    int first_x, first_y, last_x, last_y;
};

TEST(DrawFilledRectangle, FillsExactlyTheClippedRectangleAndKeepsAlpha) {
    const rectangle_case cases[] = {
        {2, 1, 5, 3, 2, 1, 5, 3},
        {5, 3, 2, 1, 2, 1, 5, 3},  // corners in either order
        {5, 1, 2, 3, 2, 1, 5, 3},
        {0, 0, 9, 4, 0, 0, 9, 4},  // inclusive: 10 x 5 pixels
        {7, 4, 7, 4, 7, 4, 7, 4},  // one pixel
        {-5, -5, 100, 100, 0, 0, 19, 9},
        {18, 8, 25, 12, 18, 8, 19, 9},
        {20, 0, 30, 5, 1, 0, 0, 0},   // right of the bitmap
        {-10, 0, -1, 5, 1, 0, 0, 0},  // left of it
        {0, 10, 5, 12, 1, 0, 0, 0},   // below it
        {3, -8, 4, -1, 1, 0, 0, 0},   // above it
        {INT_MIN, INT_MIN, INT_MAX, INT_MAX, 0, 0, 19, 9},
    };
    // Only the low byte of each channel is written.
    const rgb_colour colour{0x1ab, 0x2cd, -0x11};
    for (const rectangle_case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x1 << "," << c.y1 << " " << c.x2 << "," << c.y2);
        test_pixels pixels(20, 10, 3);
        draw_filled_rectangle(pixels.view(), c.x1, c.y1, c.x2, c.y2, colour);
        for (int y = 0; y < pixels.height; ++y) {
            for (int x = 0; x < pixels.width; ++x) {
                const unsigned char* p = pixels.now(x, y);
                const unsigned char* old = pixels.before(x, y);
                bool inside = x >= c.first_x && x <= c.last_x && y >= c.first_y && y <= c.last_y;
                if (inside) {
                    ASSERT_EQ(p[0], 0xab) << x << "," << y;
                    ASSERT_EQ(p[1], 0xcd) << x << "," << y;
                    ASSERT_EQ(p[2], 0xef) << x << "," << y;
                } else {
                    ASSERT_EQ(0, memcmp(p, old, 3)) << x << "," << y;
                }
                ASSERT_EQ(p[3], old[3]) << "alpha at " << x << "," << y;
            }
        }
        EXPECT_TRUE(pixels.outside_unchanged());
    }
}

TEST(ClearAlpha, MakesEveryPixelOpaqueAndKeepsColours) {
    test_pixels pixels(7, 3, 11);
    clear_alpha(pixels.view());
    for (int y = 0; y < pixels.height; ++y) {
        for (int x = 0; x < pixels.width; ++x) {
            EXPECT_EQ(pixels.now(x, y)[3], 255);
            EXPECT_EQ(0, memcmp(pixels.now(x, y), pixels.before(x, y), 3));
        }
    }
    EXPECT_TRUE(pixels.outside_unchanged());
}

struct copy_case {
    int x, y;
    // The destination pixels expected to change, inclusive; first_x > last_x for none.
    int first_x, first_y, last_x, last_y;
};

TEST(DrawBitmap, CopiesAllFourBytesOfTheClippedPart) {
    const copy_case cases[] = {
        {-3, -4, 0, 0, 4, 4},  // source columns 3 to 7, rows 4 to 8
        {0, 0, 0, 0, 4, 4},       {2, 1, 2, 1, 4, 4},
        {-9, -9, 0, 0, 0, 0},                            // only the source's last pixel
        {5, 0, 1, 0, 0, 0},                              // right of the destination
        {0, 5, 1, 0, 0, 0},       {-10, 0, 1, 0, 0, 0},  // the source ends just left of it
        {0, -10, 1, 0, 0, 0},     {INT_MIN, INT_MIN, 1, 0, 0, 0},
        {INT_MAX, 0, 1, 0, 0, 0},
    };
    for (const copy_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "at " << c.x << "," << c.y);
        test_pixels source(10, 10, 1);  // alpha bytes of every value, most below 255
        test_pixels dest(5, 5, 100);
        draw_bitmap(dest.view(), source.view(), c.x, c.y);
        for (int y = 0; y < dest.height; ++y) {
            for (int x = 0; x < dest.width; ++x) {
                bool inside = x >= c.first_x && x <= c.last_x && y >= c.first_y && y <= c.last_y;
                const unsigned char* expected = inside ? source.before(x - c.x, y - c.y) : dest.before(x, y);
                ASSERT_EQ(0, memcmp(dest.now(x, y), expected, 4)) << x << "," << y;
            }
        }
        EXPECT_TRUE(dest.outside_unchanged());
        EXPECT_EQ(source.bytes, source.original);
    }
}

}  // namespace
