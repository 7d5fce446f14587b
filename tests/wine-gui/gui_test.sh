#!/usr/bin/env bash
# One scenario of the Win32 dialog under Wine, on an X server of its own:
#   program  com1+com3 live: com1 first and selected; Return programs the
#            simulator on com1, "Done", a second Return changes nothing,
#            screenshot, alt+F4 ends with status 0
#   sorted   com2+com10 live: com10 lists first and is the one programmed
#   fatal    no port: Return does nothing; a typed absent name ends in the
#            "Terminate Program" box, dismissed with Return, status 1
#   noisy    com1's device starts printing without pause mid-run: the dialog
#            stays "Programming..." and alt+F4 ends it within 3 s
#   unplugged com1's device hangs up mid-run: within 2 s the status says the
#            device disconnected, and alt+F4 ends the dialog at once
# usage: gui_test.sh SCENARIO ZMK_EXE PEEK_EXE DEVSIM IMAGE ARTIFACT_DIR
set -euo pipefail
scenario=$1 zmk=$2 peek=$3 devsim=$4 image=$5 artifacts=$6
root="$(cd "$(dirname "$0")/../.." && pwd)"
com="$root/tests/wine/com.sh"
caption='Vorlane Flash Programming Tool'
export WINEPREFIX="${WINEPREFIX:-$HOME/.cache/zmk/wine}" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
bash "$root/scripts/wine-env.sh" start
work="$(mktemp -d /tmp/zmk-gui.XXXXXX)"
pids=() ports=()
cleanup() {
  kill "${pids[@]}" 2>/dev/null || true
  for n in "${ports[@]}"; do bash "$com" unlink "$n"; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL ($scenario): $*" >&2
  tail -n 20 "$work"/console.txt "$work"/peek.txt "$work"/report.json >&2 2>/dev/null || true
  exit 1
}
# wait_for SECONDS CMD: polls CMD every 0.1 s.
wait_for() {
  for ((i = 0; i < $1 * 10; i++)); do eval "$2" && return 0; sleep 0.1; done
  return 1
}
peek() { timeout 10 wine "$peek" "$1" 2>/dev/null | tr -d '\r' >"$work/peek.txt"; }
status_is() { peek "$caption" && grep -qx "control 5 Edit $1" "$work/peek.txt"; }
# device N [ARGS]: a simulator on a pty, mapped as COMn.
device() {
  local n=$1
  shift
  "$devsim" --link "$work/dev$n" --quiet "$@" >/dev/null 2>"$work/devsim$n.err" &
  pids+=($!)
  wait_for 10 "[ -e '$work/dev$n' ]" || fail "simulator on com$n did not start"
  bash "$com" link "$n" "$work/dev$n"
  ports+=("$n")
}
[ -x "$devsim" ] || fail "no simulator at $devsim (build the linux preset first)"

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
exec 3>&-
wait_for 10 "[ -s '$work/display' ] && DISPLAY=:\$(cat '$work/display') xdpyinfo >/dev/null 2>&1" ||
  fail "Xvfb did not start"
export DISPLAY=":$(cat "$work/display")"

run=(--baud 115200 --expect "$image" --report "$work/report.json")
case "$scenario" in
program) device 1 "${run[@]}"; device 3; items=$'item 0 com1\nitem 1 com3'; want=com1 ;;
sorted) device 10 "${run[@]}"; device 2; items=$'item 0 com10\nitem 1 com2'; want=com10 ;;
fatal) items='' ;;
noisy) device 1 --baud 115200 ${ZMK_NOISY_ARGS:---chatter-after 40}; items=$'item 0 com1' ;;
unplugged) device 1 --baud 115200 --hangup-at 40; items=$'item 0 com1' ;;
esac

timeout 200 wine "$zmk" >"$work/console.txt" 2>&1 &
zmk_pid=$!
pids+=($zmk_pid)
wait_for 60 "xdotool search --name '^$caption\$' >'$work/wid' 2>/dev/null" || fail "no dialog"
key() { timeout 5 xdotool key --window "$(head -n1 "$work/wid")" "$@" 2>/dev/null || true; }
wait_for 10 "status_is ' - Idle - '" || fail "status is not ' - Idle - '"
[ "$(grep '^item' "$work/peek.txt" || true)" = "$items" ] || fail "port list"

if [ "$scenario" = fatal ]; then
  grep -qx 'selected -1' "$work/peek.txt" || fail "selection in an empty list"
  key Return
  sleep 1
  status_is ' - Idle - ' && ! peek 'Terminate Program' || fail "Program with no port did something"
  timeout 5 xdotool type --window "$(head -n1 "$work/wid")" com29
  key Return
  wait_for 20 "peek 'Terminate Program'" || fail "no 'Terminate Program' box"
  grep -q 'Unable to open serial port. In use already, or not present' "$work/peek.txt" || fail "box text"
  grep -q '^Error number [0-9]* reported' "$work/peek.txt" || fail "no error number"
  timeout 5 xdotool key --window "$(xdotool search --name '^Terminate Program$')" Return 2>/dev/null || true
  rc=0 && wait "$zmk_pid" || rc=$?
  [ "$rc" = 1 ] || fail "exit status $rc after the box"
  echo "ok: fatal box, exit status 1"
  exit 0
fi

grep -qx 'selected 0' "$work/peek.txt" || fail "first item not selected"
if [ "$scenario" = noisy ]; then
  key Return
  # The chatter starts after frame 40, about 1.2 s in; give it two more.
  wait_for 20 "grep -q 'Programming' '$work/console.txt'" || fail "the run did not start"
  sleep 3.5
  status_is 'Programming...' || fail "status is not 'Programming...' on a noisy line"
  start=$(date +%s%3N)
  key alt+F4
  wait_for 10 "! kill -0 $zmk_pid 2>/dev/null" || fail "still running 10 s after alt+F4"
  ms=$(($(date +%s%3N) - start))
  rc=0 && wait "$zmk_pid" || rc=$?
  [ "$rc" = 0 ] || fail "exit status $rc after closing"
  [ "$ms" -lt 3000 ] || fail "closing took $ms ms on a noisy line"
  echo "ok: closed $ms ms after alt+F4 on a line that never goes quiet"
  exit 0
fi
if [ "$scenario" = unplugged ]; then
  key Return
  start=$(date +%s%3N)
  # The field shows a word it holds whole; the sentence is on the console.
  wait_for 10 "status_is Disconnected" || fail "the disconnection was not shown"
  ms=$(($(date +%s%3N) - start))
  [ "$ms" -lt 3200 ] || fail "the disconnection was shown $ms ms after Program"
  grep -q '^fits 5 yes' "$work/peek.txt" || fail "the status does not fit its field: $(grep '^fits 5' "$work/peek.txt")"
  wait_for 5 "grep -q ' ! Stopped: the device disconnected while waiting on PROGRAM at 0x' '$work/console.txt'" ||
    fail "the console does not say why"
  import -window root "$artifacts/win32-disconnected.png" 2>/dev/null || true
  start=$(date +%s%3N)
  key alt+F4
  wait_for 10 "! kill -0 $zmk_pid 2>/dev/null" || fail "still running 10 s after alt+F4"
  rc=0 && wait "$zmk_pid" || rc=$?
  [ "$rc" = 0 ] || fail "exit status $rc after closing"
  echo "ok: disconnection shown $ms ms after Program; closed $(($(date +%s%3N) - start)) ms after alt+F4"
  exit 0
fi
start=$(date +%s%3N)
key Return
wait_for 120 "status_is Done" || fail "status never read 'Done'"
ms=$(($(date +%s%3N) - start))
wait_for 10 "grep -qs '\"ok\": true' '$work/report.json'" || fail "simulator report not ok"
grep -q '"flash_matches": true' "$work/report.json" || fail "flash differs from the image"
grep -q '"violation_count": 0' "$work/report.json" || fail "protocol violations"
grep -q "^ \. Opening serial port $want at 115200 baud" "$work/console.txt" || fail "did not open $want"
if [ "$scenario" = program ]; then
  key Return
  sleep 0.5
  status_is Done && [ "$(grep -c Opening "$work/console.txt")" = 1 ] || fail "second Program did something"
  mkdir -p "$artifacts"
  import -window root "$artifacts/win32-done.png"
fi
key alt+F4
rc=0 && wait "$zmk_pid" || rc=$?
[ "$rc" = 0 ] || fail "exit status $rc after closing"
echo "ok: $want programmed through the dialog in $((ms / 1000)).$(printf %03d $((ms % 1000))) s"
