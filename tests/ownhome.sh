#!/bin/sh
# Runs a test with a home folder and XDG folders of its own, removed
# afterwards, so that no test reads or writes the user's settings
# (~/.config/KarvenZop) or keys (~/.config/karvenzop/keys).
dir=$(mktemp -d "${TMPDIR:-/tmp}/kz-test-home.XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
mkdir -p "$dir/config" "$dir/data" "$dir/cache" "$dir/state" "$dir/runtime" || exit 1
chmod 700 "$dir/runtime"
HOME=$dir XDG_CONFIG_HOME=$dir/config XDG_DATA_HOME=$dir/data XDG_CACHE_HOME=$dir/cache \
  XDG_STATE_HOME=$dir/state XDG_RUNTIME_DIR=$dir/runtime "$@"
