#!/usr/bin/env bash
# Renders res/icon.svg into res/vestrel.ico: seven 32-bit images, 256 (PNG),
# 128, 96, 64, 48, 32 and 16 pixels (bitmaps with alpha). The .ico is
# committed, so building needs none of this; run it after changing the SVG.
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in rsvg-convert:librsvg2-bin convert:imagemagick; do
  command -v "${tool%%:*}" >/dev/null || {
    if [ "$(id -u)" -eq 0 ]; then apt-get install -y -qq --no-install-recommends "${tool#*:}"; else sudo apt-get install -y -qq --no-install-recommends "${tool#*:}"; fi
  }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sizes=(256 128 96 64 48 32 16)
for size in "${sizes[@]}"; do
  rsvg-convert -w "$size" -h "$size" res/icon.svg -o "$work/$size.png"
done
# No time stamps in the PNG, so the same SVG gives the same bytes.
convert $(for s in "${sizes[@]}"; do echo "$work/$s.png"; done) \
  -define png:exclude-chunks=date,time -define png:color-type=6 res/vestrel.ico
echo "res/vestrel.ico: $(stat -c %s res/vestrel.ico) bytes"
