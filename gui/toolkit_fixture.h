// The toolkit for the window tests of this binary: on first use it starts Xvfb on :71 (inside the
// test sandbox, where that number is the test's own) and the toolkit on it, once per process.
#pragma once

#include <gtest/gtest.h>
#include <wx/bitmap.h>
#include <wx/frame.h>

#include <functional>
#include <vector>

#include "gui/kest_embedded_window.h"
#include "testing/xvfb_display.h"

// Window tests derive their fixture from this. It skips the test outside the sandbox, and fails it
// when a toolkit assertion failed during the test.
class toolkit_test : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    static xvfb_display& display();

  private:
    int asserts_before_ = 0;
};

// Handles the toolkit's pending events, idle processing included (which deletes destroyed frames).
void run_pending_events();

// Handles events until done() holds or `timeout_ms` have passed; the last done().
bool run_events_until(const std::function<bool()>& done, int timeout_ms = 5000);

// Red, green, blue, alpha of pixel (x, y) of a 32-bit bitmap with alpha; {-1, -1, -1, -1} without raw
// access or outside it.
struct bitmap_pixel {
    int red, green, blue, alpha;
    bool operator==(const bitmap_pixel& other) const {
        return red == other.red && green == other.green && blue == other.blue && alpha == other.alpha;
    }
};
std::ostream& operator<<(std::ostream& out, const bitmap_pixel& pixel);
bitmap_pixel pixel_of(const wxBitmap& bitmap, int x, int y);

// A borderless frame at the screen's top-left corner with one plain child window, `parent`, covering
// it (a frame stretches a sole child over itself; test windows live in `parent` so that they keep
// their sizes). Shown only when asked; destroyed with the object.
struct test_frame {
    explicit test_frame(const wxSize& size = wxSize(200, 100));
    ~test_frame();
    test_frame(const test_frame&) = delete;
    test_frame& operator=(const test_frame&) = delete;

    wxFrame* frame;
    wxWindow* parent;
};

// An embedded window that fills its back buffer with one colour and records what it was asked.
class test_window : public kest_embedded_window {
  public:
    test_window(wxWindow* parent, const wxPoint& position, const wxSize& size,
                rgb_colour colour = {200, 40, 40});

    void request_redraw(bool size_changed) override;
    void draw_content(kest_bitmap* back_buffer) override;
    // animation_result, or the base version's when it is negative.
    int animation_callback(int elapsed_ms) override;
    // Answers false while `pretend_hidden` is set, though the window stays on the screen.
    bool IsShown() const override;

    rgb_colour colour;
    std::vector<bool> redraw_requests;
    int draws = 0;
    int paint_events = 0;
    int animation_result = 1;
    std::vector<int> animation_calls;
    bool pretend_hidden = false;
};
