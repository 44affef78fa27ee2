#include "app/kest_gui_app.h"

#include <wx/display.h>
#include <wx/image.h>
#include <wx/mstream.h>

#include <clocale>

#include "app/launcher_state.h"
#include "app/launcher_window.h"
#include "app/updater_start.h"
#include "app/window_placement.h"
#include "assets/splash_png.h"
#include "support/config_directory.h"
#include "support/debug_log.h"
#include "support/file_system.h"

namespace {

void load_launcher_background() {
    wxMemoryInputStream stream(splash_png, splash_png_size);
    wxImage image;
    // A picture that does not decode leaves the window black; the launcher works all the same.
    if (!image.LoadFile(stream, wxBITMAP_TYPE_PNG, 0)) {
        return;
    }
    launcher_background = new kest_bitmap(image);
}

void place_launcher_frame(wxFrame* frame) {
    int index = wxDisplay::GetFromWindow(frame);
    wxDisplay display(index == wxNOT_FOUND ? 0u : static_cast<unsigned>(index));
    wxRect area = display.GetClientArea();
    frame_position at = launcher_frame_position(area.GetWidth(), area.GetHeight());
    // -1 is a coordinate like any other here, not "keep the current one".
    frame->SetSize(at.x, at.y, launcher_frame_width, launcher_frame_height, wxSIZE_ALLOW_MINUS_ONE);
}

}  // namespace

bool kest_gui_app::OnInit() {
    // The toolkit may have taken the whole locale from the environment; the texts and the console's
    // percentages are written with a decimal point whatever the user's language.
    setlocale(LC_NUMERIC, "C");

    wxImage::AddHandler(new wxPNGHandler);
    load_launcher_background();

    auto* frame = new launcher_frame(nullptr, wxID_ANY, "Varnholt Launcher", wxDefaultPosition,
                                     wxSize(launcher_frame_width, launcher_frame_height));
    place_launcher_frame(frame);
    frame->Show(true);
    SetTopWindow(frame);

    lock_file_path.append(get_config_directory());
    lock_file_path.append("/executables/lock.tmp");
    kest_recursive_mkdir(lock_file_path.c_str(), 0700, nullptr);

    switch (take_updater_lock()) {
        case lock_attempt::taken:
            start_update_run(frame->mw);
            frame->mw->update_status_texts();
            break;
        case lock_attempt::held_elsewhere:
            // The window's timer retries.
            debug_log_at(2, "OnInit(), unable to get updater file lock.\n");
            break;
        case lock_attempt::unusable:
            // Logged; the timer boots what is installed.
            frame->mw->update_status_texts();
            break;
    }
    return true;
}

int kest_gui_app::OnExit() {
    debug_log_at(3, "--------------------------- LAUNCHER EXIT --------------------------\n");
    return 0;
}
