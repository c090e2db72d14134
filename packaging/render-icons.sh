#!/usr/bin/env bash
# Renders the PNG icons from the SVG (needs rsvg-convert from librsvg2-bin)
# and the Windows programs' icon from them (icotool from icoutils).
# The PNGs are committed, so building and installing need no renderer; run
# this after changing the SVG.
set -euo pipefail
cd "$(dirname "$0")/icons/hicolor"
svg=scalable/apps/de.karven.KarvenZop.svg
for size in 16 22 24 32 48 64 128 256; do
  mkdir -p "${size}x${size}/apps"
  rsvg-convert -w "$size" -h "$size" "$svg" -o "${size}x${size}/apps/de.karven.KarvenZop.png"
done
# 256 pixels stay PNG inside the icon, as Explorer expects; the small ones
# are plain bitmaps, which every Windows version reads.
icotool -c -o ../../windows/KarvenZop.ico 16x16/apps/de.karven.KarvenZop.png 24x24/apps/de.karven.KarvenZop.png \
  32x32/apps/de.karven.KarvenZop.png 48x48/apps/de.karven.KarvenZop.png 64x64/apps/de.karven.KarvenZop.png \
  -r 256x256/apps/de.karven.KarvenZop.png
