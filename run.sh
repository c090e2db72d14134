#!/usr/bin/env bash
# Installs what the project needs, builds it and starts the tool.
# Without a real decoder (KARVENZOP_PORTS unset) the bundled decoder simulator
# is started on /tmp/ttyKARVEN0; without an update server
# (KARVENZOP_UPDATE_SERVER unset) the bundled one is started on 127.0.0.1:8469.
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
cd "$root"
bash scripts/setup.sh run
# A first start builds only what the run needs; a build folder that
# ./test.sh configured keeps its tests.
testing=()
[ -f build/CMakeCache.txt ] || testing=(-DBUILD_TESTING=OFF -DKZ_BENCH=OFF)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${testing[@]}" >/dev/null
cmake --build build -j"$(nproc)" --target KarvenZop karvenzop-cli decoder_sim mkfirmware

bin="$root/build/bin"
pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT

if [ -z "${KARVENZOP_UPDATE_SERVER:-}" ]; then
  content="$root/build/update-content"
  mkdir -p "$content"
  cp -f tools/update_server/content/* "$content/"
  # The firmware the server offers: a small image in our container format.
  head -c 65536 /dev/urandom > "$content/image.bin"
  # Signed with a key of this machine, made on first use, which the tool is
  # told to trust: the signed path is what a user sees by default.
  key="$root/build/update-key"
  [ -f "$key.key" ] || "$bin/mkfirmware" --new-key "$key"
  "$bin/mkfirmware" --target KARVEN-C469 --version 4.70 --sign "$key.key" "$content/image.bin" "$content/karvenc469.acy"
  "$bin/mkfirmware" --sign "$key.key" --target karvenzop --version "$(head -n1 "$content/karvenzop.txt" | tr -d '\r\n ')" \
    --sign-only "$content/ZOP-Update.exe"
  export KARVENZOP_TRUSTED_KEYS="$key.pub"
  python3 tools/update_server/update_server.py --port 8469 --root "$content" &
  pids+=($!)
  export KARVENZOP_UPDATE_SERVER=127.0.0.1:8469
fi

if [ -z "${KARVENZOP_PORTS:-}" ]; then
  "$bin/decoder_sim" --link /tmp/ttyKARVEN0 --telegram-interval 5 &
  pids+=($!)
  export KARVENZOP_PORTS=/tmp/ttyKARVEN0
  for _ in $(seq 50); do [ -e /tmp/ttyKARVEN0 ] && break; sleep 0.1; done
fi

# The tool keeps "substi.txt", "ZOP-Update.exe" and "firmware.acy" in its
# working directory: its own folder.
cd "$bin"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: running the tool under Xvfb (nothing will be visible)." >&2
  xvfb-run -a ./KarvenZop
else
  ./KarvenZop
fi
