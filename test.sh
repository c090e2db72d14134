#!/usr/bin/env bash
# Installs what the project needs, builds it and runs every test:
#  1. the normal build (GCC): the product, unit, pty, net and GUI tests, the
#     benchmarks, and the Debian package with its checks;
#  2. a clang build with AddressSanitizer and UBSan of the toolkit-free core,
#     which also runs the fuzz targets for a bounded time.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/setup.sh test

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_TESTING=ON -DKZ_BENCH=ON -DCMAKE_INSTALL_PREFIX=/usr
cmake --build build -j"$jobs"

CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DKZ_SANITIZE=ON -DKZ_FUZZ=ON -DKZ_GUI=OFF -DKZ_BENCH=OFF
cmake --build build-asan -j"$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
# Every test has a home of its own (tests/ownhome.sh): the user's settings
# and keys must be as they were after the run.
config=${XDG_CONFIG_HOME:-$HOME/.config}
# A folder that does not exist is no change: find's failure must not end the run.
user_settings() { { find "$config/KarvenZop" "$config/karvenzop" -type f -exec sha256sum {} + 2>/dev/null || true; } | sort; }
settings_before=$(user_settings)
(cd build-asan && ctest --output-on-failure -j2 --timeout 600) || status=1
(cd build && ctest --output-on-failure -j2 --timeout 600) || status=1
if [ "$(user_settings)" != "$settings_before" ]; then
  echo "test.sh: the tests changed the user's settings in $config/KarvenZop or $config/karvenzop" >&2
  status=1
fi
(cd build && cpack -G DEB) && bash scripts/check-package.sh build/package/karvenzop_*.deb || status=1
bash scripts/windows/test-windows.sh || status=1
exit $status
