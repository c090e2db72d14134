#!/usr/bin/env bash
# The program's command line as a user meets it: --help and --version answer
# without a display, unknown arguments are refused with status 2, the
# toolkit's options still start the window, and a menu start moves into the
# per-user data folder while a terminal start stays where it was started.
# Usage: commandline_test.sh <program> <version>
set -uo pipefail
program=$(realpath "$1") version=$2
tmp=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# No display at all: answering must not need one.
nodisplay=(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb)

out=$("${nodisplay[@]}" "$program" --version 2>"$tmp/err"); rc=$?
[ $rc -eq 0 ] || fail "--version exited with $rc: $(cat "$tmp/err")"
[ "$(head -n1 <<<"$out")" = "KarvenZop $version" ] || fail "--version printed '$out'"

out=$("${nodisplay[@]}" "$program" --help 2>"$tmp/err"); rc=$?
[ $rc -eq 0 ] || fail "--help exited with $rc"
grep -q '^Usage: KarvenZop' <<<"$out" || fail "--help has no usage line"
grep -q -- '--version' <<<"$out" || fail "--help does not list --version"
grep -q '^Report bugs to: <.*>$' <<<"$out" || fail "--help does not say where to report"

for bad in --bogus -x stray "-platform"; do
  out=$("${nodisplay[@]}" "$program" $bad 2>"$tmp/err"); rc=$?
  [ $rc -eq 2 ] || fail "'$bad' exited with $rc instead of 2"
  [ -z "$out" ] || fail "'$bad' wrote to stdout: $out"
  grep -q "^KarvenZop: .*'$bad'" "$tmp/err" || fail "'$bad' not named on stderr: $(cat "$tmp/err")"
done

# Waits (at most 10 s) until the running program's working directory is $1.
cwd_becomes() {
  for _ in $(seq 100); do
    [ "$(readlink "/proc/$pid/cwd")" = "$1" ] && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
# Starts the window with the given environment in $tmp/start and checks it
# runs in $1; the program must still be running (the window is up).
program_args=()
start_in() {
  local expected=$1; shift
  mkdir -p "$tmp/start"
  (cd "$tmp/start" && exec env -u KARVENZOP_MENU_START "$@" "$program" "${program_args[@]}" -platform offscreen -style Fusion 2>"$tmp/window-err") &
  pid=$!
  cwd_becomes "$expected" || fail "with '$*' the program does not run in $expected (now $(readlink "/proc/$pid/cwd"))"
  sleep 0.5
  kill -0 "$pid" 2>/dev/null || fail "with '$*' the window ended early: $(cat "$tmp/window-err")"
  kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; pid=
}

start_in "$tmp/start" HOME="$tmp/home" XDG_DATA_HOME="$tmp/data"
start_in "$tmp/data/karvenzop" KARVENZOP_MENU_START=1 HOME="$tmp/home" XDG_DATA_HOME="$tmp/data"
start_in "$tmp/home/.local/share/karvenzop" KARVENZOP_MENU_START=1 HOME="$tmp/home" XDG_DATA_HOME=
# The option the Windows Start-menu shortcut passes does the same.
program_args=(--menu-start)
start_in "$tmp/data/karvenzop" HOME="$tmp/home" XDG_DATA_HOME="$tmp/data"
program_args=()

[ $failures -eq 0 ] && echo "command line: all checks passed"
exit $((failures > 0))
