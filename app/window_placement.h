// Where the launcher's frame goes on the display, apart from the toolkit.
#pragma once

constexpr int launcher_frame_width = 480;
constexpr int launcher_frame_height = 300;

struct frame_position {
    int x;
    int y;
};

// The frame's top-left corner on a display client area of `width` x `height`: centred, with halves
// rounded toward zero (so it may be negative); the area's own origin is not added. A width or height
// below 1 is logged and taken as 640 or 480.
frame_position launcher_frame_position(int width, int height);
