// A toolkit bitmap with 32-bit pixels and alpha that is drawn into by writing its bytes (pixel_view.h)
// rather than through a device context. Windows keep one as a back buffer and show it in one draw.
#pragma once

#include <wx/bitmap.h>
#include <wx/image.h>

#include "gui/pixel_view.h"

class kest_bitmap : public wxBitmap {
  public:
    // width x height (callers pass at least 1), opaque; the colour bytes are left as the toolkit made
    // them, so owners draw the whole bitmap before they show it.
    kest_bitmap(int width, int height);
    // The image's size and colours; alpha from the image's alpha channel, 255 where it has none. An
    // invalid image gives an invalid bitmap (IsOk() false) that every drawing call leaves alone.
    explicit kest_bitmap(const wxImage& image);

    void ClearAlpha();
    // Copies `source` (a 32-bit bitmap with alpha) with its top-left corner at (x, y), clipped.
    void DrawBitmap(const wxBitmap& source, int x, int y);
    // Both corners inclusive, in either order; clipped; alpha stays as it was.
    void DrawFilledRectangle(int x1, int y1, int x2, int y2, rgb_colour colour);
};
