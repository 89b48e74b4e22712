#!/usr/bin/env bash
# Draws the program's icons with ImageMagick: the application icon (an
# envelope) and the two images of the new-mail animation, at the tray and
# menu sizes. The .svg files are the same designs for scalable use.
set -euo pipefail
cd "$(dirname "$0")"
draw() {  # name fill stroke [dot-fill dot-stroke [bar]]
  local name=$1 fill=$2 stroke=$3 dot=()
  if [ $# -ge 5 ]; then dot=(-stroke "$5" -strokewidth 8 -fill "$4" -draw "circle 152,44 152,80"); fi
  # A bar across the dot: the sign of "do not disturb".
  if [ $# -ge 6 ]; then dot+=(-stroke "$5" -strokewidth 12 -draw "line 134,44 170,44"); fi
  convert -size 192x192 xc:none -stroke "$stroke" -strokewidth 12 -fill "$fill" \
    -draw "roundrectangle 12,40 180,156 12,12" -fill none \
    -draw "polyline 20,52 96,112 172,52" -strokewidth 8 \
    -draw "line 20,148 72,96" -draw "line 172,148 120,96" "${dot[@]}" "$name-big.png"
  for size in 16 22 24 32 48; do
    convert "$name-big.png" -filter Lanczos -resize "${size}x${size}" "PNG32:$name-$size.png"
  done
  rm "$name-big.png"
}
draw corvel '#f4f1e8' '#2d4f7c'
draw mail1 '#ffd54a' '#8a5a00' '#d62d20' '#ffffff'
draw mail2 '#2d4f7c' '#ffd54a' '#ffffff' '#d62d20'
draw dnd '#d8d8d8' '#6b6b6b' '#4a4a4a' '#ffffff' bar
