#!/bin/sh
# Renders the dialog's picture and the application icon from their drawings
# into ../res (ImageMagick and python3). The rendered files are committed, so
# a build never needs this.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
res=$here/../res
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

convert -size 480x215 -background white "mvg:$here/machine-picture.mvg" -flatten \
  -type TrueColor "BMP3:$res/MachinePicture.bmp"

convert -size 256x256 -background none "mvg:$here/app-icon.mvg" "PNG32:$tmp/icon-256.png"
convert "$tmp/icon-256.png" -depth 8 "rgba:$tmp/icon-256.rgba"
sizes=""
for n in 48 32 24 16; do
  convert "$tmp/icon-256.png" -filter Lanczos -resize ${n}x${n} -depth 8 "rgba:$tmp/icon-$n.rgba"
  sizes="$sizes $n:$tmp/icon-$n.rgba"
done
# shellcheck disable=SC2086
python3 "$here/make-icon.py" "$res/VantorelleUpdate.ico" "$tmp/icon-256.rgba" $sizes
