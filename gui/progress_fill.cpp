#include "gui/progress_fill.h"

int progress_fill(int width, double percent) {
    // Clamped before the multiplication: a percentage far out of range (a total of one byte against a
    // large file) would overflow the conversion to int.
    if (width <= 0 || !(percent > 0.0)) {
        return 0;
    }
    if (percent >= 100.0) {
        return width;
    }
    return static_cast<int>(width * percent / 100.0);
}
