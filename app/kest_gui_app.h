// The launcher's application object: its start-up builds the window and takes the first step of the
// update, and its exit is the end of a launcher that did not boot a client.
#pragma once

#include <wx/app.h>

class kest_gui_app : public wxApp {
  public:
    // The start-up (ends the process on a failure or after -h), then the splash picture, the window,
    // the updater lock and the first update run. True when the window is up.
    bool OnInit() override;
    // Logs the exit line and answers 0.
    int OnExit() override;
};

// The command line as the process got it, before the toolkit converts or consumes any of it; main()
// hands it over before starting the toolkit.
void set_launcher_command_line(int argc, char** argv);
