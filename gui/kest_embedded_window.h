// A child window that draws itself entirely in software: its subclass renders the whole content into
// a back buffer of the window's size, and every repaint shows the buffer in one bitmap draw. The
// toolkit never erases its background, so nothing flickers.
#pragma once

#include <wx/window.h>

#include <memory>

#include "gui/kest_bitmap.h"

class kest_embedded_window : public wxWindow {
  public:
    // Note the order: the name comes third, unlike the toolkit's own constructors. A width or height
    // of 0 or less gives a back buffer of 1 in that dimension.
    kest_embedded_window(wxWindow* parent, wxWindowID id, const wxString& name, const wxPoint& position,
                         const wxSize& size, long style);
    // Takes the window off the animation list if it is on it.
    ~kest_embedded_window() override;

    // Asks for a repaint; `size_changed` tells whether the back buffer was just re-created.
    virtual void request_redraw(bool size_changed) = 0;
    // Renders the complete window content into `back_buffer`, which holds what the previous call drew,
    // or colours never set after the buffer was made anew.
    virtual void draw_content(kest_bitmap* back_buffer) = 0;
    // One animation step; 0 takes the window off the animation list. The base version must not be
    // reached: it reports that and answers 0.
    virtual int animation_callback(int elapsed_ms);
    // Moves and resizes the window (sizes of 0 or less count as 1); the back buffer is re-created only
    // when the size really changes, and request_redraw() learns whether it was.
    virtual void set_position_and_size(int x, int y, int width, int height);
    // The same, keeping the position.
    virtual void set_size(int width, int height);
    virtual void redraw();

    kest_bitmap* back_buffer() const { return back_buffer_.get(); }

    // The animation list's link; see embedded_window_animation_list.
    kest_embedded_window* next = nullptr;

  private:
    void on_paint(wxPaintEvent& event);
    void on_size(wxSizeEvent& event);
    void on_erase_background(wxEraseEvent& event);
    // Sizes of 0 or less count as 1; SetSize(x, y, width, height, size_flags), the back buffer made
    // anew first if the size changes, then request_redraw().
    void move_and_resize(int x, int y, int width, int height, int size_flags);

    std::unique_ptr<kest_bitmap> back_buffer_;

    wxDECLARE_EVENT_TABLE();
};

// Windows whose animation_callback() runs on every tick, linked through their `next` members; null
// when empty. Nothing in the launcher puts a window on it.
extern kest_embedded_window* embedded_window_animation_list;

// Runs animation_callback(elapsed_ms) of every window on the list and takes off those that answer 0.
void embedded_window_animation_tick(int elapsed_ms);
