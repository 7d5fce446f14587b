#!/usr/bin/env bash
# zmk-cli.exe under Wine against the Linux simulator on a COM port mapped to
# its pty: a full run, --image with --list, missing and refusing ports, a
# silent device, two devices at once, two devices stopped from the console;
# a sealed job verified with --check, and the same job tampered with.
#   usage: wine-cli.sh ZMK-CLI.EXE ZMK-DEVSIM IMAGE
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)" com="$(cd "$(dirname "$0")/../wine" && pwd)/com.sh"
exe="$1" devsim="$2" image="$3" live="${ZMK_CLI_COM_LIVE:-20}" refused="${ZMK_CLI_COM_REFUSED:-25}"
[ -x "$devsim" ] || { echo "SKIP: no Linux build of zmk-devsim at $devsim"; exit 77; }
export WINEPREFIX="${WINEPREFIX:-$HOME/.cache/zmk/wine}" WINEDEBUG=-all
export ZMK_COM_DIR="${ZMK_COM_DIR:-$WINEPREFIX-com}"
if [ "$(cat "$WINEPREFIX/.zmk-com-dir" 2>/dev/null)" != "$ZMK_COM_DIR" ]; then
  "$here/../../scripts/wine-env.sh" start >/dev/null 2>&1 </dev/null
fi
work="$(mktemp -d)" sim_pid= failures=0
trap '[ -n "$sim_pid" ] && kill $sim_pid; "$com" unlink $live; "$com" unlink $refused; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# Wine opens a mapped COM port whose target is missing; one that leads to a
# directory is no serial port.
mkdir -p "$work/dir" && "$com" link "$refused" "$work/dir"

start_sim() {
  rm -f "$work/sim.out" "$work/report.json"
  "$devsim" --quiet --report "$work/report.json" "$@" >"$work/sim.out" &
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
  "$com" link "$live" "$(head -n 1 "$work/sim.out")"
}
end_sim() { # lets the simulator end by itself; $1: the flash must hold the image
  for _ in $(seq 60); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.05; done
  kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; sim_pid=
  [ -z "${1:-}" ] || grep -q '"flash_matches": true' "$work/report.json" || fail "$1"
}
cli() { # STATUS ARGS...: runs zmk-cli.exe, output in $work/out and $work/err
  local want="$1"; shift
  timeout 60 wine "$exe" "$@" >"$work/out" 2>"$work/err"
  local rc=$?
  [ "$rc" -eq "$want" ] || fail "zmk-cli.exe $* exited $rc, not $want: $(head -c 300 "$work/err")"
}
has() { tr -d '\r' <"$work/$1" | grep -q -- "$2" || fail "$1 lacks '$2'"; }

start_sim --baud 0 --erase-ms 50 --expect "$image"
cli 0 "COM$live"
has out "Opening serial port COM$live at 115200 baud"
has out "Flash Image Size ed80"
has out "RESET"
end_sim "the embedded image did not land"

head -c 1000 /dev/urandom >"$work/fw.bin"
start_sim --baud 0 --erase-ms 0 --expect "$work/fw.bin"
cli 0 --quiet --image "$(winepath -w "$work/fw.bin" 2>/dev/null)" "COM$live"
cli 0 --list
has out "^\\\\\\\\.\\\\COM$live\$"
tr -d '\r' <"$work/out" | grep -q "COM$refused\$" && fail "--list shows the refusing COM$refused"
end_sim "--image did not land"

cli 1 COM99 # nothing maps it
has err "no such port"
cli 1 "COM$refused"
has err "not a serial port"
cli 2 --image nothing.bin "COM$live"

start_sim --baud 0 --erase-ms 0 --silent-after 4
cli 3 --timeout 1 "COM$live"
has err "waiting on PROGRAM"
end_sim

# A line that never goes quiet, and a device that refuses: each ends with
# status 3 soon after --timeout, the step bounded on the Windows port too.
start_sim --baud 115200 --chatter-after 40
t0=$(date +%s%N)
cli 3 --timeout 2 "COM$live"
ms=$((($(date +%s%N) - t0) / 1000000))
has err "stopped answering"
echo "never-quiet line: zmk-cli.exe exited after $ms ms"
[ "$ms" -lt 6500 ] || fail "never-quiet line: $ms ms"
end_sim

start_sim --baud 0 --erase-ms 0 --refuse-after 10
cli 3 --timeout 1 "COM$live"
has err "refuses PROGRAM at 0x"
end_sim

# Two devices at once, a child process each, their records, and a serial
# number for each from an SQLite ledger.
second="${ZMK_CLI_COM_SECOND:-21}" sim2_pid=
trap '[ -n "$sim_pid" ] && kill $sim_pid; [ -n "$sim2_pid" ] && kill $sim2_pid
  "$com" unlink $live; "$com" unlink $refused; "$com" unlink $second; rm -rf "$work"' EXIT
start_sim2() { # the second device, on COM$second
  rm -f "$work/sim2.out" "$work/report2.json"
  "$devsim" --quiet --report "$work/report2.json" "$@" >"$work/sim2.out" &
  sim2_pid=$!
  for _ in $(seq 100); do [ -s "$work/sim2.out" ] && break; sleep 0.05; done
  "$com" link "$second" "$(head -n 1 "$work/sim2.out")"
}
serial=(--expect-skip 0x100:4 --show 0x100:4)
start_sim --baud 0 --erase-ms 50 --expect "$image" "${serial[@]}"
start_sim2 --baud 0 --erase-ms 50 --expect "$image" "${serial[@]}"
cli 0 --log "$(winepath -w "$work/log.jsonl" 2>/dev/null)" --db "$(winepath -w "$work/line.db" 2>/dev/null)" \
  --new-pool --serial-at 0x100 --serial-start 7 "COM$live" "COM$second"
has out "^PASS COM$live  "
has out "^PASS COM$second  "
[ "$(grep -c '"result":"ok"' "$work/log.jsonl" 2>/dev/null)" = 2 ] || fail "two records: $(cat "$work/log.jsonl")"
[ "$(grep -o '"state":"used"' "$work/log.jsonl" | wc -l)" = 2 ] || fail "two numbers used: $(cat "$work/log.jsonl")"
# Each record times its device's replies, in the log and in the database.
[ "$(grep -Eo '"reply_ms":[0-9]+\.[0-9]' "$work/log.jsonl" | wc -l)" = 2 ] || fail "two reply times: $(cat "$work/log.jsonl")"
[ "$(sqlite3 "$work/line.db" "SELECT count(reply_ms) FROM records")" = 2 ] || fail "the reply times in the database"
[ "$(sqlite3 "$work/line.db" "SELECT group_concat(value) FROM (SELECT value FROM serials WHERE state = 'used' ORDER BY value)")" = "7,8" ] ||
  fail "the ledger: $(sqlite3 "$work/line.db" 'SELECT * FROM serials')"
end_sim "the first of two devices"
for _ in $(seq 60); do kill -0 "$sim2_pid" 2>/dev/null || break; sleep 0.05; done
kill "$sim2_pid" 2>/dev/null; wait "$sim2_pid" 2>/dev/null; sim2_pid=
grep -q '"flash_matches": true' "$work/report2.json" || fail "the second of two devices"
shown=$(cat "$work/report.json" "$work/report2.json" | tr -d ' \n' | grep -o '"hex":"[0-9a-f]*"' | sort | tr '\n' ' ')
[ "$shown" = '"hex":"07000000" "hex":"08000000" ' ] || fail "each device its own number: $shown"

# Two devices stopped mid-run from the console. A terminal's Ctrl-C is a
# SIGINT to the Wine process, which Wine hands to its console control handler
# as CTRL_C_EVENT; the children run in sessions of their own and get none.
# (SIGTERM, SIGHUP and SIGQUIT end a Wine process outright, its handler never
# called.) The first Ctrl-C starts nothing new, the second stops the running
# devices: each child ends at its next command, well before the parent's
# grace time, and puts its port's speed back (9600 here; 115200 in the run).
slow=(--baud 0 --erase-ms 50 --delay 1 --delay-ms 20) # about 7 s a device
start_sim "${slow[@]}"
start_sim2 "${slow[@]}"
pty1=$(head -n 1 "$work/sim.out") pty2=$(head -n 1 "$work/sim2.out")
speeds() { echo "$(stty -F "$pty1" speed 2>&1) $(stty -F "$pty2" speed 2>&1)"; }
stty -F "$pty1" 9600 && stty -F "$pty2" 9600
wine "$exe" --log "$(winepath -w "$work/stop.jsonl" 2>/dev/null)" "COM$live" "COM$second" \
  >"$work/out" 2>"$work/err" &
batch=$!
for _ in $(seq 200); do [ "$(speeds)" = "115200 115200" ] && break; sleep 0.1; done
[ "$(speeds)" = "115200 115200" ] || fail "both ports set up for the run: $(speeds)"
sleep 1
kill -INT "$batch"
sleep 0.5
t0=$(date +%s%N)
kill -INT "$batch"
for _ in $(seq 200); do kill -0 "$batch" 2>/dev/null || break; sleep 0.05; done
ms=$((($(date +%s%N) - t0) / 1000000))
kill -KILL "$batch" 2>/dev/null
wait "$batch"
rc=$?
echo "two devices stopped by two Ctrl-C: zmk-cli.exe exited $rc $ms ms after the second"
[ "$rc" -eq 130 ] || fail "stopped batch exited $rc, not 130: $(tr -d '\r' <"$work/err" | head -c 300)"
[ "$ms" -lt 2500 ] || fail "the children were not stopped at their next command: $ms ms"
[ "$(grep -c '"result":"interrupted"' "$work/stop.jsonl" 2>/dev/null)" = 2 ] ||
  fail "two interrupted records: $(cat "$work/stop.jsonl" 2>/dev/null)"
[ "$(speeds)" = "9600 9600" ] || fail "the ports' speeds put back: $(speeds)"
kill "$sim_pid" "$sim2_pid"
wait "$sim_pid" "$sim2_pid"
sim_pid=; sim2_pid=
for r in "$work/report.json" "$work/report2.json"; do
  flat=$(tr -d ' \n' <"$r")
  case "$flat" in
    *'"ended_with_reset":false'*'"violation_count":0,'*) ;;
    *) fail "a device stopped mid-run, no broken frame: $flat" ;;
  esac
done

# The station's page, served by zmk-cli.exe.
port=$((20000 + RANDOM % 20000))
timeout 60 wine "$exe" --station --match COM99 --ui "127.0.0.1:$port" >"$work/out" 2>"$work/err" &
station=$!
status=
for _ in $(seq 100); do
  status=$(/usr/bin/python3 -c 'import sys, urllib.request
print(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode())' \
    "http://127.0.0.1:$port/api/status" 2>/dev/null) && break
  sleep 0.2
done
kill "$station" 2>/dev/null; wait "$station" 2>/dev/null
case "$status" in
  *'"state":"running"'*'"slots":[]'*) ;;
  *) fail "zmk-cli.exe --station --ui: /api/status gave '$status'; $(tr -d '\r' <"$work/err")" ;;
esac

# A job sealed with minisign is verified by zmk-cli.exe's own libsodium; one
# byte changed after sealing, it is refused. Keys from a folder of ours only.
if command -v minisign >/dev/null; then
  mkdir -p "$work/job" "$work/job/keys"
  cp "$image" "$work/job/fw.bin"
  printf 'name = "wine-board"\nversion = "1.0"\n[image]\nfile = "fw.bin"\nsha256 = "%s"\n' \
    "$(sha256sum "$image" | cut -d' ' -f1)" >"$work/job/job.toml"
  minisign -G -W -p "$work/job/keys/line.pub" -s "$work/job/line.key" >/dev/null 2>&1
  minisign -S -s "$work/job/line.key" -m "$work/job/job.toml" -t "wine line" >/dev/null 2>&1
  keys="$(winepath -w "$work/job/keys" 2>/dev/null)"
  jobw="$(winepath -w "$work/job/job.toml" 2>/dev/null)"
  key_id="$(sed -n 's/.*public key //p' "$work/job/keys/line.pub")"
  export WINEDEBUG=-all
  ZMK_JOB_KEYS_DIR="$keys" cli 0 --job "$jobw" --check
  has out "job: wine-board 1.0"
  has out "sealed by: key $key_id"
  has out "trusted comment: wine line"
  printf '# changed\n' >>"$work/job/job.toml"
  ZMK_JOB_KEYS_DIR="$keys" cli 2 --job "$jobw" --check
  has err "does not match its seal"
else
  echo "minisign missing: the sealed job's case is left out"
fi

[ "$failures" -eq 0 ] && echo "all zmk-cli.exe cases passed"
exit $((failures > 0))
