// The launcher's application object: its start-up builds the window and takes the first step of the
// update, and its exit is the end of a launcher that did not boot a client.
#pragma once

#include <wx/app.h>

class kest_gui_app : public wxApp {
  public:
    // After main() has run the start-up that needs no window: the splash picture, the window, the
    // updater lock and the first update run. True when the window is up.
    bool OnInit() override;
    // Logs the exit line and answers 0.
    int OnExit() override;
};
