// The launcher window in this process, on the test binary's own display: its children, progress
// reported from another thread, and a close request during an update run.
#include "app/launcher_window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/kest_gui_app.h"
#include "app/launcher_config.h"
#include "app/launcher_config.h"
#include "app/launcher_state.h"
#include "gui/toolkit_fixture.h"
#include "testing/log_capture.h"

namespace {

class LauncherWindow : public toolkit_test {
  protected:
    void SetUp() override {
        toolkit_test::SetUp();
        // As during an update run: the lock is held (the number is never used, as no worker runs) and
        // the run has not finished, so the timer neither retries the lock nor boots.
        updater_lock_fd = 1000;
        updater_started = 1;
        updater_finished = 0;
        beta_test_enable = 0;
        frame_ =
            new launcher_frame(nullptr, wxID_ANY, "Varnholt Launcher", wxDefaultPosition, wxSize(480, 300));
        frame_->Bind(wxEVT_DESTROY, [this](wxWindowDestroyEvent& event) {
            if (event.GetEventObject() == frame_) {
                destroyed_ = true;
            }
            event.Skip();
        });
    }
    void TearDown() override {
        if (!destroyed_) {
            frame_->Destroy();
        }
        toolkit_test::TearDown();
    }

    launcher_frame* frame_ = nullptr;
    bool destroyed_ = false;
};

}  // namespace

TEST_F(LauncherWindow, ChildrenStartWithTheTitle) {
    launcher_mw* mw = frame_->mw;
    EXPECT_EQ(frame_->GetName(), "kest frame Varnholt Launcher");
    EXPECT_EQ(mw->GetName(), "Varnholt Launcher");
    EXPECT_EQ(mw->upper_text()->GetLabel(), "Varnholt Launcher");
    EXPECT_EQ(mw->lower_text()->GetLabel(), "Varnholt Launcher");
    EXPECT_EQ(mw->upper_text()->GetRect(), wxRect(10, 240, 460, 20));
    EXPECT_EQ(mw->lower_text()->GetRect(), wxRect(10, 260, 460, 20));
    EXPECT_EQ(mw->progress_bar()->GetRect(), wxRect(10, 280, 460, 10));
    EXPECT_EQ(mw->progress_bar()->GetName(), "Downloader progress bar");
    EXPECT_EQ(constructor_finished, 1);
}

TEST_F(LauncherWindow, ProgressFromAnotherThreadReachesTheTexts) {
    launcher_mw* mw = frame_->mw;
    std::thread worker([mw] { mw->set_download_progress(42.26); });
    worker.join();
    EXPECT_EQ(mw->progress_bar()->value(), 42.26);
    // Nothing changes before the main thread handles the posted event.
    EXPECT_EQ(mw->lower_text()->GetLabel(), "Varnholt Launcher");
    EXPECT_TRUE(run_events_until([mw] { return mw->lower_text()->GetLabel() == "Downloading - 42.3%"; }));
    EXPECT_EQ(mw->upper_text()->GetLabel(), "(press 'escape' for options)");
    EXPECT_EQ(mw->lower_text()->GetForegroundColour(), *wxWHITE);
    EXPECT_EQ(mw->upper_text()->GetForegroundColour(), *wxWHITE);
}

TEST_F(LauncherWindow, EscapeTogglesTheOptionsTexts) {
    launcher_mw* mw = frame_->mw;
    auto press_escape = [mw] {
        wxKeyEvent key(wxEVT_KEY_DOWN);
        key.m_keyCode = WXK_ESCAPE;
        key.SetEventObject(mw);
        mw->GetEventHandler()->ProcessEvent(key);
    };
    press_escape();
    EXPECT_EQ(mw->options_mode, 1);
    EXPECT_EQ(mw->upper_text()->GetLabel(), "Launcher Version: 1.095-gtk-rc5");
    EXPECT_EQ(mw->lower_text()->GetLabel(), "Press 'escape' to continue, 'b' to enter BETA TEST mode.");
    press_escape();
    EXPECT_EQ(mw->options_mode, 0);
    EXPECT_EQ(mw->upper_text()->GetLabel(), "(press 'escape' for options)");
    EXPECT_EQ(mw->lower_text()->GetLabel(), "Checking for updates...");
}

TEST_F(LauncherWindow, CloseDuringARunHidesUntilTheRunIsOver) {
    log_capture log;
    launcher_mw* mw = frame_->mw;
    // A window system closes only windows it has mapped (a late map would mark the frame shown again).
    bool painted = false;
    mw->Bind(wxEVT_PAINT, [&painted](wxPaintEvent& event) {
        painted = true;
        event.Skip();
    });
    frame_->Show();
    ASSERT_TRUE(run_events_until([&painted] { return painted; }));
    // The worker goes on reporting while the window system closes the window.
    std::atomic<bool> run_over{false};
    std::thread worker([mw, &run_over] {
        for (int i = 0; !run_over; ++i) {
            mw->set_download_progress(i % 100);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    int ticked_before = mw->elapsed_ms();
    EXPECT_FALSE(frame_->Close());  // vetoed
    run_events_until([] { return false; }, 300);
    EXPECT_FALSE(destroyed_);
    EXPECT_FALSE(frame_->IsShown());
    EXPECT_TRUE(run_events_until([&] { return mw->elapsed_ms() > ticked_before; })) << "the timer stopped";

    run_over = true;
    worker.join();
    updater_finished = 1;
    EXPECT_TRUE(run_events_until([this] { return destroyed_; }));
    // Closed, not booted: boot selection would have said that it found nothing to start.
    EXPECT_EQ(log.text(), "");
}

TEST_F(LauncherWindow, CloseWithoutARunDestroysAtOnce) {
    updater_finished = 1;
    frame_->Show();
    EXPECT_TRUE(frame_->Close());
    EXPECT_TRUE(run_events_until([this] { return destroyed_; }));
}

TEST(LauncherApp, ExitLogsTheExitLine) {
    wxAppConsole* previous = wxApp::GetInstance();
    {
        log_capture log(3);
        kest_gui_app app;
        EXPECT_EQ(app.OnExit(), 0);
        // After the log's own level-3 line about opening its file.
        std::string exit_line = "--------------------------- LAUNCHER EXIT --------------------------\n";
        std::string text = log.text();
        ASSERT_GE(text.size(), exit_line.size());
        EXPECT_EQ(text.substr(text.size() - exit_line.size()), exit_line);
        EXPECT_EQ(text.find("LAUNCHER EXIT"), text.rfind("LAUNCHER EXIT"));
    }
    wxApp::SetInstance(previous);
}
