// The virtual display: it starts whatever other X servers of the machine leave in their shared places,
// and takes one client after another.
#include "testing/xvfb_display.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "testing/sandbox.h"

namespace {

constexpr const char* keymap_directory = "/var/lib/xkb";

}  // namespace

// X servers compile their keymap to <keymap directory>/server-<display>.xkm, one directory for the whole
// machine. Here another server's output stands in the way (a directory of that name, in this test's
// own mount namespace), as a half-written file of a server of the same number starting at the same
// moment would: a display that used the machine's directory could not compile its keymap.
TEST(XvfbDisplay, StartsWhereAnotherServerOfItsNumberLeftItsKeymap) {
    struct stat status;
    if (!in_test_sandbox() || stat(keymap_directory, &status) != 0) {
        GTEST_SKIP() << "needs the test sandbox and " << keymap_directory;
    }
    ASSERT_EQ(mount("tmpfs", keymap_directory, "tmpfs", 0, "size=1m,mode=0755"), 0) << strerror(errno);
    struct unmounted_at_end {
        ~unmounted_at_end() { umount(keymap_directory); }
    } unmount;
    ASSERT_EQ(mkdir((std::string(keymap_directory) + "/server-73.xkm").c_str(), 0755), 0);

    xvfb_display display;
    ASSERT_TRUE(display.start(73, 320, 200));
    screen_image shot = display.screenshot();
    EXPECT_EQ(shot.width, 320);
    EXPECT_EQ(shot.height, 200);
}

// A server that resets when its last client leaves refuses a client that connects meanwhile, as the next
// launcher of a test or a screenshot right after another would (about one in twenty of these).
TEST(XvfbDisplay, TakesClientsOneRightAfterAnother) {
    if (!in_test_sandbox()) {
        GTEST_SKIP() << "needs the test sandbox for its own display";
    }
    xvfb_display display;
    ASSERT_TRUE(display.start(73, 320, 200));
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(display.screenshot().width, 320) << "screenshot " << i;
    }
}
