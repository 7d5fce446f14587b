#!/usr/bin/env bash
# zmk-cli.exe under Wine against the Linux simulator on a COM port mapped to
# its pty: a full run, --image, --list, a missing port, a silent device.
# usage: wine-cli.sh ZMK-CLI.EXE ZMK-DEVSIM IMAGE
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
exe="$1" devsim="$2" image="$3"
[ -x "$devsim" ] || { echo "SKIP: no Linux build of zmk-devsim at $devsim"; exit 77; }
live="${ZMK_CLI_COM_LIVE:-20}" absent="${ZMK_CLI_COM_ABSENT:-25}"
export WINEPREFIX="${WINEPREFIX:-$HOME/.cache/zmk/wine}" WINEDEBUG=-all
export ZMK_COM_DIR="${ZMK_COM_DIR:-$WINEPREFIX-com}"
if [ "$(cat "$WINEPREFIX/.zmk-com-dir" 2>/dev/null)" != "$ZMK_COM_DIR" ]; then
  "$here/../../scripts/wine-env.sh" start >/dev/null 2>&1 </dev/null
fi

work="$(mktemp -d)"
sim_pid=
failures=0
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  "$here/../wine/com.sh" unlink "$live"
  "$here/../wine/com.sh" unlink "$absent"
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Wine opens a mapped COM port whose target is missing, so "absent" points
# at a directory, which no open accepts.
mkdir -p "$work/absent"
"$here/../wine/com.sh" link "$absent" "$work/absent"

start_sim() { # args for the simulator; sets sim_pid, maps COM$live
  rm -f "$work/sim.out" "$work/report.json"
  "$devsim" --quiet --report "$work/report.json" "$@" >"$work/sim.out" &
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
  "$here/../wine/com.sh" link "$live" "$(head -n 1 "$work/sim.out")"
}
end_sim() { # waits for the simulator to end by itself, then stops it
  for _ in $(seq 60); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.05; done
  kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; sim_pid=
}
cli() { # expected-status args...; output in $work/out, $work/err
  local want="$1"; shift
  timeout 60 wine "$exe" "$@" >"$work/out" 2>"$work/err"
  local rc=$?
  [ "$rc" -eq "$want" ] || fail "zmk-cli.exe $* exited $rc, not $want: $(head -c 400 "$work/err")"
}
has() { grep -q -- "$2" "$work/$1" || fail "$1 lacks '$2'"; }

start_sim --baud 0 --erase-ms 50 --expect "$image"
cli 0 "COM$live"
has out "Opening serial port COM$live at 115200 baud"
has out "Flash Image Size ed80"
has out "RESET"
end_sim
grep -q '"flash_matches": true' "$work/report.json" || fail "flash does not hold the image"

head -c 1000 /dev/urandom >"$work/fw.bin"
start_sim --baud 0 --erase-ms 0 --expect "$work/fw.bin"
cli 0 --quiet --image "$(winepath -w "$work/fw.bin" 2>/dev/null)" "COM$live"
"$here/../wine/com.sh" link "$absent" "$work/absent"
cli 0 --list
grep -qx "\\\\\\\\.\\\\COM$live" <(tr -d '\r' <"$work/out") || fail "--list lacks COM$live"
grep -q "COM$absent\$" <(tr -d '\r' <"$work/out") && fail "--list shows the absent COM$absent"
end_sim
grep -q '"flash_matches": true' "$work/report.json" || fail "--image did not land"

# A COM port nothing maps is missing; one whose target refuses the open
# reads like a port that another program holds.
cli 1 COM99
has err "no such port"
cli 1 "COM$absent"
has err "in use"
cli 2 --image nothing.bin "COM$live"

start_sim --baud 0 --erase-ms 0 --silent-after 4
cli 3 --timeout 1 "COM$live"
has err "waiting on PROGRAM"
end_sim

[ "$failures" -eq 0 ] && echo "all zmk-cli.exe cases passed"
exit $((failures > 0))
