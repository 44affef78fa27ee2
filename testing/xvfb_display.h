// A virtual X display for tests: starts Xvfb, waits until it accepts connections, takes screenshots
// (xwd) as RGB pixels and stops the server at the end. Use a fixed display number only inside the
// test sandbox, where /tmp and the abstract socket namespace are the test's own; the server's compiled
// keymap, which X servers otherwise keep in one directory for the whole machine, is its own too.
#pragma once

#include <sys/types.h>

#include <ostream>
#include <string>
#include <vector>

struct screen_pixel {
    int red;
    int green;
    int blue;

    bool operator==(const screen_pixel& other) const {
        return red == other.red && green == other.green && blue == other.blue;
    }
    bool operator!=(const screen_pixel& other) const { return !(*this == other); }
};

std::ostream& operator<<(std::ostream& out, const screen_pixel& pixel);

struct screen_image {
    int width = 0;  // 0 when the screenshot failed
    int height = 0;
    std::vector<unsigned char> rgb;  // 3 bytes a pixel, rows from the top

    // Pixel (x, y); out of the image, (-1, -1, -1).
    screen_pixel pixel(int x, int y) const;
};

class xvfb_display {
  public:
    xvfb_display() = default;
    ~xvfb_display();  // stops the server
    xvfb_display(const xvfb_display&) = delete;
    xvfb_display& operator=(const xvfb_display&) = delete;

    // Starts Xvfb on display :`display` with one screen of width x height x depth and waits until it
    // accepts connections (up to 30 s). A server that did not start is tried again, up to three times,
    // with its output on stderr each time; false when none started.
    bool start(int display, int width, int height, int depth = 24);
    // Ends the server and waits for it; nothing when none runs.
    void stop();
    bool running() const { return pid_ > 0; }

    // ":71" for display 71: the value for DISPLAY.
    std::string display_name() const;

    // The whole screen as it is now; an empty image when it could not be taken.
    screen_image screenshot() const;

  private:
    // One start: true once the server accepts connections; else `failure` says why.
    bool launch(int display, const std::string& screen, std::string* failure);

    pid_t pid_ = -1;
    int display_ = -1;
};

// Decodes an xwd dump (a TrueColor or DirectColor image of 15 to 32 bits a pixel); false for anything else.
bool parse_xwd(const std::string& data, screen_image* image);
