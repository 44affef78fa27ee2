#include "gui/assert_handler.h"

#include <gtest/gtest.h>
#include <wx/debug.h>

#include "testing/log_capture.h"

namespace {

// Were the toolkit's dialog still in place, this test would hang rather than fail.
TEST(AssertHandler, FailedToolkitAssertionIsLoggedAndCountedInsteadOfAsked) {
    log_capture log;
    install_assert_handler();
    int before = failed_assert_count();
    int line = __LINE__ + 1;
    wxASSERT_MSG(1 + 1 == 3, "arithmetic is off");
    EXPECT_EQ(failed_assert_count(), before + 1);
    std::string expected = "Error in toolkit, assertion \"1 + 1 == 3\" failed in TestBody() at " __FILE__
                           ":" +
                           std::to_string(line) + ": arithmetic is off\n";
    EXPECT_EQ(log.text(), expected);
}

}  // namespace
