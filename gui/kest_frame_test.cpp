#include "gui/kest_frame.h"

#include <gtest/gtest.h>

#include "gui/toolkit_fixture.h"

namespace {

using KestFrame = toolkit_test;

TEST_F(KestFrame, WindowNameIsThePrefixAndTheTitle) {
    auto* frame = new kest_frame(nullptr, wxID_ANY, "Varnholt Launcher", wxDefaultPosition, wxSize(480, 300),
                                 wxFRAME_TOOL_WINDOW | wxWANTS_CHARS | wxCLIP_CHILDREN);
    EXPECT_EQ(frame->GetName(), "kest frame Varnholt Launcher");
    EXPECT_EQ(frame->GetTitle(), "Varnholt Launcher");
    EXPECT_EQ(frame->GetSize(), wxSize(480, 300));
    frame->Destroy();
}

}  // namespace
