#include "gui/kest_embedded_window.h"

#include <wx/dcclient.h>

#include <algorithm>

#include "support/debug_log.h"

kest_embedded_window* embedded_window_animation_list = nullptr;

namespace {

void unlink_from_animation_list(kest_embedded_window* window) {
    for (kest_embedded_window** link = &embedded_window_animation_list; *link; link = &(*link)->next) {
        if (*link == window) {
            *link = window->next;
            window->next = nullptr;
            return;
        }
    }
}

}  // namespace

kest_embedded_window::kest_embedded_window(wxWindow* parent, wxWindowID id, const wxString& name,
                                           const wxPoint& position, const wxSize& size, long style) {
    // Before Create(): GTK 3 then leaves the whole window to the paint handler.
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Create(parent, id, position, size, style, name);
    back_buffer_ = std::make_unique<kest_bitmap>(std::max(size.GetWidth(), 1), std::max(size.GetHeight(), 1));
}

kest_embedded_window::~kest_embedded_window() {
    unlink_from_animation_list(this);
}

int kest_embedded_window::animation_callback(int) {
    debug_log_at(
        1, "Error in kest_embedded_window::animation_callback(), this handler should never be called.\n");
    return 0;
}

void kest_embedded_window::move_and_resize(int x, int y, int width, int height, int size_flags) {
    width = std::max(width, 1);
    height = std::max(height, 1);
    // The window's size decides, as the toolkit may have resized the window alone; the buffer's too, so
    // that the buffer always has the size asked for last.
    wxSize window_size = GetSize();
    bool size_changed = window_size.GetWidth() != width || window_size.GetHeight() != height ||
                        back_buffer_->GetWidth() != width || back_buffer_->GetHeight() != height;
    if (size_changed) {
        back_buffer_.reset();  // before the new one: never two buffers at once
        back_buffer_ = std::make_unique<kest_bitmap>(width, height);
    }
    SetSize(x, y, width, height, size_flags);
    request_redraw(size_changed);
}

void kest_embedded_window::set_position_and_size(int x, int y, int width, int height) {
    move_and_resize(x, y, width, height, wxSIZE_AUTO);
}

// -1 with these flags keeps the position.
void kest_embedded_window::set_size(int width, int height) {
    move_and_resize(-1, -1, width, height, 0);
}

void kest_embedded_window::redraw() {
    request_redraw(true);
}

void kest_embedded_window::on_paint(wxPaintEvent&) {
    // The paint device context is opened for every paint event, drawn or not.
    wxPaintDC dc(this);
    if (!IsShown()) {
        return;
    }
    draw_content(back_buffer_.get());
    dc.DrawBitmap(*back_buffer_, 0, 0, false);
}

// Consumed: the back buffer follows only the sizes given to set_position_and_size() and set_size().
void kest_embedded_window::on_size(wxSizeEvent&) {}

// Consumed: the paint handler covers every pixel, an erase would only flicker.
void kest_embedded_window::on_erase_background(wxEraseEvent&) {}

void embedded_window_animation_tick(int elapsed_ms) {
    kest_embedded_window* window = embedded_window_animation_list;
    while (window) {
        kest_embedded_window* successor = window->next;
        if (window->animation_callback(elapsed_ms) == 0) {
            unlink_from_animation_list(window);
        }
        window = successor;
    }
}

// clang-format off
wxBEGIN_EVENT_TABLE(kest_embedded_window, wxWindow)
    EVT_PAINT(kest_embedded_window::on_paint)
    EVT_SIZE(kest_embedded_window::on_size)
    EVT_ERASE_BACKGROUND(kest_embedded_window::on_erase_background)
wxEND_EVENT_TABLE()
