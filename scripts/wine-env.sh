#!/usr/bin/env bash
# start: makes the Wine prefix the Windows tests run in (once) and starts a
# persistent wineserver, so each test does not pay for a server start.
# stop: ends the server.
#
# COM ports: once per prefix, COM1..COM31 are all mapped to
# $ZMK_COM_DIR/comN (default "$WINEPREFIX-com"). Those point at an empty
# directory until a test links them, so every COMn in 1..31 is absent and
# Wine's automatic mapping of /dev/ttyS* moves to COM32 and up, out of the
# range the port probe looks at. A test makes COMn live by pointing the
# symlink $ZMK_COM_DIR/comN at a pty (tests/wine/com.sh link N PTY); Wine
# resolves the path at each open, so no wineserver restart is needed.
set -euo pipefail
export WINEPREFIX="${WINEPREFIX:-$HOME/.cache/zmk/wine}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
ZMK_COM_DIR="${ZMK_COM_DIR:-$WINEPREFIX-com}"

map_com_ports() {
  local reg="$WINEPREFIX/drive_c/zmk-ports.reg" n
  {
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    for n in $(seq 1 31); do printf '"COM%d"="%s/com%d"\r\n' "$n" "$ZMK_COM_DIR" "$n"; done
  } >"$reg"
  wine regedit /S 'C:\zmk-ports.reg' >/dev/null 2>&1
  rm -f "$reg"
  # The mapping takes effect when the server starts again.
  wineserver -k 2>/dev/null || true
  wineserver -w
  printf '%s\n' "$ZMK_COM_DIR" >"$WINEPREFIX/.zmk-com-dir"
}

case "${1:-start}" in
start)
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
    # Without a window manager, unmanaged windows close at once.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    wineserver -w
  fi
  mkdir -p "$ZMK_COM_DIR/.absent"
  if [ "$(cat "$WINEPREFIX/.zmk-com-dir" 2>/dev/null)" != "$ZMK_COM_DIR" ]; then
    map_com_ports
  fi
  # Every port a test has not made live is absent: Wine would open a missing
  # path as a dead device, but refuses to open a directory.
  for n in $(seq 1 31); do
    [ -e "$ZMK_COM_DIR/com$n" ] || ln -sfn "$ZMK_COM_DIR/.absent" "$ZMK_COM_DIR/com$n"
  done
  # Fails harmlessly when a persistent server already runs.
  wineserver -p 2>/dev/null || true
  # Bring the prefix's services up once, before the first timed test.
  wine cmd /c exit 0 >/dev/null 2>&1 || true
  ;;
stop)
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  ;;
esac
