#!/usr/bin/env bash
# Makes a Wine COM port live or absent for a test, without restarting the
# wineserver (scripts/wine-env.sh start maps COM1..COM31 into $ZMK_COM_DIR).
#   com.sh link N TARGET   COMn opens TARGET (a pty, e.g. a socat end or the
#                          simulator's device); a symlink TARGET is followed
#                          at each open, so a pty made anew behind it is found
#   com.sh unlink N        COMn is absent again (fails to open)
#   com.sh dir             prints the directory
set -euo pipefail
export WINEPREFIX="${WINEPREFIX:-$HOME/.cache/zmk/wine}"
ZMK_COM_DIR="${ZMK_COM_DIR:-$WINEPREFIX-com}"

usage() { echo "usage: $0 link N TARGET | unlink N | dir" >&2; exit 2; }
number() { [[ "${1:-}" =~ ^[0-9]+$ ]] && [ "$1" -ge 1 ] && [ "$1" -le 31 ] || usage; }

case "${1:-}" in
link)
  number "${2:-}"
  [ -n "${3:-}" ] || usage
  [ -e "$3" ] || { echo "$0: $3 does not exist" >&2; exit 1; }
  target="$(cd "$(dirname -- "$3")" && pwd)/$(basename -- "$3")"
  mkdir -p "$ZMK_COM_DIR"
  ln -sfn -- "$target" "$ZMK_COM_DIR/com$2"
  ;;
unlink)
  number "${2:-}"
  # Wine opens a COM port whose path is missing as a dead device; a port
  # mapped to a directory fails to open, which is what an absent port must do.
  mkdir -p "$ZMK_COM_DIR/.absent"
  ln -sfn -- "$ZMK_COM_DIR/.absent" "$ZMK_COM_DIR/com$2"
  ;;
dir)
  echo "$ZMK_COM_DIR"
  ;;
*)
  usage
  ;;
esac
