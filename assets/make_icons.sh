#!/usr/bin/env bash
# Makes the launcher's application icons, icon-48.png and icon-128.png, from the splash picture: its
# mountain scenery (the text-free lower right of splash.png) behind a "V" in the splash's font and
# colours. Run it again after changing splash.png and commit the PNGs.
# Needs ImageMagick 6 (called by its full path: another convert may come first in PATH) and the
# DejaVu fonts (fonts-dejavu-core).
set -euo pipefail
cd "$(dirname "$0")"

convert=/usr/bin/convert
font=/usr/share/fonts/truetype/dejavu/DejaVuSerif-Bold.ttf

for size in 48 128; do
  shadow=$((size / 48 + 1))
  "$convert" splash.png -crop 166x166+314+134 +repage -resize "${size}x${size}" \
    -font "$font" -pointsize $((size * 78 / 100)) -gravity center \
    -fill '#00000099' -annotate "+${shadow}+${shadow}" V \
    -fill '#e9d8a6' -annotate +0+0 V \
    -alpha off -strip -define png:exclude-chunks=date,time \
    "PNG24:icon-${size}.png"
done
