#!/usr/bin/env bash
# Installs the Debian packages the project needs. Safe to run again.
#   scripts/setup.sh run    what building and running the tool needs
#   scripts/setup.sh test   everything: tests, sanitizer and fuzz build,
#                           benchmarks, package building and checking (default)
#   scripts/setup.sh windows  the Windows lane: mingw-w64 (posix threads),
#                           GoogleTest's sources, wine, socat
set -euo pipefail
set_name=${1:-test}
RUN_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev qt6-translations-l10n
  gettext python3 libmosquitto-dev nlohmann-json3-dev libcpp-httplib-dev
  libssl-dev libsodium-dev openssl
  xvfb xauth fonts-liberation fonts-freefont-ttf
)
TEST_PACKAGES=(
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  socat strace nginx-light curl x11-utils imagemagick
  mosquitto mosquitto-clients openssl systemd minisign ser2net python3-serial
  qemu-system-x86 busybox-static
  dpkg-dev lintian desktop-file-utils appstream librsvg2-bin icoutils
  chromium chromium-driver python3-selenium prometheus
)
WINDOWS_PACKAGES=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  googletest wine wine64 socat xz-utils cmake ninja-build
  qt6-base-dev-tools xvfb xauth imagemagick
  dpkg-dev mosquitto mosquitto-clients nlohmann-json3-dev
  nsis qt6-translations-l10n
  dpkg-dev autoconf automake libtool make nginx-light openssl minisign icoutils xdotool ser2net
)
case "$set_name" in
  run) PACKAGES=("${RUN_PACKAGES[@]}") ;;
  test) PACKAGES=("${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
  windows) PACKAGES=("${WINDOWS_PACKAGES[@]}") ;;
  *) echo "usage: $0 [run|test|windows]" >&2; exit 2 ;;
esac
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The hardware lane boots Debian's own kernel: unpacked, never installed.
if [ "$set_name" = test ]; then
  kernel_dir="$(cd "$(dirname "$0")/.." && pwd)/.cache/kernel"
  if ! ls "$kernel_dir"/root/boot/vmlinuz-* >/dev/null 2>&1; then
    image=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    if [ -z "$image" ]; then
      $SUDO apt-get update -q
      image=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    fi
    rm -rf "$kernel_dir" && mkdir -p "$kernel_dir"
    (cd "$kernel_dir" && apt-get -o APT::Sandbox::User=root download -q "$image" && dpkg-deb -x ./*.deb root && rm -f ./*.deb)
  fi
fi
