#!/usr/bin/env bash
# One scenario of the Win32 dialog under Wine, on an X server of its own:
#   program  com1 and com3 live, com1 listed first and selected; Return runs
#            the whole programming into the simulator on com1; "Done";
#            screenshot; alt+F4 ends with status 0
#   sorted   com2 and com10 live: com10 lists first and is the one programmed
#   fatal    no port: Return does nothing; a typed absent name ends in the
#            "Terminate Program" box, dismissed with Return, status 1
# usage: gui_test.sh SCENARIO ZMK_EXE PEEK_EXE DEVSIM IMAGE ARTIFACT_DIR
set -euo pipefail
scenario=$1 zmk=$2 peek=$3 devsim=$4 image=$5 artifacts=$6
root="$(cd "$(dirname "$0")/../.." && pwd)"
com="$root/tests/wine/com.sh"
caption='Vorlane Flash Programming Tool'

export WINEPREFIX="${WINEPREFIX:-$HOME/.cache/zmk/wine}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
bash "$root/scripts/wine-env.sh" start

work="$(mktemp -d /tmp/zmk-gui.XXXXXX)"
pids=()
ports=()
comdir="$(bash "$com" dir)"
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for n in $(seq 1 31); do
    [ "$(readlink "$comdir/com$n" 2>/dev/null)" = "$work/absent" ] && rm -f "$comdir/com$n"
  done
  for n in "${ports[@]}"; do bash "$com" unlink "$n" || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL ($scenario): $*" >&2
  for f in console.txt peek.txt devsim1.err report1.json; do
    [ -s "$work/$f" ] && sed "s/^/$f: /" "$work/$f" >&2
  done
  exit 1
}

# Polls CMD (a string for eval) every 0.1 s for up to SECONDS.
wait_for() {
  local seconds=$1 cmd=$2 i
  for ((i = 0; i < seconds * 10; i++)); do
    eval "$cmd" && return 0
    sleep 0.1
  done
  return 1
}

peek() {
  timeout 10 wine "$peek" "$1" >"$work/peek.raw" 2>/dev/null || return 1
  tr -d '\r' <"$work/peek.raw" >"$work/peek.txt"
}
status_is() { peek "$caption" && grep -qx "control 5 Edit $1" "$work/peek.txt"; }

# A simulator on a pty, mapped as COMn. Index i names its files.
start_device() {
  local n=$1 i=$2
  shift 2
  "$devsim" --link "$work/dev$i" --quiet --report "$work/report$i.json" "$@" \
    >"$work/devsim$i.out" 2>"$work/devsim$i.err" &
  pids+=($!)
  eval "dev${i}_pid=$!"
  wait_for 10 "[ -e '$work/dev$i' ]" || fail "simulator $i did not start"
  bash "$com" link "$n" "$work/dev$i"
  ports+=("$n")
}

# The X server: a free display number of its own choosing.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
exec 3>&-
wait_for 10 "[ -s '$work/display' ]" || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$work/display")"
wait_for 10 "xdpyinfo >/dev/null 2>&1" || fail "no X display"

case "$scenario" in
program)
  start_device 1 1 --baud 115200 --expect "$image"
  start_device 3 3 --max-seconds 120
  want_items=$'item 0 com1\nitem 1 com3'
  want_port=com1
  ;;
sorted)
  start_device 10 1 --baud 115200 --expect "$image"
  start_device 2 2 --max-seconds 120
  want_items=$'item 0 com10\nitem 1 com2'
  want_port=com10
  ;;
fatal)
  want_items=''
  ;;
*)
  fail "unknown scenario"
  ;;
esac

# Wine opens a mapped COM port whose target is missing (as a device without a
# line behind it), so every unused COMn points at a directory, which no open
# accepts, for as long as the test runs.
mkdir -p "$work/absent" "$comdir"
for n in $(seq 1 31); do
  [ -e "$comdir/com$n" ] || ln -sfn "$work/absent" "$comdir/com$n"
done

timeout 200 wine "$zmk" >"$work/console.txt" 2>&1 &
zmk_pid=$!
pids+=($zmk_pid)
wait_for 60 "xdotool search --name '^$caption\$' >'$work/wid' 2>/dev/null" || fail "no dialog"
wid="$(head -n1 "$work/wid")"
wait_for 10 "status_is ' - Idle - '" || fail "status is not ' - Idle - '"
[ "$(grep '^item' "$work/peek.txt" || true)" = "$want_items" ] || fail "port list"

if [ "$scenario" = fatal ]; then
  grep -qx 'selected -1' "$work/peek.txt" || fail "an item is selected in an empty list"
  # Nothing selected and nothing typed: Program does nothing.
  timeout 5 xdotool key --window "$wid" Return
  sleep 1
  status_is ' - Idle - ' || fail "Program with no port changed the status"
  peek 'Terminate Program' && fail "Program with no port showed a box"
  timeout 5 xdotool type --window "$wid" com29
  timeout 5 xdotool key --window "$wid" Return
  wait_for 20 "peek 'Terminate Program'" || fail "no 'Terminate Program' box"
  grep -q 'Unable to open serial port. In use already, or not present' "$work/peek.txt" ||
    fail "box text"
  grep -q '^Error number [0-9]* reported' "$work/peek.txt" || fail "no error number in the box"
  box="$(xdotool search --name '^Terminate Program$' | head -n1)"
  timeout 5 xdotool key --window "$box" Return 2>/dev/null || true
  rc=0
  wait "$zmk_pid" || rc=$?
  [ "$rc" = 1 ] || fail "exit status $rc after the fatal box, not 1"
  grep -q '^ \. Opening serial port com29 at 115200 baud' "$work/console.txt" ||
    fail "opening line"
  echo "ok: fatal box, exit status 1"
  exit 0
fi

grep -qx 'selected 0' "$work/peek.txt" || fail "first item not selected"
start=$(date +%s%3N)
timeout 5 xdotool key --window "$wid" Return
wait_for 120 "status_is Done" || fail "status never read 'Done'"
ms=$(($(date +%s%3N) - start))
wait_for 10 "! kill -0 $dev1_pid 2>/dev/null" || fail "simulator still running after Done"
rc=0
wait "$dev1_pid" || rc=$?
grep -q '"ok": true' "$work/report1.json" || fail "simulator report not ok (status $rc)"
grep -q '"flash_matches": true' "$work/report1.json" || fail "flash differs from the image"
grep -q '"violation_count": 0' "$work/report1.json" || fail "protocol violations"
grep -q "^ \. Opening serial port $want_port at 115200 baud" "$work/console.txt" ||
  fail "did not open $want_port"
grep -q 'Flash Image Size ed80' "$work/console.txt" || fail "size line"

if [ "$scenario" = program ]; then
  # A second press changes nothing.
  timeout 5 xdotool key --window "$wid" Return
  sleep 0.5
  status_is Done || fail "second Program changed the status"
  [ "$(grep -c 'Opening serial port' "$work/console.txt")" = 1 ] || fail "second open"
  mkdir -p "$artifacts"
  import -window root "$artifacts/win32-done.png"
fi

timeout 5 xdotool key --window "$wid" alt+F4 2>/dev/null || true
rc=0
wait "$zmk_pid" || rc=$?
[ "$rc" = 0 ] || fail "exit status $rc after closing, not 0"
echo "ok: $want_port programmed through the dialog in $((ms / 1000)).$(printf %03d $((ms % 1000))) s" \
  "(simulator: $(grep -o '"elapsed_ms": [0-9]*' "$work/report1.json"))"
