#!/usr/bin/env bash
# Renders the PNG icons from the SVG (needs rsvg-convert from librsvg2-bin).
# The PNGs are committed, so building and installing need no renderer; run
# this after changing the SVG.
set -euo pipefail
cd "$(dirname "$0")/icons/hicolor"
svg=scalable/apps/de.karven.KarvenZop.svg
for size in 16 22 24 32 48 64 128 256; do
  mkdir -p "${size}x${size}/apps"
  rsvg-convert -w "$size" -h "$size" "$svg" -o "${size}x${size}/apps/de.karven.KarvenZop.png"
done
