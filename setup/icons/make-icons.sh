#!/bin/sh
# Draws the installer's icon (a box with a down arrow) at 32x32 and 16x16 with ImageMagick.
set -e
cd "$(dirname "$0")"
convert -size 32x32 xc:none \
  -fill '#c8913c' -stroke '#6b4a1a' -strokewidth 1 -draw 'polygon 3,14 16,20 29,14 29,28 16,31 3,28' \
  -fill '#e0b060' -draw 'polygon 3,14 16,8 29,14 16,20' \
  -fill '#2a6fd6' -stroke '#17407d' -draw 'polygon 12,1 20,1 20,8 25,8 16,17 7,8 12,8' \
  setup32.png
convert setup32.png -resize 16x16 setup16.png
