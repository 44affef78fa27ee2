#include "gui/assert_handler.h"

#include <wx/debug.h>
#include <wx/string.h>

#include <atomic>

#include "support/debug_log.h"

namespace {

std::atomic<int> failed_asserts{0};

// Toolkit assertions may fail on any thread.
void log_assert(const wxString& file, int line, const wxString& function, const wxString& condition,
                const wxString& message) {
    ++failed_asserts;
    debug_log_line(1, "Error in toolkit, assertion \"%s\" failed in %s() at %s:%d: %s",
                   static_cast<const char*>(condition.utf8_str()),
                   static_cast<const char*>(function.utf8_str()), static_cast<const char*>(file.utf8_str()),
                   line, static_cast<const char*>(message.utf8_str()));
}

}  // namespace

void install_assert_handler() {
    wxSetAssertHandler(log_assert);
}

int failed_assert_count() {
    return failed_asserts.load();
}
