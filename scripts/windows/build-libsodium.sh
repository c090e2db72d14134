#!/usr/bin/env bash
# libsodium for mingw-w64, static, built from Debian's own source package:
# the signature checks of the Windows build link it (the ZIP ships no DLL
# for it). Built once into .cache/libsodium-mingw; later runs reuse it.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$root/.cache/libsodium-mingw
[ -f "$prefix/lib/libsodium.a" ] && [ -f "$prefix/include/sodium.h" ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
# apt-get source needs the source lines of the archives the binaries come from.
sources=/etc/apt/sources.list.d/karvenzop-deb-src.sources
if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  $SUDO tee "$sources" > /dev/null <<'LIST'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
LIST
  $SUDO apt-get update -q
fi

work=$(mktemp -d /tmp/kz-libsodium-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
apt-get source -q libsodium > apt-source.log 2>&1 || { cat apt-source.log >&2; exit 1; }
cd "$(find . -maxdepth 1 -type d -name 'libsodium-*' | head -n1)"
./autogen.sh -s > autogen.log 2>&1 || { cat autogen.log >&2; exit 1; }
./configure --host=x86_64-w64-mingw32 --disable-shared --enable-static --prefix="$prefix" > configure.log 2>&1 \
  || { cat configure.log >&2; exit 1; }
make -j"$(nproc)" > make.log 2>&1 || { tail -50 make.log >&2; exit 1; }
make install > install.log 2>&1
echo "[windows lane] libsodium $(basename "$PWD") for mingw-w64 in $prefix"
