#include "gui/kest_frame.h"

kest_frame::kest_frame(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& position,
                       const wxSize& size, long style) {
    Create(parent, id, title, position, size, style, title);
    SetName("kest frame " + title);
}
