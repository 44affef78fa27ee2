#include "app/window_placement.h"

#include "support/debug_log.h"

frame_position launcher_frame_position(int width, int height) {
    if (width < 1) {
        debug_log_at(1, "Error in OnInit(), got bogus screen/display xsize of %d.  Setting to 640.\n", width);
        width = 640;
    }
    if (height < 1) {
        debug_log_at(1, "Error in OnInit(), got bogus screen/display ysize of %d.  Setting to 480.\n",
                     height);
        height = 480;
    }
    debug_log_at(2, "OnInit(), got screen/display size of %d, %d.\n", width, height);
    return {(width - launcher_frame_width) / 2, (height - launcher_frame_height) / 2};
}
