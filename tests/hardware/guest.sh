#!/bin/bash
# The lane's cases inside the guest (root of the host, read-only; /run is the
# guest's). The tool runs as an ordinary user, as it would on a desk. Each
# case prints @@PASS or @@FAIL; requests to the host go out as @@REQ and are
# answered in $KZ_HW_LANE/ack.
set -u
lane=$KZ_HW_LANE
cli=$KZ_HW_BIN/karvenzop-cli
usb=/dev/ttyUSB0
uart=/dev/ttyS1
declare -A serial=([$usb]=U-1111 [$uart]=S-2222) sim=([$usb]=usb [$uart]=uart) tcp=([$usb]=$KZ_HW_TCP_USB [$uart]=$KZ_HW_TCP_UART)
mkdir -p /run/kz/home /run/kz/work /run/kz/tmp /run/kz/xdg
chown -R 1000:1000 /run/kz
chmod 700 /run/kz/xdg
export HOME=/run/kz/home TMPDIR=/run/kz/tmp XDG_RUNTIME_DIR=/run/kz/xdg LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen
export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin
cd /run/kz/work || exit 1

exec 3>&1 # the console, also from inside $(...)
host() { host_within 300 "$@"; }
host_within() { # tenths of a second, then the request; called inside $(...) too, so its name comes from the clock
  local id i tenths=$1
  shift
  id=sh-$(date +%s%N)
  echo "@@REQ $id $*" >&3
  for i in $(seq "$tenths"); do
    [ -s "$lane/ack/$id" ] && { cat "$lane/ack/$id"; return; }
    sleep 0.1
  done
  echo "no answer"
}
result() { # name, then a command whose success is the verdict
  local name=$1
  shift
  if "$@"; then echo "@@PASS $name"; else echo "@@FAIL $name"; fi
}
# A command, not a function: $! of "$as_user ... &" is then the tool itself.
as_user="setpriv --reuid=1000 --regid=1000 --clear-groups"
now() { date +%s.%N; }
since() { echo "$(now) $1" | awk '{printf "%.1f", $1 - $2}'; }
present() { for _ in $(seq 150); do [ -r $usb ] && [ -w $usb ] && return 0; sleep 0.1; done; return 1; }
# A replugged adapter may be enumerated twice: wait until it stays.
usable() { present && sleep 1 && present; }
plug() { [ "$(host plug)" = ok ] && usable; }
# Waits up to $2 tenths of a second for text $3 in file $1.
wait_text() { for _ in $(seq "$2"); do grep -q -- "$3" "$1" 2>/dev/null && return 0; sleep 0.1; done; return 1; }

# --- first opens. The kernel's settings for a tty that has just appeared
# echo what arrives until the program sets the line raw; the adapter hands
# over what the decoder sent while nobody listened, so the decoder hears
# that back and may ignore the first command behind it. Later opens start
# from the settings the last one left. The cases below start from there.
for port in $usb $uart; do
  $as_user "$cli" info --port $port >/dev/null 2>&1
  echo "@@FIGURE first open of $port: info ended with $?"
done

# --- the window (its own program; it asks the host itself)
window() {
  $as_user env KZ_HW_LANE="$lane" KZ_HW_SOURCE="$KZ_HW_SOURCE" "$KZ_HW_DEVBIN/hardware_window_tests"
}
result window window

# --- port list (the adapter is back whatever the window left)
plug
ports() {
  local out description
  out=$($as_user "$cli" ports) || return 1
  echo "$out"
  description=$($as_user "$cli" ports --json | python3 -c '
import json, sys
for line in sys.stdin:
    p = json.loads(line)
    if p["port"] == "/dev/ttyUSB0": print(p["description"])') || true
  grep -q "^$uart\b" <<<"$out" && grep -q "^$usb\b" <<<"$out" &&
    ! grep -Eq '^/dev/ttyS([2-9]|[12][0-9]|3[01])\b' <<<"$out" &&
    [ -n "$description" ] && grep -qF "$usb	$description" <<<"$out"
}
result "cli ports" ports

# --- reading and flashing through each driver (the lane's images are not signed)
for port in $usb $uart; do
  info() { $as_user "$cli" info --port "$port" | tee /dev/stderr | grep -q "${serial[$port]}"; }
  result "cli info ${sim[$port]}" info
  flash() {
    local start out
    [ "$(host dump-clear "${sim[$port]}")" = ok ] || return 1
    start=$(now)
    out=$(echo y | $as_user "$cli" flash --port "$port" --image "$lane/firmware-b.acy" --yes --allow-unsigned 2>&1) ||
      { echo "$out"; return 1; }
    echo "@@FIGURE cli flash ${sim[$port]} $(since "$start") s"
    [ "$(host dump-check "${sim[$port]}" image-b.bin)" = ok ]
  }
  result "cli flash ${sim[$port]}" flash
done

# --- a port held by one program is refused to the next: "busy" (error 16)
for port in $usb $uart; do
  busy() {
    local holder rc err
    $as_user "$cli" monitor --port "$port" >/dev/null 2>&1 &
    holder=$!
    sleep 1
    err=$($as_user "$cli" info --port "$port" 2>&1 >/dev/null)
    rc=$?
    kill -TERM $holder
    wait $holder
    echo "tool holds $port, second tool: $rc $err"
    [ $rc = 1 ] && grep -qF "(win error code: 16)" <<<"$err" || return 1
    # Another program holds it, exclusively, with the lines inactive as the
    # tool keeps them; its own pulse at open is not the tool's.
    host foreign >/dev/null
    $as_user python3 -c '
import fcntl, os, sys, termios, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
fcntl.ioctl(fd, termios.TIOCMBIC, (termios.TIOCM_DTR | termios.TIOCM_RTS).to_bytes(4, "little"))
fcntl.ioctl(fd, termios.TIOCEXCL)
print("held", flush=True)
time.sleep(30)' "$port" > /run/kz/held &
    holder=$!
    wait_text /run/kz/held 50 held || { kill $holder; host own >/dev/null; return 1; }
    err=$($as_user "$cli" info --port "$port" 2>&1 >/dev/null)
    rc=$?
    kill $holder
    wait $holder 2>/dev/null
    host own >/dev/null
    echo "another program holds $port, the tool: $rc $err"
    [ $rc = 1 ] && grep -qF "(win error code: 16)" <<<"$err"
  }
  result "busy ${sim[$port]}" busy
done

# --- the adapter pulled during a read: the decoder is kept silent, so the read is still waiting
pulled_info() {
  local pid rc pulled err
  [ "$(host freeze usb)" = ok ] || return 1
  $as_user "$cli" info --port $usb > /run/kz/out 2> /run/kz/err &
  pid=$!
  sleep 0.5
  [ "$(host pull)" = ok ] || return 1
  pulled=$(now)
  for _ in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
  kill -0 $pid 2>/dev/null && { kill $pid; echo "info still running 10 s after the pull"; }
  wait $pid
  rc=$?
  err=$(cat /run/kz/err)
  echo "@@FIGURE cli info ended $(since "$pulled") s after the pull with $rc: $err"
  host thaw usb >/dev/null
  plug || return 1
  [ $rc = 1 ] && [ -n "$err" ]
}
result "cli info, adapter pulled" pulled_info

# --- the adapter pulled mid-flash; after replugging the next flash completes
pulled_flash() {
  local pid rc start
  [ "$(host dump-clear usb)" = ok ] || return 1
  host pull-mid-flash usb 4096 > /run/kz/pulled &
  echo y | $as_user "$cli" flash --port $usb --image "$lane/firmware-b.acy" --yes --allow-unsigned > /run/kz/out 2> /run/kz/err &
  pid=$!
  wait $pid
  rc=$?
  wait
  [ "$(cat /run/kz/pulled)" = ok ] || return 1
  echo "@@FIGURE cli mid-flash pull: exit $rc: $(tr '\n' ' ' < /run/kz/err)"
  plug || return 1
  [ $rc = 4 ] || return 1
  start=$(now)
  echo y | $as_user "$cli" flash --port $usb --image "$lane/firmware-b.acy" --yes --allow-unsigned > /run/kz/out 2>&1 ||
    { cat /run/kz/out; return 1; }
  echo "@@FIGURE cli flash after replug $(since "$start") s"
  [ "$(host dump-check usb image-b.bin)" = ok ]
}
result "cli flash, adapter pulled" pulled_flash

# --- monitor waits for the adapter and resumes
pulled_monitor() {
  local pid lines
  $as_user "$cli" monitor --port $usb > /run/kz/out 2> /run/kz/err &
  pid=$!
  wait_text /run/kz/out 100 . || { kill $pid; return 1; }
  [ "$(host pull)" = ok ] || return 1
  wait_text /run/kz/err 100 "gone" || { kill $pid; cat /run/kz/err; return 1; }
  lines=$(wc -l < /run/kz/out)
  plug || return 1
  wait_text /run/kz/err 200 "back" || { kill $pid; cat /run/kz/err; return 1; }
  for _ in $(seq 100); do [ "$(wc -l < /run/kz/out)" -gt "$lines" ] && break; sleep 0.1; done
  kill -INT $pid
  wait $pid || return 1
  cat /run/kz/err
  [ "$(wc -l < /run/kz/out)" -gt "$lines" ]
}
result "cli monitor, adapter pulled" pulled_monitor

# --- ser2net serves both drivers, each on its own TCP port, which QEMU
# forwards to the host; the host then reads and flashes through them with
# the tool and the window. ser2net opens the ports at 115200, so the decoder
# answers only once the tool's 9600 reached the real UART and adapter (and
# what came at 115200 before is dropped); flashing switches to 19200 and
# back through the server.
# When a client leaves, ser2net puts back the modem lines it found at its
# open (the kernel raises DTR and RTS there) and the termios, then closes:
# only the kernel's hupcl, which a device server's own tty keeps but the
# tool's local opens above cleared, drops them again.
remote() {
  local pid answer port
  mkdir -p /run/lock
  for port in $usb $uart; do
    printf 'connection: &%s\n  accepter: telnet(rfc2217),tcp,%s\n  connector: serialdev,%s,115200n81,local\n  options:\n    kickolduser: true\n' \
      "${sim[$port]}" "${tcp[$port]}" "$port"
  done > /run/kz/ser2net.yaml
  stty -F $usb hupcl && stty -F $uart hupcl || return 1
  /usr/sbin/ser2net -d -c /run/kz/ser2net.yaml -P /run/kz/ser2net.pid > /run/kz/ser2net.log 2>&1 &
  pid=$!
  for port in $usb $uart; do
    for _ in $(seq 100); do
      awk -v p="$(printf ':%04X' "${tcp[$port]}")" '$4 == "0A" && substr($2, length($2) - 4) == p' /proc/net/tcp /proc/net/tcp6 | grep -q . && break
      sleep 0.1
    done
  done
  answer=$(host_within 3000 remote)
  kill $pid
  wait $pid
  cat /run/kz/ser2net.log
  echo "host: $answer"
  [ "$answer" = ok ]
}
result "ser2net serves the host" remote
