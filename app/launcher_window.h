// The launcher's only window: a 480 x 300 undecorated frame with the splash picture, two lines of white
// text and a thin progress bar. Its 20 ms timer drives everything after start-up (launcher_timer.h),
// and the update worker reports progress to it from its own thread.
#pragma once

#include <wx/stattext.h>
#include <wx/timer.h>

#include "gui/kest_embedded_window.h"
#include "gui/kest_frame.h"
#include "gui/kest_progress_bar.h"
#include "updater/update_progress.h"

// The splash picture that the window draws, or null when it could not be decoded.
extern kest_bitmap* launcher_background;
// 0 until the end of the first launcher_mw constructor.
extern int constructor_finished;

class launcher_mw : public kest_embedded_window, public update_progress_sink {
  public:
    // The texts start out showing `name` (the frame's title); the timer starts and the window takes the
    // keyboard focus.
    launcher_mw(wxWindow* parent, wxWindowID id, const wxString& name, const wxPoint& position,
                const wxSize& size, long style);
    ~launcher_mw() override;

    void request_redraw(bool size_changed) override;
    void draw_content(kest_bitmap* back_buffer) override;

    // Any thread: stores the value in the bar and posts a progress event (timer type, id 2) to this
    // window; the main thread repaints the bar and the texts when it handles the event.
    void set_download_progress(double percent) override;

    void update_status_texts();
    // Stops the timer and destroys the frame; once only.
    void close_launcher();
    // The window system asked to close: during an update run the frame only hides, and the timer
    // closes it once the run is over (no boot), so the worker never reports to a destroyed window.
    // Answers false when the caller should close at once.
    bool defer_close();

    int options_mode = 0;

    wxStaticText* upper_text() const { return upper_text_; }
    wxStaticText* lower_text() const { return lower_text_; }
    kest_progress_bar* progress_bar() const { return progress_bar_; }
    int elapsed_ms() const { return elapsed_ms_; }

  private:
    void OnTimer(wxTimerEvent& event);
    void on_progress_event(wxTimerEvent& event);
    void on_key_down(wxKeyEvent& event);
    void toggle_beta_test_mode();
    // Starts a run now that the lock is held, and shows "Checking for updates...".
    void start_update();

    wxTimer timer_;
    // Never started: it only gives the progress events their type and id.
    wxTimer progress_events_;
    int elapsed_ms_ = 0;
    wxStaticText* lower_text_;
    wxStaticText* upper_text_;
    kest_progress_bar* progress_bar_;
    bool closing_ = false;
    int close_requested_ = 0;

    wxDECLARE_EVENT_TABLE();
};

class launcher_frame : public kest_frame {
  public:
    // The launcher_mw fills the frame. Without wxBORDER_NONE the toolkit asks the window manager for a
    // border on GTK 3, and some managers draw a title bar with it.
    launcher_frame(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& position,
                   const wxSize& size,
                   long style = wxFRAME_TOOL_WINDOW | wxWANTS_CHARS | wxCLIP_CHILDREN | wxBORDER_NONE);

    // A child window that the toolkit owns and destroys with the frame.
    launcher_mw* const mw;

  private:
    void on_close(wxCloseEvent& event);
};
