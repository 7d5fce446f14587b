#!/usr/bin/env bash
# zmk-cli.exe under Wine behind an adapter whose driver keeps a 16 ms latency
# timer in the registry: the run says so once per port, with the Windows fix,
# and still programs the device; at 1 ms it says nothing.
#   usage: wine-latency.sh ZMK-CLI.EXE ZMK-DEVSIM
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)" com="$(cd "$(dirname "$0")/../wine" && pwd)/com.sh"
exe="$1" devsim="$2" one="${ZMK_CLI_COM_LATENCY:-7}" two="${ZMK_CLI_COM_LATENCY2:-8}"
[ -x "$devsim" ] || { echo "SKIP: no Linux build of zmk-devsim at $devsim"; exit 77; }
export WINEPREFIX="${WINEPREFIX:-$HOME/.cache/zmk/wine}" WINEDEBUG=-all
export ZMK_COM_DIR="${ZMK_COM_DIR:-$WINEPREFIX-com}"
if [ "$(cat "$WINEPREFIX/.zmk-com-dir" 2>/dev/null)" != "$ZMK_COM_DIR" ]; then
  "$here/../../scripts/wine-env.sh" start >/dev/null 2>&1 </dev/null
fi
bus='HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS' device='VID_0403+PID_6001+TEST'
work="$(mktemp -d)" pids=() failures=0
forget() { # the test's keys, and the bus key when nothing else is in it
  wine reg delete "$bus\\$device" /f >/dev/null 2>&1
  wine reg query "$bus" /s 2>/dev/null | tr -d '\r' | grep -q '^HKEY.*\\FTDIBUS\\' ||
    wine reg delete "$bus" /f >/dev/null 2>&1
}
trap '[ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null; "$com" unlink $one; "$com" unlink $two
  forget; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
timer() { # COM MS INSTANCE: the driver's parameters of the adapter behind COMn
  local key="$bus\\$device\\$3\\Device Parameters"
  wine reg add "$key" /v PortName /t REG_SZ /d "COM$1" /f >/dev/null &&
    wine reg add "$key" /v LatencyTimer /t REG_DWORD /d "$2" /f >/dev/null || fail "reg add $key"
}
start_sim() { # COM ADAPTER-MS: a device behind an adapter holding replies that long
  local out="$work/sim$1.out"
  "$devsim" --quiet --report "$work/report$1.json" --baud 0 --erase-ms 0 --expect "$work/fw.bin" \
    --adapter-latency-ms "$2" >"$out" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$out" ] && break; sleep 0.05; done
  "$com" link "$1" "$(head -n 1 "$out")"
}
end_sims() { # every simulator ends by itself once programmed; each must hold the image
  for p in "${pids[@]}"; do
    for _ in $(seq 60); do kill -0 "$p" 2>/dev/null || break; sleep 0.05; done
    kill "$p" 2>/dev/null; wait "$p" 2>/dev/null
  done
  pids=()
  for c in "$@"; do grep -q '"flash_matches": true' "$work/report$c.json" || fail "COM$c not programmed"; done
}
cli() { # runs zmk-cli.exe, which must succeed; both outputs in $work/all
  timeout 60 wine "$exe" --quiet --image "$(winepath -w "$work/fw.bin" 2>/dev/null)" "$@" \
    >"$work/out" 2>"$work/err"
  local rc=$?
  [ "$rc" -eq 0 ] || fail "zmk-cli.exe $* exited $rc: $(head -c 300 "$work/err")"
  cat "$work/out" "$work/err" | tr -d '\r' >"$work/all"
}
said() { grep -c -F -- "$1" "$work/all"; }

head -c 2000 /dev/urandom >"$work/fw.bin"
warning="COM$one: the adapter holds replies 16 ms (LatencyTimer); every exchange waits. Fix: Device Manager > the port > Port Settings > Advanced > Latency Timer (msec): 1, or set the registry value $bus\\$device\\0000\\Device Parameters\\LatencyTimer to 1, then unplug and plug in the adapter"

timer "$one" 16 0000
start_sim "$one" 16
cli "COM$one"
end_sims "$one"
[ "$(said "$warning")" = 1 ] || fail "one run at 16 ms, the warning once: $(cat "$work/all")"

timer "$one" 1 0000
start_sim "$one" 1
cli "COM$one"
end_sims "$one"
[ "$(said LatencyTimer)" = 0 ] || fail "at 1 ms, no warning: $(cat "$work/all")"

# Two devices, a child each: the parent says it once for each slow port.
timer "$one" 16 0000
timer "$two" 16 0001
start_sim "$one" 16
start_sim "$two" 16
cli "COM$one" "COM$two"
end_sims "$one" "$two"
[ "$(said "$warning")" = 1 ] || fail "COM$one said once in a batch: $(cat "$work/all")"
[ "$(said "COM$two: the adapter holds replies 16 ms (LatencyTimer)")" = 1 ] ||
  fail "COM$two said once in a batch: $(cat "$work/all")"
[ "$(said "$device\\0001\\Device Parameters\\LatencyTimer to 1")" = 1 ] ||
  fail "COM$two's own registry value: $(cat "$work/all")"

[ "$failures" -eq 0 ] && echo "zmk-cli.exe behind a slow adapter: all cases passed"
exit $((failures > 0))
