// A flat, borderless horizontal bar: the filled part on the left follows a percentage, the rest on the
// right shows the background colour.
#pragma once

#include <atomic>

#include "gui/kest_embedded_window.h"

class kest_progress_bar : public kest_embedded_window {
  public:
    // 20 x 20 at the toolkit's default position, without a border; empty, green on black.
    kest_progress_bar(wxWindow* parent, wxWindowID id, const wxString& name);

    void request_redraw(bool size_changed) override;
    void draw_content(kest_bitmap* back_buffer) override;

    // These store only; the next paint shows them.
    void set_bar_colour(int red, int green, int blue);
    void set_background_colour(int red, int green, int blue);
    // Safe to call from any thread. Any value is fine: drawing takes it as 0 to 100 (NaN as 0).
    void set_value(double percent);
    double value() const { return value_.load(); }

    // Repaints unless the value is the one drawn last.
    void refresh_if_changed();

  private:
    double last_drawn_ = -1.0;
    std::atomic<double> value_{0.0};
    rgb_colour bar_colour_{0, 255, 0};
    rgb_colour background_colour_{0, 0, 0};
};
