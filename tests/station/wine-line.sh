#!/usr/bin/env bash
# A line of both systems on one PostgreSQL server that takes TLS connections
# only (a throwaway cluster and a self-signed certificate made here): two
# Linux stations and zmk-cli.exe under Wine, four devices each, one range of
# serial numbers. The Windows machine makes the pool with sslmode=verify-full
# (and is refused with the wrong root certificate); its station runs with
# sslmode=require while the server stops and starts again mid-shift.
#   usage: wine-line.sh ZMK-CLI.EXE LINUX-ZMK-CLI ZMK-DEVSIM IMAGE
# ZMK_LINE_LEDGER=FILE keeps the ledger's rows at the end.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)" com="$here/../wine/com.sh"
exe="$1" cli="$2" devsim="$3" image="$4"
read -r -a ports <<<"${ZMK_LINE_COMS:-26 27 28 29}"
bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
for tool in "$cli" "$devsim" "$bin/initdb" "$(command -v openssl)" "$(command -v psql)"; do
  [ -x "$tool" ] || { echo "SKIP: needs the Linux build, PostgreSQL and openssl (${tool:-openssl})"; exit 77; }
done
export WINEPREFIX="${WINEPREFIX:-$HOME/.cache/zmk/wine}" WINEDEBUG=-all
export ZMK_COM_DIR="${ZMK_COM_DIR:-$WINEPREFIX-com}"
if [ "$(cat "$WINEPREFIX/.zmk-com-dir" 2>/dev/null)" != "$ZMK_COM_DIR" ]; then
  "$here/../../scripts/wine-env.sh" start >/dev/null 2>&1 </dev/null
fi
work="$(mktemp -d)" pg="$(mktemp -d /tmp/zmk-pg-XXXXXX)" failures=0 pids=()
owner=() # initdb and the server refuse root
[ "$(id -u)" -ne 0 ] || { owner=(runuser -u nobody --); chown nobody: "$pg"; }
pg_ctl() { "${owner[@]}" "$bin/pg_ctl" -D "$pg/data" -l "$pg/server.log" -w -t 30 "$@" >>"$pg/log" 2>&1; }
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done
  for n in "${ports[@]}"; do "$com" unlink "$n"; done
  "${owner[@]}" "$bin/pg_ctl" -D "$pg/data" -m immediate -w stop >/dev/null 2>&1
  rm -rf "$work" "$pg"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
wait_for() { # SECONDS COMMAND...: whether COMMAND came true in time
  local limit=$(($1 * 10))
  shift
  for _ in $(seq "$limit"); do "$@" && return 0; sleep 0.1; done
  return 1
}
says() { tr -d '\r' <"$work/$1.out" | grep -q -- "$2"; }

# The cluster, on loopback, TLS only: a connection without it is refused.
port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
"${owner[@]}" "$bin/initdb" -D "$pg/data" -U zmk -A trust --no-sync >>"$pg/log" 2>&1 || { cat "$pg/log"; exit 1; }
cert() { # NAME: a self-signed certificate for 127.0.0.1
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 -keyout "$pg/$1.key" -out "$pg/$1.crt" >>"$pg/log" 2>&1
}
{ cert server && cert stranger; } || { cat "$pg/log"; exit 1; }
chmod 600 "$pg/server.key"
[ "$(id -u)" -ne 0 ] || chown nobody: "$pg/server.key" "$pg/server.crt"
cat >>"$pg/data/postgresql.conf" <<EOF
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$pg'
fsync = off
ssl = on
ssl_cert_file = '$pg/server.crt'
ssl_key_file = '$pg/server.key'
EOF
printf 'local all all trust\nhostssl all all 127.0.0.1/32 trust\n' >"$pg/data/pg_hba.conf"
pg_ctl start || { cat "$pg/log" "$pg/server.log"; exit 1; }
uri="postgresql://zmk@127.0.0.1:$port/zmk"
"$bin/createdb" -h 127.0.0.1 -p "$port" -U zmk zmk || exit 1
psql() { command psql "$uri" -X -A -t -F ' ' -c "$1"; }
psql "SELECT 1" >/dev/null || exit 1
"$bin/psql" "$uri?sslmode=disable" -X -c "SELECT 1" >/dev/null 2>&1 && fail "the server takes plain connections"

# The pool, made from the Windows machine, which checks the server's
# certificate against the line's root; a stranger's root is refused.
root="$(winepath -w "$pg/server.crt" 2>/dev/null | tr '\\' /)"
stranger="$(winepath -w "$pg/stranger.crt" 2>/dev/null | tr '\\' /)"
pool=(--new-pool --serial-at 0x100 --serial-start 1)
timeout 60 wine "$exe" --db "$uri?sslmode=verify-full&sslrootcert=$stranger" "${pool[@]}" >"$work/pool.out" 2>&1 &&
  fail "verify-full took a server its root did not sign"
tr -d '\r' <"$work/pool.out" | grep -q "certificate verify failed" || fail "why refused: $(cat "$work/pool.out")"
echo "verify-full, a stranger's root: $(tr -d '\r' <"$work/pool.out")"
timeout 60 wine "$exe" --db "$uri?sslmode=verify-full&sslrootcert=$root" "${pool[@]}" >"$work/pool.out" 2>&1 ||
  fail "the pool over verify-full: $(cat "$work/pool.out")"

plug() { # STATION K BAUD: device K of a station, on the link $work/STATION-dutK
  "$devsim" --quiet --baud "$3" --erase-ms 20 --expect "$image" --expect-skip 0x100:4 --show 0x100:4 \
    --quiet-ms 200 --max-seconds 90 --link "$work/$1-dut$2" --report "$work/$1-dut$2.json" >/dev/null &
  pids+=($!)
  wait_for 10 test -e "$work/$1-dut$2" || fail "no simulator at $work/$1-dut$2"
}
station() { # NAME PROGRAM ARGS...: a station in the background, on Linux its spool its own
  local name="$1" state="XDG_STATE_HOME=$work/state-$1"
  shift
  [ "$1" != wine ] || state=-uXDG_STATE_HOME # Wine's own %LOCALAPPDATA%
  env "$state" "$@" --station --station-name "$name" --serial-at 0x100 --serial-start 1 \
    >"$work/$name.out" 2>"$work/$name.err" &
  pids+=($!)
  wait_for 30 grep -qs "waiting for devices" "$work/$name.err" || fail "$name did not start: $(cat "$work/$name.err")"
}
gone() { ! kill -0 "$1" 2>/dev/null; }
stop_station() { # NAME PID: Ctrl-C, and its totals
  kill -INT "$2"
  wait_for 20 gone "$2" || fail "$1 did not stop"
  wait "$2" || fail "$1 exited $?: $(tr -d '\r' <"$work/$1.err" | tail -n 3)"
  says "$1" "4 programmed: 4 ok" || fail "$1's totals: $(tr -d '\r' <"$work/$1.out" | tail -n 3)"
}

# Two Linux stations, four quick devices each.
for name in st1 st2; do
  station "$name" "$cli" --db "$uri" --match "$work/$name-*" --log "$work/$name.jsonl"
done
linux=("${pids[@]: -2}")
for k in 0 1 2 3; do plug st1 $k 0; plug st2 $k 0; done
for name in st1 st2; do wait_for 60 says "$name" "4 programmed" || fail "$name programmed: $(cat "$work/$name.out")"; done

# The Windows station, four devices of a few seconds each; the server stops
# while they run and starts again.
for k in 0 1 2 3; do
  plug win $k 115200
  "$com" link "${ports[k]}" "$work/win-dut$k"
done
matches=()
for n in "${ports[@]}"; do matches+=(--match "COM$n"); done
station win wine "$exe" --db "$uri?sslmode=require" --ui 127.0.0.1:0 --log "$(winepath -w "$work/win.jsonl" 2>/dev/null)" \
  "${matches[@]}"
win="${pids[-1]}"
reserved() { [ "$(psql "SELECT count(*) FROM serials WHERE state IN ('reserved', 'used')")" = 12 ]; }
wait_for 60 reserved || fail "twelve numbers reserved: $(psql 'SELECT value, state FROM serials')"
pg_ctl -m fast stop || fail "pg_ctl stop: $(tail -n 5 "$pg/log")"
passed() { [ "$(tr -d '\r' <"$work/win.out" | grep -c '^PASS COM')" = 4 ]; }
wait_for 60 passed || fail "the Windows station's devices: $(cat "$work/win.out")"
says win "takes no records now" || fail "no spool while the server was away: $(cat "$work/win.out")"
pg_ctl start || fail "pg_ctl start: $(tail -n 5 "$pg/server.log")"
wait_for 30 says win "takes records again" || fail "the spool was not written: $(cat "$work/win.out")"

# The line's totals for today, on the Windows station's page.
page="$(tr -d '\r' <"$work/win.err" | grep -o 'http://[^ ]*' | head -n 1)"
today() { python3 -c 'import json, sys, urllib.request as u
d = json.load(u.urlopen(sys.argv[1] + "api/status", timeout=5)).get("today") or {}
print(d.get("programmed"), d.get("ok"))' "$page" 2>&1; }
all_today() { [ "$(today)" = "12 12" ]; }
wait_for 30 all_today || fail "the day's totals on the Windows station's page ($page): $(today)"
stop_station win "$win"
stop_station st1 "${linux[0]}"
stop_station st2 "${linux[1]}"

# Every device holds the number its record names, and no number twice.
for name in st1 st2 win; do
  for k in 0 1 2 3; do
    flash="$(tr -d ' \n' <"$work/$name-dut$k.json" | grep -o '"hex":"[0-9a-f]*"' | cut -d'"' -f4)"
    number=$((16#${flash:6:2}${flash:4:2}${flash:2:2}${flash:0:2}))
    where="$work/$name-dut$k"
    [ "$name" = win ] && where="COM${ports[k]}"
    grep -q '"ok": true' "$work/$name-dut$k.json" || fail "$name-dut$k: $(cat "$work/$name-dut$k.json")"
    [ "$(psql "SELECT serial_value FROM records WHERE port LIKE '%$where' AND result = 'ok'")" = "$number" ] ||
      fail "$where holds $number: $(psql "SELECT port, serial_value FROM records")"
  done
done
[ "$(psql "SELECT count(*), count(DISTINCT serial_value), min(serial_value), max(serial_value), \
  sum(CASE WHEN host = 'win' THEN 1 ELSE 0 END) FROM records WHERE result = 'ok'")" = "12 12 1 12 4" ] ||
  fail "the records: $(psql 'SELECT host, port, serial_value, result FROM records')"
[ "$(psql "SELECT count(*) FROM serials WHERE state = 'used'")" = 12 ] || fail "twelve numbers used"
echo "the Windows station said:"
tr -d '\r' <"$work/win.out"
ledger="SELECT host AS station, port, serial_value AS serial, serial_state, result
  FROM records ORDER BY serial_value"
echo "the ledger:"
command psql "$uri" -X -c "$ledger" | tee "${ZMK_LINE_LEDGER:-/dev/null}"
[ "$failures" -eq 0 ]
