#!/usr/bin/env bash
# start: makes the Wine prefix the Windows tests run in (once) and starts a
# persistent wineserver, so each test does not pay for a server start.
# stop: ends the server.
set -euo pipefail
export WINEPREFIX="${WINEPREFIX:-$HOME/.cache/zmk/wine}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

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
  wineserver -p 2>/dev/null
  # Bring the prefix's services up once, before the first timed test.
  wine cmd /c exit 0 >/dev/null 2>&1 || true
  ;;
stop)
  wineserver -k 2>/dev/null || true
  ;;
esac
