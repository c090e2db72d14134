#!/usr/bin/env bash
# Installs the Debian packages of the Windows lane: the mingw-w64 cross
# compiler (posix threads), GoogleTest's sources, wine, and what the serial
# tests use (socat). Safe to run again.
set -euo pipefail
PACKAGES=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  googletest wine wine64 socat xz-utils cmake ninja-build
  qt6-base-dev-tools xvfb xauth imagemagick
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
