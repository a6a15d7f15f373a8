#!/usr/bin/env bash
# Draws Quillfen's icons with ImageMagick: the program icon (16, 24, 32 and 48
# pixels) and the four button icons (16 and 24 pixels). Each picture is drawn
# once on a 64 x 64 canvas and scaled down. The generated .ico files are kept
# in the repository; run this again only to change them.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

canvas() { convert -size 64x64 xc:none "$@"; }

# Scales a 64 x 64 drawing to the given sizes and packs them into one .ico.
pack() {  # pack NAME SIZE...
  local name="$1"; shift
  local parts=()
  for size in "$@"; do
    convert "$work/$name.png" -filter Lanczos -resize "${size}x${size}" "$work/$name-$size.png"
    parts+=("$work/$name-$size.png")
  done
  convert "${parts[@]}" "$name.ico"
}

# Load MAP File: a yellow folder with a blue arrow going into it.
canvas \
  -fill '#d9a521' -stroke '#8a6410' -strokewidth 3 \
  -draw 'path "M 4,18 L 22,18 L 28,24 L 58,24 L 58,58 L 4,58 Z"' \
  -fill '#f5cc4a' -draw 'path "M 4,30 L 60,30 L 58,58 L 4,58 Z"' \
  -fill '#2f6fd0' -stroke '#173d78' -strokewidth 2 \
  -draw 'path "M 26,2 L 38,2 L 38,20 L 48,20 L 32,38 L 16,20 L 26,20 Z"' \
  "$work/load.png"
pack load 16 24

# MAP Database: a stack of three blue disks.
canvas -stroke '#163e73' -strokewidth 3 \
  -fill '#3d7fd6' -draw 'rectangle 10,16 54,52' \
  -fill '#3d7fd6' -draw 'ellipse 32,52 22,8 0,180' \
  -fill none -draw 'line 10,16 10,52' -draw 'line 54,16 54,52' \
  -draw 'ellipse 32,28 22,8 0,180' -draw 'ellipse 32,40 22,8 0,180' \
  -fill '#8fbaf0' -draw 'ellipse 32,16 22,8 0,360' \
  "$work/db.png"
pack db 16 24

# Search: a magnifying glass.
canvas \
  -stroke '#6b3f16' -strokewidth 11 -draw 'line 40,40 58,58' \
  -stroke '#404040' -strokewidth 6 -fill '#bfe3ff' -draw 'circle 26,26 26,6' \
  -stroke none -fill white -draw 'ellipse 20,18 6,4 0,360' \
  "$work/search.png"
pack search 16 24

# Online Help File: a white question mark on a blue disk.
canvas \
  -fill '#2f6fd0' -stroke '#173d78' -strokewidth 3 -draw 'circle 32,32 32,3' \
  -stroke none -fill white -font DejaVu-Sans-Bold -pointsize 46 -gravity center \
  -annotate +0+2 '?' \
  "$work/help.png"
pack help 16 24

# The program: a white quill writing over a red crash mark, on a dark blue tile.
canvas \
  -fill '#1d3557' -stroke none -draw 'roundrectangle 1,1 62,62 10,10' \
  -fill '#e63946' -draw 'polygon 10,44 22,36 20,46 34,40 26,56 24,48 10,54' \
  -fill white -stroke '#a8b8cc' -strokewidth 1 \
  -draw 'path "M 54,6 C 34,10 22,26 18,46 L 24,44 C 30,30 42,18 54,6 Z"' \
  -stroke '#1d3557' -strokewidth 2 -draw 'line 52,9 21,45' \
  -stroke white -strokewidth 3 -draw 'line 19,45 14,56' \
  "$work/app.png"
pack app 16 24 32 48
