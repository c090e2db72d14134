#!/usr/bin/env bash
# Checks a built Debian package without installing it: the desktop entry,
# the AppStream metadata, the package itself (lintian), its contents and its
# version information.
# Usage: scripts/check-package.sh build/package/karvenzop_<version>_<arch>.deb
set -euo pipefail
deb=$(realpath "$1")
root="$(cd "$(dirname "$0")/.." && pwd)"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

version=$(dpkg-deb -f "$deb" Version)
depends=$(dpkg-deb -f "$deb" Depends)
echo "package $(basename "$deb"): version $version"
echo "depends: $depends"

for f in usr/bin/KarvenZop usr/bin/karvenzop-cli usr/share/man/man1/karvenzop-cli.1.gz \
         usr/share/applications/de.karven.KarvenZop.desktop \
         usr/share/metainfo/de.karven.KarvenZop.metainfo.xml usr/share/man/man1/KarvenZop.1.gz \
         usr/share/icons/hicolor/scalable/apps/de.karven.KarvenZop.svg \
         usr/share/icons/hicolor/48x48/apps/de.karven.KarvenZop.png \
         usr/share/karvenzop/locale/de/LC_MESSAGES/default.mo \
         usr/share/doc/karvenzop/copyright usr/share/doc/karvenzop/changelog.gz \
         usr/lib/systemd/system/karvenzop-board.service usr/share/doc/karvenzop/examples/board.conf.example \
         usr/share/doc/karvenzop/examples/board-nginx.conf.example; do
  [ -e "$tree/$f" ] || fail "missing /$f"
done
library=$(cd "$tree" && find usr/lib -name libBootloader.so)
[ -n "$library" ] || fail "missing the bootloader library"
echo "bootloader library: /$library"
# Nothing of the developer's (tests, benchmarks, simulator) goes to users.
extra=$(cd "$tree" && find . -type f \( -name '*_test*' -o -name '*bench*' -o -name decoder_sim -o -name mkfirmware \))
[ -z "$extra" ] || fail "developer files in the package: $extra"
# dpkg-shlibdeps must have found the toolkit and the C++ runtime.
for lib in libqt6widgets6 libstdc++6 libc6 qt6-qpa-plugins; do
  grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib"
done

desktop-file-validate "$tree/usr/share/applications/de.karven.KarvenZop.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$tree/usr/share/metainfo/de.karven.KarvenZop.metainfo.xml" || fail "appstreamcli validate"

# One version everywhere: package, program, release notes, changelog.
[ "$(grep -o '<release version="[^"]*"' "$tree/usr/share/metainfo/de.karven.KarvenZop.metainfo.xml" | head -n1)" \
  = "<release version=\"$version\"" ] || fail "the newest release in the metainfo is not $version"
zcat "$tree/usr/share/doc/karvenzop/changelog.gz" | head -n1 | grep -q "^karvenzop ($version)" \
  || fail "the changelog's newest entry is not $version"

# Errors fail the check; warnings are printed for the reader.
lintian_out=$(lintian --info --show-overrides --tag-display-limit 0 "$deb" 2>&1) || true
echo "$lintian_out"
grep -q '^E: ' <<<"$lintian_out" && fail "lintian reports errors"

[ $failures -eq 0 ] && echo "package checks passed"
exit $((failures > 0))
