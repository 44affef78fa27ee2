#include "gui/toolkit_fixture.h"

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/image.h>
#include <wx/rawbmp.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "gui/assert_handler.h"
#include "testing/sandbox.h"

namespace {

constexpr int display_number = 71;

struct toolkit_session {
    xvfb_display display;
    std::unique_ptr<wxGUIEventLoop> loop;
    bool tried = false;
    bool running = false;

    bool start() {
        if (tried) {
            return running;
        }
        tried = true;
        if (!display.start(display_number, 640, 480, 24)) {
            return false;
        }
        setenv("DISPLAY", display.display_name().c_str(), 1);
        setenv("GDK_BACKEND", "x11", 1);
        setenv("NO_AT_BRIDGE", "1", 1);  // no accessibility bus to wait for
        install_assert_handler();
        // wxEntryStart() without an application object would start a console application only.
        wxApp::SetInstance(new wxApp());
        static char program[] = "gui_test";
        static char* argv[] = {program, nullptr};
        int argc = 1;
        if (!wxEntryStart(argc, argv)) {
            ADD_FAILURE() << "the toolkit did not start on " << display.display_name();
            return false;
        }
        if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG)) {
            wxImage::AddHandler(new wxPNGHandler);
        }
        // Yield() needs an active loop.
        loop = std::make_unique<wxGUIEventLoop>();
        wxEventLoopBase::SetActive(loop.get());
        running = true;
        return true;
    }

    void stop() {
        if (running) {
            run_pending_events();
            wxEventLoopBase::SetActive(nullptr);
            loop.reset();
            wxEntryCleanup();
            running = false;
        }
        display.stop();
    }
};

toolkit_session& session() {
    static toolkit_session instance;
    return instance;
}

// The toolkit ends before its display, after the last test.
class toolkit_environment : public testing::Environment {
  public:
    void TearDown() override { session().stop(); }
};

[[maybe_unused]] testing::Environment* const environment =
    testing::AddGlobalTestEnvironment(new toolkit_environment);

}  // namespace

void toolkit_test::SetUp() {
    if (!in_test_sandbox()) {
        GTEST_SKIP() << "needs the test sandbox for its own display :" << display_number;
    }
    ASSERT_TRUE(session().start());
    asserts_before_ = failed_assert_count();
}

void toolkit_test::TearDown() {
    if (session().running) {
        run_pending_events();
        EXPECT_EQ(failed_assert_count(), asserts_before_) << "toolkit assertions failed (see the log)";
    }
}

xvfb_display& toolkit_test::display() {
    return session().display;
}

void run_pending_events() {
    wxEventLoopBase* loop = wxEventLoopBase::GetActive();
    for (int round = 0; round < 100 && loop->Pending(); ++round) {
        loop->Dispatch();
    }
    wxTheApp->ProcessPendingEvents();
    wxTheApp->ProcessIdle();
}

bool run_events_until(const std::function<bool()>& done, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return done();
        }
        run_pending_events();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::ostream& operator<<(std::ostream& out, const bitmap_pixel& pixel) {
    return out << "(" << pixel.red << ", " << pixel.green << ", " << pixel.blue << ", alpha " << pixel.alpha
               << ")";
}

bitmap_pixel pixel_of(const wxBitmap& bitmap, int x, int y) {
    wxBitmap handle = bitmap;
    if (!handle.IsOk() || x < 0 || y < 0 || x >= handle.GetWidth() || y >= handle.GetHeight()) {
        return {-1, -1, -1, -1};
    }
    wxAlphaPixelData data(handle);
    if (!data) {
        return {-1, -1, -1, -1};
    }
    wxAlphaPixelData::Iterator p(data);
    p.MoveTo(data, x, y);
    return {p.Red(), p.Green(), p.Blue(), p.Alpha()};
}

test_frame::test_frame(const wxSize& size)
    : frame(new wxFrame(nullptr, wxID_ANY, "test frame", wxPoint(0, 0), size, wxBORDER_NONE)),
      parent(new wxWindow(frame, wxID_ANY, wxPoint(0, 0), size)) {
    parent->SetBackgroundColour(wxColour(0, 0, 255));
}

test_frame::~test_frame() {
    frame->Destroy();
    run_pending_events();
}

test_window::test_window(wxWindow* parent, const wxPoint& position, const wxSize& size, rgb_colour colour)
    : kest_embedded_window(parent, wxID_ANY, "test window", position, size, wxBORDER_NONE), colour(colour) {
    // Runs before the paint handler of the event table, which then still gets the event.
    Bind(wxEVT_PAINT, [this](wxPaintEvent& event) {
        ++paint_events;
        event.Skip();
    });
}

void test_window::request_redraw(bool size_changed) {
    redraw_requests.push_back(size_changed);
    Refresh(false, nullptr);
}

void test_window::draw_content(kest_bitmap* back_buffer) {
    ++draws;
    back_buffer->DrawFilledRectangle(0, 0, back_buffer->GetWidth() - 1, back_buffer->GetHeight() - 1, colour);
}

int test_window::animation_callback(int elapsed_ms) {
    animation_calls.push_back(elapsed_ms);
    return animation_result < 0 ? kest_embedded_window::animation_callback(elapsed_ms) : animation_result;
}

bool test_window::IsShown() const {
    return !pretend_hidden && kest_embedded_window::IsShown();
}
