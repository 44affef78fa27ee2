// How much of a progress bar is filled, apart from any window.
#pragma once

// Columns of a bar `width` pixels wide filled at `percent`: width * percent / 100 truncated toward
// zero, with percent taken as 0 to 100 first (NaN as 0), so any double gives 0 to width.
int progress_fill(int width, double percent);
