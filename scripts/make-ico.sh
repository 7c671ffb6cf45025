#!/usr/bin/env bash
# Writes a Windows icon file from PNG images of square icons, each stored as it is (the PNG
# form of an icon entry, which Windows reads since Vista):
#
#   make-ico.sh OUT.ico ICON.png...
#
# The Windows build's resource script takes the program's icon from it. The PNGs are the
# committed art under res/; nothing is scaled or drawn here.
set -euo pipefail

out=${1:?usage: $0 OUT.ico ICON.png...}
shift
[[ $# -ge 1 ]] || {
  echo "usage: $0 OUT.ico ICON.png..." >&2
  exit 2
}

# One byte; a little-endian number of 2 or 4 bytes.
byte() { printf '%b' "\\x$(printf %02x $(($1 & 255)))"; }
le16() {
  byte "$1"
  byte $(($1 >> 8))
}
le32() {
  le16 $(($1 & 65535))
  le16 $((($1 >> 16) & 65535))
}
# A PNG's width, from its header chunk (bytes 16 to 19, big-endian).
png_width() { od -An -tu1 -j16 -N4 "$1" | awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4 }'; }

tmp=$(mktemp "$out.XXXXXX")
trap 'rm -f "$tmp"' EXIT
{
  # ICONDIR: reserved, type 1 (icon), the number of images.
  le16 0
  le16 1
  le16 $#
  offset=$((6 + 16 * $#))
  for png in "$@"; do
    [[ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' \n')" == 89504e470d0a1a0a ]] || {
      echo "make-ico: $png is not a PNG" >&2
      exit 1
    }
    width=$(png_width "$png")
    size=$(stat -c %s "$png")
    # ICONDIRENTRY: width and height (0 means 256), no palette, reserved, one plane, 32 bits
    # a pixel, the image's size and where it starts.
    byte "$width"
    byte "$width"
    byte 0
    byte 0
    le16 1
    le16 32
    le32 "$size"
    le32 "$offset"
    offset=$((offset + size))
  done
  cat "$@"
} >"$tmp"
mv "$tmp" "$out"
trap - EXIT
