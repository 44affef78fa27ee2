#include "gui/pixel_view.h"

#include <algorithm>
#include <cstring>
#include <utility>

void clear_alpha(const pixel_view& view) {
    for (int y = 0; y < view.height; ++y) {
        unsigned char* p = view.pixel(0, y);
        for (int x = 0; x < view.width; ++x, p += 4) {
            p[3] = 255;
        }
    }
}

void draw_bitmap(const pixel_view& dest, const pixel_view& source, int x, int y) {
    // Source pixel (sx, sy) lands on (x + sx, y + sy); computed in long so that far-off positions
    // cannot overflow.
    long first_column = std::max(0L, -static_cast<long>(x));
    long end_column = std::min(static_cast<long>(source.width), static_cast<long>(dest.width) - x);
    long first_row = std::max(0L, -static_cast<long>(y));
    long end_row = std::min(static_cast<long>(source.height), static_cast<long>(dest.height) - y);
    if (first_column >= end_column || first_row >= end_row) {
        return;
    }
    size_t row_bytes = static_cast<size_t>(end_column - first_column) * 4;
    for (long sy = first_row; sy < end_row; ++sy) {
        // memmove: a bitmap drawn onto itself overlaps.
        memmove(dest.pixel(static_cast<int>(x + first_column), static_cast<int>(y + sy)),
                source.pixel(static_cast<int>(first_column), static_cast<int>(sy)), row_bytes);
    }
}

void draw_filled_rectangle(const pixel_view& view, int x1, int y1, int x2, int y2, rgb_colour colour) {
    if (x2 < x1) {
        std::swap(x1, x2);
    }
    if (y2 < y1) {
        std::swap(y1, y2);
    }
    if (x2 < 0 || y2 < 0 || x1 >= view.width || y1 >= view.height) {
        return;
    }
    x1 = std::max(x1, 0);
    y1 = std::max(y1, 0);
    x2 = std::min(x2, view.width - 1);
    y2 = std::min(y2, view.height - 1);
    const auto red = static_cast<unsigned char>(colour.red & 0xff);
    const auto green = static_cast<unsigned char>(colour.green & 0xff);
    const auto blue = static_cast<unsigned char>(colour.blue & 0xff);
    for (int y = y1; y <= y2; ++y) {
        unsigned char* p = view.pixel(x1, y);
        for (int x = x1; x <= x2; ++x, p += 4) {
            p[0] = red;
            p[1] = green;
            p[2] = blue;
        }
    }
}
