#!/usr/bin/env bash
# Draws the about box's banner with ImageMagick: about-banner.gif, 388 x 96
# pixels. On the left the program's motif (a white quill writing over a red
# crash mark), on the right the name and what the program does. Also draws
# about.ico, the about box's own icon (an "i" on the program's blue tile).
# The generated files are kept in the repository; run this again only to
# change them.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The motif, drawn at 96 x 96 like the program icon's quill and crash mark.
convert -size 96x96 xc:none \
  -fill '#e63946' -stroke none \
  -draw 'polygon 14,66 33,54 30,69 51,60 39,84 36,72 14,81' \
  -fill white -stroke '#a8b8cc' -strokewidth 1 \
  -draw 'path "M 82,8 C 51,15 33,39 27,69 L 36,66 C 45,45 63,27 82,8 Z"' \
  -stroke '#1d3557' -strokewidth 2 -draw 'line 79,13 32,67' \
  -stroke white -strokewidth 4 -draw 'line 28,67 21,84' \
  "$work/motif.png"

# Background: the program's dark blue, lighter towards the bottom, with a
# thin red rule under the text.
convert -size 388x96 gradient:'#1d3557'-'#2e5a8a' \
  "$work/motif.png" -geometry +8+0 -composite \
  -fill white -font DejaVu-Serif-Bold-Italic -pointsize 40 \
  -annotate +112+50 'Quillfen' \
  -fill '#e63946' -stroke none -draw 'rectangle 114,60 372,62' \
  -fill '#bcd4f0' -font DejaVu-Sans -pointsize 13 \
  -annotate +114+82 'crash addresses to source lines' \
  +dither -colors 64 "$work/banner.gif"
# No comments or time stamps: an unchanged drawing gives an unchanged file.
convert "$work/banner.gif" -strip about-banner.gif

# The about box's icon: a white "i" on the blue tile, 16, 24, 32 and 48 pixels.
convert -size 64x64 xc:none \
  -fill '#1d3557' -stroke none -draw 'roundrectangle 1,1 62,62 10,10' \
  -fill white -draw 'circle 32,15 32,9' \
  -draw 'roundrectangle 26,25 38,55 3,3' \
  -fill '#e63946' -draw 'rectangle 20,52 44,56' \
  "$work/about.png"
parts=()
for size in 16 24 32 48; do
  convert "$work/about.png" -filter Lanczos -resize "${size}x${size}" "$work/about-$size.png"
  parts+=("$work/about-$size.png")
done
convert "${parts[@]}" about.ico
