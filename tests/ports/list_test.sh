#!/usr/bin/env bash
# zmk-cli.exe --list under Wine: a COM port with a device of the Ports class
# behind it is listed with that device's description; one without, bare.
#   usage: list_test.sh ZMK-CLI.EXE ZMK-FAKE-PORT.EXE
set -uo pipefail
exe="$1" fake="$2" described=27 bare=28
com="$(cd "$(dirname "$0")/../wine" && pwd)/com.sh"
export WINEPREFIX="${WINEPREFIX:-$HOME/.cache/zmk/wine}" WINEDEBUG=-all
export ZMK_COM_DIR="${ZMK_COM_DIR:-$WINEPREFIX-com}"
if [ "$(cat "$WINEPREFIX/.zmk-com-dir" 2>/dev/null)" != "$ZMK_COM_DIR" ]; then
  "$(dirname "$0")/../../scripts/wine-env.sh" start >/dev/null 2>&1 </dev/null
fi
work="$(mktemp -d)"
trap 'wine "$fake" remove; "$com" unlink $described; "$com" unlink $bare; rm -rf "$work"' EXIT
# A mapped port whose target is missing opens, as a dead device: enough to
# be listed.
for n in $described $bare; do ln -sfn "$work/none" "$("$com" dir)/com$n"; done
wine "$fake" add "COM$described" "USB Serial Port" || exit 1
timeout 60 wine "$exe" --list | tr -d '\r' >"$work/list"
cat "$work/list"
grep -qxF "$(printf '\\\\.\\COM%d\tUSB Serial Port' $described)" "$work/list" &&
  grep -qxF "\\\\.\\COM$bare" "$work/list"
