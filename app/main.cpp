// The launcher program: the toolkit's entry point with the launcher's application object.
#include <wx/app.h>

#include "app/kest_gui_app.h"
#include "gui/assert_handler.h"

wxIMPLEMENT_APP_NO_MAIN(kest_gui_app);

int main(int argc, char** argv) {
    // The start-up reads the arguments as the bytes they are, before the toolkit converts them.
    set_launcher_command_line(argc, argv);
    // A failed toolkit assertion must not open a dialog that nobody may be able to answer.
    install_assert_handler();
    return wxEntry(argc, argv);
}
