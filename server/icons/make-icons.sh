#!/bin/sh
# Draws the tray icon (a small screen sending broadcast arcs) at 16x16 and 32x32 and reduces
# both to a 16-colour palette. Run from this folder after changing the drawing; the PNGs are
# committed so that the build needs no ImageMagick.
set -e
cd "$(dirname "$0")"
# 32x32: monitor body, blue screen, stand, and three arcs above the top right corner.
convert -size 32x32 xc:none \
  -fill '#303030' -stroke none -draw 'roundrectangle 2,10 23,27 2,2' \
  -fill '#3a7bd5' -draw 'rectangle 4,12 21,24' \
  -fill '#8fb8f0' -draw 'rectangle 5,13 11,16' \
  -fill '#303030' -draw 'rectangle 10,27 15,29' -draw 'rectangle 7,29 18,30' \
  -fill none -stroke '#e8a317' -strokewidth 2 \
  -draw 'arc 20,4 28,12 270,360' -draw 'arc 16,0 32,16 270,360' \
  -fill '#e8a317' -stroke none -draw 'circle 23,9 24,9' \
  -colors 16 PNG8:tray-32.png
# 16x16: the same picture with one pixel per detail, so it stays sharp in small trays.
convert -size 16x16 xc:none \
  -fill '#303030' -stroke none -draw 'rectangle 0,5 11,13' \
  -fill '#3a7bd5' -draw 'rectangle 1,6 10,12' \
  -fill '#8fb8f0' -draw 'rectangle 2,7 4,8' \
  -fill '#303030' -draw 'rectangle 4,14 7,14' -draw 'rectangle 3,15 8,15' \
  -fill none -stroke '#e8a317' -strokewidth 1 \
  -draw 'arc 9,1 15,7 270,360' -draw 'arc 7,-1 17,9 270,360' \
  -fill '#e8a317' -stroke none -draw 'point 11,4' -draw 'point 12,4' -draw 'point 11,3' \
  -colors 16 PNG8:tray-16.png
# Both sizes in one icon file, as the tray loads it.
convert tray-16.png tray-32.png -colors 16 tray.ico
