// Drawing straight into 32-bit pixel memory: the primitives behind kest_bitmap, kept apart from the
// toolkit so that they work on any buffer (and in tests without a display).
#pragma once

#include <cstdint>

// A colour as the drawing calls take it; only the low 8 bits of each channel reach a pixel.
struct rgb_colour {
    int32_t red;
    int32_t green;
    int32_t blue;
};

// Pixel memory that someone else owns: `height` rows `stride` bytes apart, each pixel 4 bytes in the
// order red, green, blue, alpha (255 is opaque). Pixel (x, y) starts at bytes + y * stride + 4 * x.
struct pixel_view {
    int width;
    int height;
    int stride;
    unsigned char* bytes;

    unsigned char* pixel(int x, int y) const { return bytes + static_cast<long>(y) * stride + 4L * x; }
};

// Sets every alpha byte to 255; colours stay as they are.
void clear_alpha(const pixel_view& view);

// Copies all four bytes of each source pixel to (x + sx, y + sy) where that lies inside `dest`; no
// blending, the source's alpha replaces the destination's.
void draw_bitmap(const pixel_view& dest, const pixel_view& source, int x, int y);

// Writes red, green and blue of every pixel from (x1, y1) to (x2, y2), both corners inclusive and in
// either order, clipped to the view. Alpha bytes stay as they are.
void draw_filled_rectangle(const pixel_view& view, int x1, int y1, int x2, int y2, rgb_colour colour);
