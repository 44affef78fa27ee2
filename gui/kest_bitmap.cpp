#include "gui/kest_bitmap.h"

#include <wx/rawbmp.h>

#include <cstring>
#include <optional>

#include "support/debug_log.h"

// pixel_view's byte order is the toolkit's 32-bit alpha format on this port.
static_assert(wxAlphaPixelFormat::RED == 0 && wxAlphaPixelFormat::GREEN == 1 &&
                  wxAlphaPixelFormat::BLUE == 2 && wxAlphaPixelFormat::ALPHA == 3,
              "pixel_view expects red, green, blue, alpha bytes");

namespace {

// Raw access to a bitmap's pixels for the life of the object: a pixel_view when the bitmap has 32-bit
// pixels with alpha, nothing (and no toolkit assertion) otherwise.
class raw_pixels {
  public:
    explicit raw_pixels(wxBitmap& bitmap) {
        if (bitmap.IsOk()) {
            data_.emplace(bitmap);
        }
    }
    bool get(pixel_view* view) {
        if (!data_ || !*data_) {
            return false;
        }
        *view = pixel_view{data_->GetWidth(), data_->GetHeight(), data_->GetRowStride(),
                           data_->GetPixels().m_ptr};
        return true;
    }

  private:
    std::optional<wxAlphaPixelData> data_;
};

}  // namespace

kest_bitmap::kest_bitmap(int width, int height) {
    Create(width, height, 32);
    ClearAlpha();
}

kest_bitmap::kest_bitmap(const wxImage& image) {
    if (!image.IsOk() || !Create(image.GetWidth(), image.GetHeight(), 32)) {
        return;
    }
    raw_pixels access(*this);
    pixel_view view;
    if (!access.get(&view)) {
        debug_log_at(2, "Error in kest_bitmap::kest_bitmap(), pixel data failed?\n");
        return;
    }
    const unsigned char* rgb = image.GetData();
    const unsigned char* alpha = image.HasAlpha() ? image.GetAlpha() : nullptr;
    for (int y = 0; y < view.height; ++y) {
        unsigned char* p = view.pixel(0, y);
        for (int x = 0; x < view.width; ++x, p += 4, rgb += 3) {
            memcpy(p, rgb, 3);
            p[3] = alpha ? *alpha++ : 255;
        }
    }
}

void kest_bitmap::ClearAlpha() {
    raw_pixels access(*this);
    pixel_view view;
    if (!access.get(&view)) {
        debug_log_at(2, "Error in kest_bitmap::ClearAlpha(), pixel data failed?\n");
        return;
    }
    clear_alpha(view);
}

void kest_bitmap::DrawBitmap(const wxBitmap& source, int x, int y) {
    raw_pixels dest_access(*this);
    pixel_view dest;
    if (!dest_access.get(&dest)) {
        debug_log_at(2, "Error in kest_bitmap::DrawBitmap(), pixel data dest failed?\n");
        return;
    }
    // A handle copy shares the source's pixels (reference counting); raw access needs a non-const one.
    wxBitmap source_handle = source;
    raw_pixels source_access(source_handle);
    pixel_view source_view;
    if (!source_access.get(&source_view)) {
        debug_log_at(2, "Error in kest_bitmap::DrawBitmap(), pixel data src failed?\n");
        return;
    }
    draw_bitmap(dest, source_view, x, y);
}

void kest_bitmap::DrawFilledRectangle(int x1, int y1, int x2, int y2, rgb_colour colour) {
    raw_pixels access(*this);
    pixel_view view;
    if (!access.get(&view)) {
        debug_log_at(2, "Error in kest_bitmap::DrawFilledRectangle(), pixel data failed?\n");
        return;
    }
    draw_filled_rectangle(view, x1, y1, x2, y2, colour);
}
