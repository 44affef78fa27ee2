#include "app/launcher_window.h"

#include <cstdlib>

#include "app/boot_selection.h"
#include "app/launcher_config.h"
#include "app/launcher_state.h"
#include "app/launcher_timer.h"
#include "app/status_texts.h"
#include "app/updater_start.h"
#include "support/debug_log.h"

kest_bitmap* launcher_background = nullptr;
int constructor_finished = 0;

namespace {

constexpr int timer_id = 1;
constexpr int progress_event_id = 2;
constexpr int tick_ms = 20;

}  // namespace

launcher_mw::launcher_mw(wxWindow* parent, wxWindowID id, const wxString& name, const wxPoint& position,
                         const wxSize& size, long style)
    : kest_embedded_window(parent, id, name, position, size, style),
      timer_(this, timer_id),
      progress_events_(this, progress_event_id) {
    lower_text_ = new wxStaticText(this, wxID_ANY, name, wxDefaultPosition, wxDefaultSize, wxST_NO_AUTORESIZE,
                                   "staticText");
    upper_text_ = new wxStaticText(this, wxID_ANY, name, wxDefaultPosition, wxDefaultSize, wxST_NO_AUTORESIZE,
                                   "staticText");
    SetBackgroundColour(*wxBLACK);
    progress_bar_ = new kest_progress_bar(this, wxID_ANY, "Downloader progress bar");
    progress_bar_->set_background_colour(32, 32, 32);
    progress_bar_->set_bar_colour(128, 128, 128);
    progress_bar_->set_position_and_size(10, 280, 460, 10);
    progress_bar_->Show();
    lower_text_->SetSize(10, 260, 460, 20);
    upper_text_->SetSize(10, 240, 460, 20);
    options_mode = 0;
    elapsed_ms_ = 0;
    constructor_finished = 1;
    timer_.Start(tick_ms, wxTIMER_CONTINUOUS);
    SetFocus();
}

launcher_mw::~launcher_mw() {
    timer_.Stop();
}

void launcher_mw::request_redraw(bool) {
    Refresh(false, nullptr);
}

void launcher_mw::draw_content(kest_bitmap* back_buffer) {
    if (launcher_background == nullptr) {
        // Without the picture the buffer would show whatever its memory held.
        back_buffer->DrawFilledRectangle(0, 0, back_buffer->GetWidth() - 1, back_buffer->GetHeight() - 1,
                                         {0, 0, 0});
        return;
    }
    back_buffer->DrawBitmap(*launcher_background, 0, 0);
}

void launcher_mw::set_download_progress(double percent) {
    progress_bar_->set_value(percent);
    wxTimerEvent event(progress_events_);
    event.SetEventObject(this);
    AddPendingEvent(event);  // queues a copy, safe from any thread
}

void launcher_mw::on_progress_event(wxTimerEvent&) {
    progress_bar_->refresh_if_changed();
    update_status_texts();
}

void launcher_mw::update_status_texts() {
    upper_text_->SetForegroundColour(*wxWHITE);
    lower_text_->SetForegroundColour(*wxWHITE);
    status_texts texts =
        launcher_status_texts(options_mode, get_beta_test_enable(), progress_bar_->value(), updater_started);
    upper_text_->SetLabel(wxString::FromUTF8(texts.upper.c_str()));
    lower_text_->SetLabel(wxString::FromUTF8(texts.lower.c_str()));
}

void launcher_mw::start_update() {
    start_update_run(this);
    update_status_texts();
}

void launcher_mw::OnTimer(wxTimerEvent&) {
    if (constructor_finished == 0) {
        debug_log_at(1, "launcher_mw::OnTimer() - constructor not finished?\n");
        return;
    }
    elapsed_ms_ += tick_ms;
    embedded_window_animation_tick(tick_ms);
    switch (launcher_timer_tick(elapsed_ms_, options_mode, close_requested_)) {
        case tick_action::wait:
            return;
        case tick_action::start_run:
            start_update();
            return;
        case tick_action::boot:
            boot_selected_image();  // returns only when no image could be started
            close_launcher();
            return;
        case tick_action::close:
            close_launcher();
            return;
    }
}

void launcher_mw::on_key_down(wxKeyEvent& event) {
    switch (event.GetKeyCode()) {
        case WXK_ESCAPE:
            options_mode = options_mode == 0 ? 1 : 0;
            update_status_texts();
            break;
        case 'B':
            toggle_beta_test_mode();
            break;
        case 'Q':
            exit(0);
        default:
            break;
    }
    event.Skip();
}

void launcher_mw::toggle_beta_test_mode() {
    set_beta_test_enable(get_beta_test_enable() == 0 ? 1 : 0);
    update_status_texts();
    // A finished run fetched the other mode's files: fetch this mode's before the boot. While a run
    // still goes, it reads the mode itself.
    if (updater_finished == 1 && take_updater_lock() == lock_attempt::taken) {
        debug_log_at(2, "OnTimer(), late start of updater thread.\n");
        start_update();
    }
}

void launcher_mw::close_launcher() {
    if (closing_) {
        return;
    }
    closing_ = true;
    timer_.Stop();
    // The toolkit deletes the frame, and this window with it, once the current handler has returned.
    GetParent()->Destroy();
}

bool launcher_mw::defer_close() {
    if (closing_ || !update_run_going()) {
        return false;
    }
    close_requested_ = 1;
    GetParent()->Hide();
    return true;
}

// clang-format off
wxBEGIN_EVENT_TABLE(launcher_mw, kest_embedded_window)
    EVT_TIMER(timer_id, launcher_mw::OnTimer)
    EVT_TIMER(progress_event_id, launcher_mw::on_progress_event)
    EVT_KEY_DOWN(launcher_mw::on_key_down)
wxEND_EVENT_TABLE()
    // clang-format on

    launcher_frame::launcher_frame(wxWindow* parent, wxWindowID id, const wxString& title,
                                   const wxPoint& position, const wxSize& size, long style)
    : kest_frame(parent, id, title, position, size, style),
      mw(new launcher_mw(this, wxID_ANY, title, position, size, wxBORDER_NONE)) {
    Bind(wxEVT_CLOSE_WINDOW, &launcher_frame::on_close, this);
}

void launcher_frame::on_close(wxCloseEvent& event) {
    if (mw->defer_close()) {
        // Even a close that cannot be vetoed waits: destroying the window now would leave the worker
        // reporting to freed memory.
        if (event.CanVeto()) {
            event.Veto();
        }
        return;
    }
    event.Skip();  // the toolkit's default: destroy the frame
}
