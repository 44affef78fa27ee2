// The splash picture, compiled in from splash.png (drawn by make_splash.sh): a 480 x 300 palette PNG.
#pragma once

extern const unsigned char splash_png[];
extern const unsigned int splash_png_size;
