#!/usr/bin/env bash
# The Windows lane: cross-builds the tool with mingw-w64 (`cmake --preset
# windows`) and runs its tests under wine in a fresh temporary prefix, with
# COM ports mapped to socat pty pairs and to the Linux decoder simulator.
# Needs the Linux build in build/ for decoder_sim and mkfirmware (test.sh
# makes it first); without them the simulator test is skipped.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
lane_start=$(date +%s)
stamp() { echo "[windows lane] $* ($(( $(date +%s) - lane_start )) s)"; }

bash scripts/setup.sh windows

# The Qt for mingw-w64, when its archive is around: unpacked once into .cache/.
qt_dir=$root/.cache/qt6-mingw
if [ ! -f "$qt_dir/lib/cmake/Qt6/Qt6Config.cmake" ]; then
  for archive in "${KZ_QT_MINGW_ARCHIVE:-}" "$root/../shared/windows/qt6-mingw-6.4.2.tar.xz" \
                 /work/shared/windows/qt6-mingw-6.4.2.tar.xz; do
    if [ -n "$archive" ] && [ -f "$archive" ]; then
      mkdir -p "$root/.cache"
      tar -C "$root/.cache" -xJf "$archive"
      stamp "unpacked $archive"
      break
    fi
  done
fi
[ -f "$qt_dir/lib/cmake/Qt6/Qt6Config.cmake" ] || echo "[windows lane] no Qt for mingw-w64: the window is skipped, the core lane runs"

# libmosquitto for mingw-w64 (karvenzop-cli publishes through it), built
# once from Debian's source into .cache/: the client library alone, without
# threads or TLS (mqtts:// is not offered on Windows).
mosquitto_dir=$root/.cache/mosquitto-mingw
if [ ! -f "$mosquitto_dir/lib/libmosquitto.dll.a" ]; then
  if ! grep -rqsE '^(Types: deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    sed -n 's/^Types: deb$/Types: deb-src/p; /^URIs:\|^Suites:\|^Components:\|^Signed-By:\|^$/p' \
      /etc/apt/sources.list.d/debian.sources | $SUDO tee /etc/apt/sources.list.d/karvenzop-deb-src.sources > /dev/null
    $SUDO apt-get update -q > /dev/null
  fi
  src=$root/.cache/mosquitto-src
  rm -rf "$src" && mkdir -p "$src"
  (cd "$src" && apt-get source --download-only mosquitto > apt-source.log 2>&1 &&
     dpkg-source --no-check -x mosquitto_*.dsc tree > /dev/null)
  cmake -S "$src/tree" -B "$src/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$mosquitto_dir" \
    -DWITH_THREADING=OFF -DWITH_TLS=OFF -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_CLIENTS=OFF \
    -DWITH_PLUGINS=OFF -DWITH_CJSON=OFF -DDOCUMENTATION=OFF -DWITH_STATIC_LIBRARIES=OFF -DWITH_LIB_CPP=OFF > /dev/null
  cmake --build "$src/build" -j"$(nproc)" > /dev/null
  cmake --install "$src/build" > /dev/null
  # Its install rule leaves out the import library.
  cp "$src/build/lib/libmosquitto.dll.a" "$mosquitto_dir/lib/"
  stamp "libmosquitto for mingw-w64 built"
fi

bash scripts/windows/build-libsodium.sh
stamp "libsodium ready"

cmake --preset windows -DKZ_QT_MINGW_DIR="$qt_dir" -DKZ_MOSQUITTO_MINGW_DIR="$mosquitto_dir" > /dev/null
cmake --build build-win -j"$(nproc)"
stamp "cross-build done"

work=$(mktemp -d /tmp/kz-windows-XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
winpath() { local p=${1//\//\\}; echo "Z:$p"; }

# A fresh prefix; the server stays up for the whole lane so each test
# program starts in a fraction of a second. Its helper processes are
# started here, away from ctest's output pipes.
mkdir -p "$WINEPREFIX"
wineserver -p
wineboot -i > "$work/wineboot.log" 2>&1
wine cmd /c exit > /dev/null 2>&1
# A crashing test does not wait for a debugger (a crash inside the loader
# still hangs until the test's time-out: the debugger cannot attach then).
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d "" /f > /dev/null 2>&1
stamp "wine prefix ready"

# COM5 <-> COM6 and COM8 <-> COM9: socat null-modem pairs; COM7: the simulator.
pair() {
  socat "pty,raw,echo=0,link=$work/$1" "pty,raw,echo=0,link=$work/$2" &
  pids+=($!)
}
pair com5 com6
pair com8 com9
vanish_pid=${pids[-1]}
for _ in $(seq 50); do [ -e "$work/com6" ] && [ -e "$work/com9" ] && break; sleep 0.1; done
# The vanish test asks for its device to go away by making a file.
( while [ ! -e "$work/vanish" ]; do sleep 0.1; done; kill "$vanish_pid" ) &
pids+=($!)

sim_env=()
if [ -x build/bin/decoder_sim ] && [ -x build/bin/mkfirmware ]; then
  head -c 20077 /dev/urandom > "$work/image.bin"
  build/bin/mkfirmware --target KARVEN-C469 --version 4.70 "$work/image.bin" "$work/firmware.acy"
  # Also on offer from the update server (unsigned) for the command line's download.
  mkdir -p "$work/www" && cp "$work/firmware.acy" "$work/www/karvenc469.acy"
  build/bin/decoder_sim --link "$work/com7" --dump "$work/dump.bin" > "$work/sim.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do [ -e "$work/com7" ] && break; sleep 0.1; done
  sim_env=(KZ_WIN_SIM_PORT=COM7 KZ_WIN_SIM_FIRMWARE="$(winpath "$work/firmware.acy")"
           KZ_WIN_SIM_IMAGE="$(winpath "$work/image.bin")" KZ_WIN_SIM_DUMP="$(winpath "$work/dump.bin")"
           KZ_WIN_SIM_LOG="$(winpath "$work/sim.log")")
else
  echo "[windows lane] no build/bin/decoder_sim: the simulator test is skipped"
fi

for n in 5 6 7 8 9; do
  [ -e "$work/com$n" ] && ln -sfn "$work/com$n" "$WINEPREFIX/dosdevices/com$n"
done
# The commands that register the test ports in the system's port list.
register_ports() {
  for n in 5 7 8 10; do
    printf "wine reg add 'HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM' /v KarvenTest%s /t REG_SZ /d COM%s /f > /dev/null 2>&1; " "$n" "$n"
  done
}
sh -c "$(register_ports)"
stamp "ports mapped"

# The update server stand-in on loopback, and a port nobody listens on.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
mkdir -p "$work/www"
printf '4.70\n' > "$work/www/firmware.txt"
http_port=$(free_port)
closed_port=$(free_port)
python3 -m http.server --bind 127.0.0.1 --directory "$work/www" "$http_port" > "$work/http.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do python3 -c "import socket; socket.create_connection(('127.0.0.1', $http_port))" 2>/dev/null && break; sleep 0.1; done

# nginx over TLS for the system's TLS under wine: certificates from a CA made
# here (good, for another host, expired), one signed by nobody known, and a
# plain site on a port the test asks for TLS.
tls=$work/tls
mkdir -p "$tls/www"
cp "$work/www/firmware.txt" "$tls/www/"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -subj /CN=lane-ca \
  -keyout "$tls/ca.key" -out "$tls/ca.pem" > /dev/null 2>&1
tls_sites=""
tls_ports=""
for site in "good DNS:localhost,IP:127.0.0.1 30" "other DNS:other.example 30" "expired DNS:localhost,IP:127.0.0.1 -1" \
            plain "stranger DNS:localhost,IP:127.0.0.1 30"; do
  set -- $site
  port=$(free_port)
  tls_ports="$tls_ports $port"
  if [ "$1" = plain ]; then
    tls_sites="$tls_sites server { listen 127.0.0.1:$port; root $tls/www; }"
    continue
  fi
  printf 'subjectAltName=%s\n' "$2" > "$tls/$1.ext"
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=$1" \
    -keyout "$tls/$1.key" -out "$tls/$1.csr" > /dev/null 2>&1
  if [ "$1" = stranger ]; then
    openssl x509 -req -in "$tls/$1.csr" -signkey "$tls/$1.key" -days "$3" -extfile "$tls/$1.ext" \
      -out "$tls/$1.pem" > /dev/null 2>&1
  else
    openssl x509 -req -in "$tls/$1.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -CAcreateserial -days "$3" \
      -extfile "$tls/$1.ext" -out "$tls/$1.pem" > /dev/null 2>&1
  fi
  tls_sites="$tls_sites server { listen 127.0.0.1:$port ssl; ssl_certificate $tls/$1.pem; ssl_certificate_key $tls/$1.key; root $tls/www; }"
done
cat > "$tls/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1; pid $tls/nginx.pid; error_log $tls/error.log;
events { worker_connections 64; }
http { access_log off; client_body_temp_path $tls/t1; proxy_temp_path $tls/t2; fastcgi_temp_path $tls/t3;
  uwsgi_temp_path $tls/t4; scgi_temp_path $tls/t5; $tls_sites }
CONF
/usr/sbin/nginx -p "$tls" -e "$tls/error.log" -c "$tls/nginx.conf" > /dev/null 2>&1 &
pids+=($!)

# The decoder once more, behind ser2net on the host for the remote ports:
# plain, with TLS (the lane CA's certificate for localhost), with a
# certificate signed by nobody known, and with TLS that lets in only a
# technician's RSA certificate from the lane CA; and two proxies in front of
# the plain port: one cuts the link after 12000 bytes, the other drops it
# while the file remote-drop exists. The decoder takes four pages in flight.
remote_env=()
if [ -x build/bin/decoder_sim ] && [ -x /usr/sbin/ser2net ]; then
  build/bin/decoder_sim --link "$work/remote-sim" --dump "$work/remote-dump.bin" --window 4 > "$work/remote-sim.log" 2>&1 &
  pids+=($!)
  openssl req -newkey rsa:2048 -nodes -subj /CN=tech -keyout "$tls/tech.key" -out "$tls/tech.csr" > /dev/null 2>&1
  printf 'subjectAltName=DNS:tech\n' > "$tls/tech.ext"
  openssl x509 -req -in "$tls/tech.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -CAcreateserial -days 30 \
    -extfile "$tls/tech.ext" -out "$tls/tech.pem" > /dev/null 2>&1
  openssl rsa -in "$tls/tech.key" -traditional -out "$tls/tech-rsa.key" > /dev/null 2>&1
  mkdir -p "$tls/auth/tech/allowed_certs" && cp "$tls/ca.pem" "$tls/auth/tech/allowed_certs/"
  openssl rehash "$tls/auth/tech/allowed_certs"
  for _ in $(seq 50); do [ -e "$work/remote-sim" ] && break; sleep 0.1; done
  remote_ports=()
  : > "$work/ser2net.yaml"
  for accepter in "" "ssl(key=$tls/good.key,cert=$tls/good.pem)," "ssl(key=$tls/stranger.key,cert=$tls/stranger.pem)," \
                  "ssl(key=$tls/good.key,cert=$tls/good.pem,clientauth),"; do
    port=$(free_port)
    remote_ports+=("$port")
    printf 'connection: &remote%s\n  accepter: telnet(rfc2217),%stcp,127.0.0.1,%s\n  connector: serialdev,%s,115200n81,local\n  options:\n    kickolduser: true\n    authdir: %s\n' \
      "$port" "$accepter" "$port" "$work/remote-sim" "$tls/auth" >> "$work/ser2net.yaml"
  done
  /usr/sbin/ser2net -d -c "$work/ser2net.yaml" -P "$work/ser2net.pid" > "$work/ser2net.log" 2>&1 &
  pids+=($!)
  for port in "${remote_ports[@]}"; do
    for _ in $(seq 50); do python3 -c "import socket; socket.create_connection(('127.0.0.1', $port))" 2>/dev/null && break; sleep 0.1; done
  done
  python3 tests/link/delay_proxy.py --to "${remote_ports[0]}" --rtt 0 --cut-after 12000 > "$work/cut.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do grep -q READY "$work/cut.log" && break; sleep 0.1; done
  remote_ports+=("$(sed -n 's/^READY //p' "$work/cut.log")")
  python3 tests/link/delay_proxy.py --to "${remote_ports[0]}" --rtt 0 --drop-file "$work/remote-drop" \
    > "$work/drop.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do grep -q READY "$work/drop.log" && break; sleep 0.1; done
  remote_ports+=("$(sed -n 's/^READY //p' "$work/drop.log")")
  remote_env=(KZ_WIN_REMOTE_PORTS="${remote_ports[*]}" KZ_WIN_REMOTE_DUMP="$(winpath "$work/remote-dump.bin")"
              KZ_WIN_REMOTE_DROP="$(winpath "$work/remote-drop")"
              KZ_WIN_CLIENT_CERT="$(winpath "$tls/tech.pem")" KZ_WIN_CLIENT_KEY="$(winpath "$tls/tech-rsa.key")")
fi

# The Linux broker the Windows program publishes to, and a subscriber that
# writes what arrives ("topic payload" lines) where the test reads it.
mqtt_port=$(free_port)
printf 'listener %s 127.0.0.1\nallow_anonymous true\n%s' "$mqtt_port" "$([ "$(id -u)" -eq 0 ] && echo 'user root')" \
  > "$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" > "$work/mosquitto.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do python3 -c "import socket; socket.create_connection(('127.0.0.1', $mqtt_port))" 2>/dev/null && break; sleep 0.1; done
mosquitto_sub -h 127.0.0.1 -p "$mqtt_port" -q 1 -v -t 'kz/#' > "$work/mqtt.txt" 2> "$work/mqtt.err" &
pids+=($!)

status=0
# The simulator first: a wine program that has ended can still hold its COM
# port for a moment and read what arrives there, so a test that opened COM7
# just before (the window's) could take the simulator's reply.
(cd build-win && env "${sim_env[@]}" \
   ctest --output-on-failure -R win_simulator_tests) || status=1
(cd build-win && env KZ_WIN_PORT=COM5 KZ_WIN_PEER=COM6 KZ_WIN_VANISH_PORT=COM8 \
   KZ_WIN_VANISH_TRIGGER="$(winpath "$work/vanish")" "${sim_env[@]}" \
   KZ_WIN_HTTP_PORT="$http_port" KZ_WIN_CLOSED_PORT="$closed_port" \
   KZ_WIN_TLS_PORTS="${tls_ports# }" KZ_WIN_TLS_CA="$(winpath "$tls/ca.pem")" \
   KZ_WIN_MQTT_PORT="$mqtt_port" KZ_WIN_MQTT_RECEIVED="$(winpath "$work/mqtt.txt")" "${remote_env[@]}" \
   ctest --output-on-failure --timeout 120 -E win_simulator_tests) || status=1
# Kept for looking into those tries: what the simulator heard and said.
[ -f "$work/sim.log" ] && cp "$work/sim.log" build-win/decoder_sim.log
stamp "tests done"

if [ -x build-win/bin/KarvenZop.exe ] && [ -f build-win/bin/Qt6Core.dll ]; then
  # The ZIP, unpacked into an empty folder, must hold one folder
  # KarvenZop-<version> and start from there: a missing library ends a
  # program at once under wine, with a loader error.
  project_version=$(sed -n 's/^project(KarvenZop VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
  (cd build-win && cpack -G ZIP > "$work/cpack.log") || { cat "$work/cpack.log"; status=1; }
  zip=build-win/KarvenZop-$project_version-win64.zip
  mkdir "$work/unpacked"
  (cd "$work/unpacked" && python3 -m zipfile -e "$root/$zip" .)
  unpacked=$work/unpacked/KarvenZop-$project_version
  if [ "$(ls -A "$work/unpacked")" = "KarvenZop-$project_version" ] && [ -f "$unpacked/translations/qtbase_de.qm" ]; then
    echo "[windows lane] $zip unpacks into one folder KarvenZop-$project_version"
  else
    echo "[windows lane] $zip does not unpack into one folder KarvenZop-$project_version:"; ls -A "$work/unpacked"; status=1
  fi
  # Started as a program keeps running; ends it and waits.
  keeps_running() {  # folder, log, what, arguments...
    local folder=$1 log=$2 what=$3; shift 3
    # exec: the process ended below is the program's own, so nothing of it
    # holds its files afterwards.
    (cd "$folder" && WINEDEBUG=err+module exec wine "$@" -platform offscreen > "$log" 2>&1) &
    local app=$!
    sleep 8
    if kill -0 "$app" 2>/dev/null && ! grep -q "err:module" "$log"; then
      echo "[windows lane] $what starts"
    else
      echo "[windows lane] $what did not keep running:"; cat "$log"; status=1
    fi
    kill "$app" 2>/dev/null || true
    wait "$app" 2>/dev/null || true
  }
  keeps_running "$unpacked" "$work/zip-run.log" "KarvenZop.exe from the unpacked ZIP" KarvenZop.exe
  version=$(cd "$unpacked" && wine KarvenZop.exe --version 2>/dev/null | tr -d '\r' | head -n1)
  if [ "$version" = "KarvenZop $project_version" ]; then
    echo "[windows lane] KarvenZop.exe --version: $version"
  else
    echo "[windows lane] KarvenZop.exe --version printed '$version'"; status=1
  fi
  cli_version=$(cd "$unpacked" && wine karvenzop-cli.exe --version 2>/dev/null | head -n1)
  if [ "$cli_version" = "karvenzop-cli ${version#KarvenZop }" ]; then
    echo "[windows lane] karvenzop-cli.exe --version: $cli_version"
  else
    echo "[windows lane] karvenzop-cli.exe --version printed '$cli_version'"; status=1
  fi
  # Explorer's icon and "Details" page: an icon group and a version resource
  # naming the product and this version.
  for exe in KarvenZop.exe karvenzop-cli.exe; do
    resources=$(wrestool -l "$unpacked/$exe" 2>&1 || true)
    strings=$(wrestool -x --raw --type=16 "$unpacked/$exe" 2>/dev/null | strings -el | tr '\n' ' ')
    if grep -q -- '--type=14' <<< "$resources" && [[ "$strings" == *"ProductName KarvenZop"* ]] &&
       [[ "$strings" == *"ProductVersion $project_version"* ]]; then
      echo "[windows lane] $exe carries the icon and version $project_version"
    else
      echo "[windows lane] $exe lacks its icon or version: $resources / $strings"; status=1
    fi
  done
  stamp "zip checked"

  # The installer: silent install, the shortcut, the installed program
  # started as the shortcut starts it, silent uninstall.
  installer=build-win/KarvenZop-$project_version-win64.exe
  (cd build-win && cpack -G NSIS > "$work/nsis.log" 2>&1) || { cat "$work/nsis.log"; status=1; }
  installed=$WINEPREFIX/drive_c/Program\ Files/KarvenZop
  shortcut=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/KarvenZop/KarvenZop.lnk
  appdata=$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/KarvenZop
  if [ -f "$installer" ] && wine "$(winpath "$root/$installer")" /S > "$work/install.log" 2>&1 &&
     [ -f "$installed/KarvenZop.exe" ] && [ -f "$installed/translations/qtbase_de.qm" ] &&
     [ -f "$installed/Deinstallieren.exe" ] && [ -f "$shortcut" ] &&
     python3 -c 'import sys; sys.exit(0 if "--menu-start".encode("utf-16-le") in open(sys.argv[1], "rb").read() else 1)' "$shortcut"; then
    echo "[windows lane] $installer installs silently, with the Start-menu shortcut and the uninstaller"
    rm -rf "$appdata"
    keeps_running "$installed" "$work/installed-run.log" "the installed KarvenZop.exe --menu-start" KarvenZop.exe --menu-start
    if [ -d "$appdata" ]; then
      echo "[windows lane] the installed program works in %APPDATA%\\KarvenZop"
    else
      echo "[windows lane] the installed program did not make %APPDATA%\\KarvenZop"; status=1
    fi
    # The tool's own update: our installer served as ZOP-Update.exe, signed
    # by a key the user trusts (in %APPDATA%\KarvenZop\keys) and, on a
    # second server, unsigned. The installed copy starts the signed one
    # (silently, into another folder, so nothing in use is overwritten); the
    # unpacked ZIP copy names its own folder for the rename.
    if [ -f build-win/bin/win_update_tests.exe ]; then
      upd=$work/update
      mkdir -p "$upd/signed" "$upd/unsigned"
      cp "$installer" "$upd/signed/ZOP-Update.exe"
      cp "$installer" "$upd/unsigned/ZOP-Update.exe"
      minisign -G -W -p "$upd/lane.pub" -s "$upd/lane.key" > /dev/null
      minisign -S -s "$upd/lane.key" -m "$upd/signed/ZOP-Update.exe" \
        -t "target:karvenzop version:$project_version file:ZOP-Update.exe" > /dev/null
      mkdir -p "$appdata/keys" && cp "$upd/lane.pub" "$appdata/keys/"
      signed_port=$(free_port)
      unsigned_port=$(free_port)
      for site in "signed $signed_port" "unsigned $unsigned_port"; do
        set -- $site
        python3 -m http.server --bind 127.0.0.1 --directory "$upd/$1" "$2" > "$work/http-$1.log" 2>&1 &
        pids+=($!)
        for _ in $(seq 50); do python3 -c "import socket; socket.create_connection(('127.0.0.1', $2))" 2>/dev/null && break; sleep 0.1; done
      done
      update_env=(KARVENZOP_UPDATE_SERVER="127.0.0.1:$signed_port" KZ_WIN_UNSIGNED_SERVER="127.0.0.1:$unsigned_port"
                  KARVENZOP_UPDATE_ARGUMENTS='/S /D=C:\KarvenZopUpdate')
      cp build-win/bin/win_update_tests.exe "$installed/"
      (cd "$installed" && env "${update_env[@]}" wine win_update_tests.exe --gtest_filter='WinToolUpdate.AnInstalled*' \
         > "$work/update-installed.log" 2>&1) || { cat "$work/update-installed.log"; status=1; }
      rm -f "$installed/win_update_tests.exe"
      for _ in $(seq 150); do [ -f "$WINEPREFIX/drive_c/KarvenZopUpdate/KarvenZop.exe" ] && break; sleep 0.2; done
      if [ -f "$WINEPREFIX/drive_c/KarvenZopUpdate/KarvenZop.exe" ]; then
        echo "[windows lane] the installed copy starts the signed ZOP-Update.exe, which installs"
      else
        echo "[windows lane] the signed ZOP-Update.exe did not install:"; cat "$work/update-installed.log"; status=1
      fi
      cp build-win/bin/win_update_tests.exe "$unpacked/"
      (cd "$unpacked" && env "${update_env[@]}" wine win_update_tests.exe --gtest_filter='WinToolUpdate.AnUnpacked*' \
         > "$work/update-unpacked.log" 2>&1) || { cat "$work/update-unpacked.log"; status=1; }
      rm -f "$unpacked/win_update_tests.exe"
      grep -h "^\[  PASSED  \]\|^\[  FAILED  \]" "$work/update-installed.log" "$work/update-unpacked.log" | tr -d '\r' \
        | sed 's/^/[windows lane] tool update: /'
    fi

    # The uninstaller copies itself away and returns at once: wait for it.
    wine "$(winpath "$installed/Deinstallieren.exe")" /S > "$work/uninstall.log" 2>&1 || true
    for _ in $(seq 100); do [ ! -e "$installed/KarvenZop.exe" ] && [ ! -e "$shortcut" ] && break; sleep 0.2; done
    if [ ! -e "$installed" ] && [ ! -e "$shortcut" ]; then
      echo "[windows lane] the uninstaller removes the program and the shortcut"
    else
      echo "[windows lane] left after uninstalling:"; ls -R "$installed" "$shortcut" 2>&1 | head || true; status=1
    fi
  else
    echo "[windows lane] $installer did not install:"; tail -n 20 "$work/nsis.log" "$work/install.log" 2>/dev/null
    status=1
  fi
  stamp "installer checked"

  # Screenshots of the six pages on the native platform under Xvfb.
  if [ -x build-win/bin/win_screenshots.exe ] && command -v xvfb-run > /dev/null; then
    shots=${KZ_WINDOWS_SCREENSHOTS:-$root/screenshots/windows}
    mkdir -p "$shots"
    # Wine's desktop process was started without a display: start the
    # server again under Xvfb so windows get drawn. The port list lives in
    # the volatile part of the registry: registered again for the pictures.
    # The screen has room for the enlarged window at its place.
    wineserver -k; wineserver -w
    (cd build-win/bin && xvfb-run -a -s "-screen 0 1600x1200x24" \
       sh -c "$(register_ports) wine win_screenshots.exe '$(winpath "$shots")'; wineserver -k" \
       > "$work/shots.log" 2>&1) || { echo "[windows lane] screenshots failed:"; cat "$work/shots.log"; status=1; }
    # The installer's pages, as a user who starts it and presses Enter
    # ("Weiter") sees them.
    if [ -f "$installer" ] && command -v import > /dev/null; then
      pages="import -window root '$shots/installer.png'"
      if command -v xdotool > /dev/null; then
        for page in 2 3 4 5; do
          pages="$pages; xdotool key Return; sleep 4; import -window root '$shots/installer-$page.png'"
        done
      fi
      xvfb-run -a -s "-screen 0 800x600x24" \
        sh -c "wine '$(winpath "$root/$installer")' & sleep 10; $pages; wineserver -k" \
        > "$work/installer-shot.log" 2>&1 || { echo "[windows lane] installer picture failed:"; cat "$work/installer-shot.log"; status=1; }
    fi
    stamp "screenshots in $shots"
  fi
else
  echo "[windows lane] no window build: ZIP and screenshots skipped"
fi
exit $status
