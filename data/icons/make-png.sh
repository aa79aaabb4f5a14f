#!/usr/bin/env bash
# Renders the PNG sizes of the hicolor theme from qdqm-update.svg (librsvg2-bin's rsvg-convert);
# 16x16 is the hand-drawn small image of wingui/app.ico (ImageMagick's convert), which keeps the
# pins apart at that size. The PNGs are committed: the build needs neither tool.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/../../scripts/setup-deps.sh" librsvg2-bin imagemagick
for size in 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" "$here/qdqm-update.svg" -o "$here/qdqm-update-$size.png"
done
convert "$here/../../wingui/app.ico[1]" -strip "$here/qdqm-update-16.png"
