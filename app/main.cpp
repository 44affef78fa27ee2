// The launcher program: the toolkit's entry point with the launcher's application object.
#include <wx/app.h>

#include "app/kest_gui_app.h"
#include "app/startup.h"
#include "gui/assert_handler.h"

wxIMPLEMENT_APP_NO_MAIN(kest_gui_app);

int main(int argc, char** argv) {
    // The start-up that needs no window runs before the toolkit opens the display, so that -h and a bad
    // option answer with their exit status on a terminal without one, and the arguments are read as the
    // bytes they are, before the toolkit converts them.
    launcher_start_up(argc, argv);
    // A failed toolkit assertion must not open a dialog that nobody may be able to answer.
    install_assert_handler();
    return wxEntry(argc, argv);
}
