#!/usr/bin/env bash
# Runs the main window under Xvfb and saves a PNG of each of its six pages,
# of the enlarged window with log times and search bar, of the log menu, of
# the status line's menu and of the service prompt.
# Usage: tools/screenshots/screenshots.sh [folder]   (default: screenshots/)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="$(realpath -m "${1:-$root/screenshots}")"
bash "$root/scripts/setup.sh" test
cmake -S "$root" -B "$root/build" -G Ninja >/dev/null
cmake --build "$root/build" --target screenshots
cd "$root/build/dev/bin"
xvfb-run -a -s "-screen 0 1024x768x24" ./screenshots "$out"
