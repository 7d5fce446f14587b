#!/usr/bin/env bash
# Runs the link tests under Wine on two COM ports joined by a socat pty pair:
# the test exe plays the port under test on one and the peer on the other.
# usage: wine-link.sh EXE [gtest arguments]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
exe="$1"; shift
a="${ZMK_LINK_COM_A:-30}" b="${ZMK_LINK_COM_B:-31}"
export WINEPREFIX="${WINEPREFIX:-$HOME/.cache/zmk/wine}"
export ZMK_COM_DIR="${ZMK_COM_DIR:-$WINEPREFIX-com}"
if [ "$(cat "$WINEPREFIX/.zmk-com-dir" 2>/dev/null)" != "$ZMK_COM_DIR" ]; then
  "$here/../../scripts/wine-env.sh" start >/dev/null 2>&1 </dev/null
fi

dir="$(mktemp -d)"
socat pty,raw,echo=0,link="$dir/a" pty,raw,echo=0,link="$dir/b" </dev/null >/dev/null 2>&1 &
socat_pid=$!
cleanup() {
  kill "$socat_pid" 2>/dev/null || true
  "$here/../wine/com.sh" unlink "$a"
  "$here/../wine/com.sh" unlink "$b"
  rm -rf "$dir"
}
trap cleanup EXIT
for _ in $(seq 100); do
  [ -e "$dir/a" ] && [ -e "$dir/b" ] && break
  sleep 0.05
done
"$here/../wine/com.sh" link "$a" "$dir/a"
"$here/../wine/com.sh" link "$b" "$dir/b"
ZMK_LINK_PORT="com$a" ZMK_LINK_PEER="com$b" wine "$exe" "$@"
