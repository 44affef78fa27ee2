// The base of the launcher's top-level frame: a frame whose window name tells what made it.
#pragma once

#include <wx/frame.h>

class kest_frame : public wxFrame {
  public:
    // The toolkit window name is "kest frame " followed by the title.
    kest_frame(wxWindow* parent, wxWindowID id, const wxString& title,
               const wxPoint& position = wxDefaultPosition, const wxSize& size = wxDefaultSize,
               long style = wxDEFAULT_FRAME_STYLE);
};
