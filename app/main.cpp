// The launcher program: the toolkit's entry point with the launcher's application object.
#include <wx/wx.h>

#include "app/startup.h"

namespace {

int raw_argc = 0;
char** raw_argv = nullptr;

}  // namespace

class kest_gui_app : public wxApp {
public:
    bool OnInit() override {
        launcher_start_up(raw_argc, raw_argv);
        return false;
    }
};

wxIMPLEMENT_APP_NO_MAIN(kest_gui_app);

int main(int argc, char** argv) {
    // The start-up reads the arguments as the bytes they are, before the toolkit converts them.
    raw_argc = argc;
    raw_argv = argv;
    return wxEntry(argc, argv);
}
