#!/usr/bin/env bash
# Draws the launcher's splash picture, splash.png: 480 x 300, an 8-bit palette PNG without
# transparency. The launcher draws white status texts at y 240 to 280 and its progress bar at
# (10, 280) over it, so the bottom 70 rows stay dark.
# Needs ImageMagick 6 (called by its full path: another convert may come first in PATH) and the
# DejaVu fonts (fonts-dejavu-core).
set -euo pipefail
cd "$(dirname "$0")"

convert=/usr/bin/convert
font=/usr/share/fonts/truetype/dejavu/DejaVuSerif-Bold.ttf

"$convert" -size 480x300 gradient:'#2a3a5e'-'#000000' \
  \( -size 480x300 xc:none \
     -fill '#f4efd8' \
     -draw 'point 31,22' -draw 'point 74,51' -draw 'point 118,17' -draw 'point 163,44' \
     -draw 'point 209,12' -draw 'point 262,33' -draw 'point 305,19' -draw 'point 351,47' \
     -draw 'point 398,15' -draw 'point 22,71' -draw 'point 459,77' \
     -draw 'circle 440,34 440,40' \
     -fill '#151d31' \
     -draw 'polygon 0,215 42,182 78,196 126,150 168,188 204,170 252,132 300,180 336,160 384,138 430,176 480,158 480,232 0,232' \
     -fill '#0a0e18' \
     -draw 'polygon 0,232 56,204 104,218 160,190 214,214 268,196 324,220 380,200 436,214 480,206 480,300 0,300' \
  \) -composite \
  -font "$font" -pointsize 70 -gravity north \
  -fill '#00000099' -annotate +3+49 'Varnholt' \
  -fill '#e9d8a6' -annotate +0+46 'Varnholt' \
  -fill '#e9d8a6' -draw 'rectangle 150,132 330,133' \
  -alpha off -strip -colors 256 -define png:exclude-chunks=date,time \
  PNG8:splash.png
