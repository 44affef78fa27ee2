#include "gui/kest_progress_bar.h"

#include <cmath>

#include "gui/progress_fill.h"

kest_progress_bar::kest_progress_bar(wxWindow* parent, wxWindowID id, const wxString& name)
    : kest_embedded_window(parent, id, name, wxDefaultPosition, wxSize(20, 20), wxBORDER_NONE) {}

void kest_progress_bar::request_redraw(bool) {
    Refresh(false, nullptr);
}

void kest_progress_bar::draw_content(kest_bitmap* back_buffer) {
    double value = value_.load();
    wxSize size = GetSize() - GetWindowBorderSize();
    int width = size.GetWidth();
    int height = size.GetHeight();
    int fill = progress_fill(width, value);
    if (fill > 0) {
        back_buffer->DrawFilledRectangle(0, 0, fill - 1, height - 1, bar_colour_);
    }
    if (fill < width) {
        back_buffer->DrawFilledRectangle(fill, 0, width - 1, height - 1, background_colour_);
    }
    last_drawn_ = value;
}

void kest_progress_bar::set_bar_colour(int red, int green, int blue) {
    bar_colour_ = {red, green, blue};
}

void kest_progress_bar::set_background_colour(int red, int green, int blue) {
    background_colour_ = {red, green, blue};
}

void kest_progress_bar::set_value(double percent) {
    value_.store(percent);
}

void kest_progress_bar::refresh_if_changed() {
    double value = value_.load();
    // A NaN equals nothing, not even the NaN drawn last; it must not repaint on every report.
    bool unchanged = value == last_drawn_ || (std::isnan(value) && std::isnan(last_drawn_));
    if (!unchanged) {
        Refresh(false, nullptr);
    }
}
