#!/usr/bin/env bash
# make bench: full runs of the embedded image into zmk-devsim by every front
# end (zmk-cli, the Qt zmk offscreen, zmk-cli.exe and zmk.exe under Wine) at
# each baud rate, against the floor of the line, with CPU, allocations per
# exchange and peak memory; then zmk-cli with many devices at once ("batch").
# Prints a table, writes it to build/bench/table.md and exits 1 when a target
# is missed.
#   BENCH_BAUDS="115200 921600"  rates to measure
#   BENCH_ONLY="cli qt cli.exe zmk.exe batch batch-serial batch-ui adapter"  rows to measure
#     (batch-serial: the batch row with a serial number for each device from an
#     SQLite ledger; batch-ui: 8 devices with the station's page served to 20
#     viewers, one of which never reads; adapter: one device through a USB
#     serial adapter's 16 ms latency timer, left so and as zmk-cli sets it,
#     with the reply time each record gives)
#   ZMK_BENCH_BASE=PATH  with adapter: a zmk-cli that does not time replies
#     (main's build before it did); the direct run by it and by this one,
#     alternating, three each
#   BENCH_BATCH=32  devices at once in the batch row (at 115200)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
lin="${ZMK_BENCH_LINUX:-$root/build/linux}" win="${ZMK_BENCH_WINDOWS:-$root/build/windows}"
bauds="${BENCH_BAUDS:-115200 921600}" only="${BENCH_ONLY:-cli qt cli.exe zmk.exe batch batch-serial batch-ui adapter}"
batch_n="${BENCH_BATCH:-32}"
devsim="$lin/tools/devsim/zmk-devsim" runstat="$lin/bench/zmk_runstat"
shim="$lin/bench/libzmk_alloc_count.so" image="$root/resources/image.bin"
caption='Vorlane Flash Programming Tool' com=7 erase_ms=300 long_erase_ms=3300
out="$root/build/bench" work="$(mktemp -d /tmp/zmk-bench.XXXXXX)"
export WINEPREFIX="${WINEPREFIX:-$HOME/.cache/zmk/wine}" WINEDEBUG=-all
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$work}"
mkdir -p "$out"
pids=() sims=0
cleanup() {
  kill "${pids[@]}" 2>/dev/null || true
  [ -n "${wine_up:-}" ] && { bash "$root/tests/wine/com.sh" unlink $com; bash "$root/scripts/wine-env.sh" stop; }
  rm -rf "$work"
}
trap cleanup EXIT
die() { echo "bench: $*" >&2; exit 2; }
for f in "$devsim" "$runstat" "$shim"; do [ -e "$f" ] || die "missing $f (make build)"; done

field() { sed -n "s/^ *\"$1\": *\([^,]*\),\{0,1\}$/\1/p" "$2" | head -n 1; }
stat_of() { sed -n "s/.*\<$1=\([^ ]*\).*/\1/p" "$2" | tail -n 1; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
wait_for() { # SECONDS CMD
  for ((i = 0; i < $1 * 20; i++)); do eval "$2" && return 0; sleep 0.05; done
  return 1
}
wineserver_ms() { # CPU the wineserver has used so far (it serves every Wine call)
  local pid
  pid="$(pgrep -n -x "wineserver(64)?")" && [ -r "/proc/$pid/stat" ] || { echo 0; return; }
  awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) * 1000 / hz }' "/proc/$pid/stat" 2>/dev/null || echo 0
}

# sim BAUD ERASE_MS [DEVSIM-OPTION...]: a simulator on a new pty; sets $tty
# and $report.
sim() {
  local n=$((++sims))
  report="$work/report-$n.json"
  "$devsim" --quiet --baud "$1" --erase-ms "$2" --quiet-ms 100 --max-seconds 120 \
    --expect "$image" --report "$report" "${@:3}" >"$work/sim-$n.out" &
  sim_pid=$!
  wait_for 10 "[ -s '$work/sim-$n.out' ]" || die "the simulator did not start"
  tty="$(head -n 1 "$work/sim-$n.out")"
}
sim_end() { # waits for the simulator to end by itself after RESET
  wait_for 30 "! kill -0 $sim_pid 2>/dev/null" || kill "$sim_pid"
  wait "$sim_pid" 2>/dev/null || true
  [ "$(field ok "$report")" = true ] || die "$1: the run did not end with a matching flash: $(cat "$report")"
}

# host FRONT_END STAT [idle]: one run of a front end on $tty (COMn under Wine).
host() {
  local fe=$1 stat=$2 idle=${3:-}
  case "$fe" in
  cli)
    if [ -n "$idle" ]; then "$runstat" "$stat" "$lin/app/cli/zmk-cli" --version >/dev/null; return; fi
    "$runstat" "$stat" env LD_PRELOAD="$shim" ZMK_ALLOC_FILE="$stat.alloc" \
      "$lin/app/cli/zmk-cli" --quiet "$tty" ;;
  qt)
    "$runstat" "$stat" env LD_PRELOAD="$shim" ZMK_ALLOC_FILE="$stat.alloc" \
      "$lin/bench/zmk_qt_drive" "${tty:-none}" ${idle:+--idle} >/dev/null 2>&1 ;;
  cli.exe)
    if [ -n "$idle" ]; then "$runstat" "$stat" wine "$win/app/cli/zmk-cli.exe" --version >/dev/null; return; fi
    bash "$root/tests/wine/com.sh" link $com "$tty"
    "$runstat" "$stat" wine "$win/app/cli/zmk-cli.exe" --quiet "COM$com" ;;
  zmk.exe)
    [ -n "$idle" ] || bash "$root/tests/wine/com.sh" link $com "$tty"
    "$runstat" "$stat" wine "$win/app/win32/zmk.exe" >/dev/null 2>&1 &
    local pid=$!
    wait_for 60 "xdotool search --name '^$caption\$' >'$work/wid' 2>/dev/null" || die "no dialog"
    local wid
    wid="$(head -n 1 "$work/wid")"
    if [ -z "$idle" ]; then
      xdotool key --window "$wid" Return 2>/dev/null || true
      wait_for 60 "! kill -0 $sim_pid 2>/dev/null" || die "zmk.exe: the run did not end"
      wine "$win/tests/wine-gui/zmk-peek.exe" "$caption" 2>/dev/null | tr -d '\r' |
        grep -qx 'control 5 Edit Done' || die "zmk.exe: the status does not read Done"
    fi
    xdotool key --window "$wid" alt+F4 2>/dev/null || true # the window is gone before the key is up
    wait "$pid" ;;
  esac
}

# measure FRONT_END BAUD: one row of the table.
measure() {
  local fe=$1 baud=$2 stat="$work/$1-$2" ws0 ws1
  ws0=$(wineserver_ms)
  sim "$baud" $erase_ms
  host "$fe" "$stat" || die "$fe exited $?"
  ws1=$(wineserver_ms)
  sim_end "$fe at $baud"
  local line floor exch wall cpu rss allocs="n/a"
  line=$(field line_ms "$report") floor=$(field floor_ms "$report") exch=$(field exchanges "$report")
  wall=$(stat_of wall_ms "$stat") rss=$(stat_of maxrss_kb "$stat")
  # CPU of the run: the process (and the wineserver working for it) less
  # what the same front end costs started and closed without a run.
  cpu=$(calc %.1f "$(stat_of user_ms "$stat") + $(stat_of sys_ms "$stat") + $ws1 - $ws0 - ${base[$fe]}")
  if [ -s "$stat.alloc" ]; then
    # The same run with a ten times longer erase: only the exchanges differ.
    sim "$baud" $long_erase_ms
    host "$fe" "$stat.long" || die "$fe exited $?"
    sim_end "$fe at $baud, long erase"
    allocs=$(calc %.2f "($(cat "$stat.long.alloc") - $(cat "$stat.alloc")) / ($(field exchanges "$report") - $exch)")
  fi
  local ratio share
  ratio=$(calc %.3f "$line / $floor") share=$(calc %.2f "100 * $cpu / $line")
  printf '| %-8s | %6s | %6s | %6s | %5s | %6s | %7s | %5s%% | %6s | %5s |\n' "$fe" "$baud" "$exch" \
    "$line" "$floor" "$ratio" "$cpu" "$share" "$allocs" "$(calc %.1f "$rss / 1024")" | tee -a "$table"
  local limit=1.05
  [[ "$fe" == *.exe ]] && limit=1.15
  [ "$fe" = cli ] && limit=1.02 # a single device stays as quick with the production line in
  if [ "$baud" = 115200 ] && awk "BEGIN { exit !($ratio > $limit) }"; then misses+=("$fe: line/floor $ratio > $limit"); fi
  if awk "BEGIN { exit !($share > 2) }"; then misses+=("$fe at $baud: CPU $share% > 2%"); fi
  if [ "$allocs" != n/a ] && awk "BEGIN { exit !($allocs > 0) }"; then misses+=("$fe at $baud: $allocs allocations per exchange"); fi
}

# rss_now PARENT: the resident kB of PARENT with its children, of PARENT, of
# its largest child.
rss_now() {
  ps -e -o pid=,ppid=,rss= | awk -v p="$1" '$1 == p { own = $3 } $2 == p { all += $3; if ($3 > big) big = $3 }
    END { print own + all, own + 0, big + 0 }'
}

# batch: zmk-cli programs $batch_n devices at once at 115200, each against a
# simulator of its own, after one device alone. The slowest device's line
# time against the one alone's; CPU of zmk-cli and every child it waited for
# (wait4), per device; memory: the peak of the summed resident memory of
# zmk-cli and its children (sampled twice a second), per device.
batch() {
  local baud=115200 dir="$work/$1" d j # not i: wait_for counts with it
  local batch_n=$batch_n extra=() skip=() label="zmk-cli x$batch_n" viewers= what=
  if [ "$1" = batch-serial ]; then
    extra=(--db "$dir/line.db" --new-pool --serial-at 0x100 --serial-start 1) label="x$batch_n serial"
    skip=(--expect-skip 0x100:4) what=", each with its serial number reserved in an SQLite ledger"
  elif [ "$1" = batch-ui ]; then
    batch_n=8 extra=(--ui 127.0.0.1:0) label="x8 page x20"
    what=", the station's page served to 20 viewers streaming it (one never reads)"
  fi
  rm -rf "$dir" && mkdir -p "$dir"
  sim $baud $erase_ms
  "$runstat" "$dir/alone.stat" "$lin/app/cli/zmk-cli" --quiet "$tty" || die "zmk-cli alone exited $?"
  sim_end "zmk-cli alone"
  local alone floor
  alone=$(field line_ms "$report") floor=$(field floor_ms "$report")
  local ptys=() spids=() reports=()
  for ((d = 0; d < batch_n; d++)); do
    sim $baud $erase_ms "${skip[@]}"
    ptys+=("$tty") spids+=("$sim_pid") reports+=("$report") pids+=("$sim_pid")
  done
  XDG_STATE_HOME="$dir" "$runstat" "$dir/batch.stat" "$lin/app/cli/zmk-cli" --log "$dir/log.jsonl" "${extra[@]}" "${ptys[@]}" >"$dir/out" 2>&1 &
  local rpid=$! parent= peak=(0 0 0) now
  while kill -0 $rpid 2>/dev/null; do
    [ -n "$parent" ] || parent=$(pgrep -P $rpid -x zmk-cli) || true
    if [ "$1" = batch-ui ]; then page_viewers "$dir" "$parent"; fi
    if [ -n "$parent" ]; then
      read -ra now < <(rss_now "$parent")
      for j in 0 1 2; do if ((now[j] > peak[j])); then peak[j]=${now[j]}; fi; done
    fi
    sleep 0.5
  done
  wait $rpid || die "batch: zmk-cli exited $?: $(tail -n 3 "$dir/out")"
  if [ -n "$viewers" ]; then
    wait "$viewers" || die "batch-ui: the page's viewers failed: $(cat "$dir/viewers")"
    ui_note="the page: 20 viewers streaming (one never reads); a device's end from its record to the page: median $(cut -d' ' -f2 "$dir/viewers") ms, worst $(cut -d' ' -f3 "$dir/viewers") ms"
  fi
  [ "$(grep -c '^PASS ' "$dir/out")" = "$batch_n" ] || die "batch: not every device passed: $(cat "$dir/out")"
  local slowest=0 exch line
  for ((d = 0; d < batch_n; d++)); do
    sim_pid=${spids[d]} report=${reports[d]}
    sim_end "batch device $((d + 1))"
    line=$(field line_ms "$report") exch=$(field exchanges "$report")
    if ((line > slowest)); then slowest=$line; fi
  done
  batch_row "$alone" "$slowest" "$floor" "$exch" "$dir" "${peak[@]}" "$label"
}

# page_viewers DIR ZMK-CLI-PID: once the page is served, its viewers start
# (sets $viewers); once every device has ended, Ctrl-C ends the batch.
page_viewers() {
  local url
  if [ -z "$viewers" ] && url=$(grep -o 'http://[0-9.:]*/' "$1/out"); then
    "$root/bench/ui_load.py" "$url" "$1/log.jsonl" 8 20 >"$1/viewers" 2>&1 &
    viewers=$!
  fi
  if [ -n "$2" ] && grep -q 'every device has ended' "$1/out"; then kill -INT "$2"; fi
}

# batch_row ALONE SLOWEST FLOOR EXCHANGES DIR PEAK_ALL PEAK_PARENT PEAK_CHILD LABEL
batch_row() {
  local alone=$1 slowest=$2 floor=$3 exch=$4 dir=$5 stat="$5/batch.stat"
  local wall cpu share ratio mem
  wall=$(stat_of wall_ms "$stat")
  cpu=$(calc %.1f "($(stat_of user_ms "$stat") + $(stat_of sys_ms "$stat")) / $batch_n")
  share=$(calc %.2f "100 * $cpu / $wall") ratio=$(calc %.3f "$slowest / $alone")
  mem=$(calc %.1f "$6 / 1024 / $batch_n")
  printf '| %-8s | %6s | %6s | %6s | %5s | %6s | %7s | %5s%% | %6s | %5s |\n' "$9" 115200 "$exch" \
    "$slowest" "$floor" "$(calc %.3f "$slowest / $floor")" "$cpu" "$share" n/a "$mem" | tee -a "$table"
  local most
  most=$(grep -o '"seconds":[0-9.]*' "$dir/log.jsonl" | cut -d: -f2 | sort -n | tail -n 1)
  batch_note+="$9: $batch_n devices at once, each against a simulator of its own, with --log$what.
  line: the slowest device, $slowest ms, $ratio of one device alone ($alone ms); the records' slowest $most s; wall $(calc %.1f "$wall / 1000") s.
  CPU: zmk-cli and its $batch_n children (wait4), $(calc %.0f "$cpu * $batch_n") ms in all, per device of the wall.
  peak MiB: resident memory summed over zmk-cli and its children, sampled twice a second, at its peak
  $(calc %.1f "$6 / 1024") MiB (zmk-cli $(calc %.1f "$7 / 1024"), the largest child $(calc %.1f "$8 / 1024")), per device.
"
  if awk "BEGIN { exit !($ratio > 1.05) }"; then misses+=("$9: the slowest of $batch_n took $ratio of one alone > 1.05"); fi
  if awk "BEGIN { exit !($share > 1) }"; then misses+=("$9: CPU per device $share% > 1%"); fi
}

# adapter: zmk-cli and one device at 115200, directly, then through an
# adapter model whose 16 ms timer holds every short reply: left at 16 ms (no
# sysfs file, so zmk-cli finds nothing to set) and with a writable file under
# ZMK_SYSFS_ROOT, which zmk-cli sets to 1 ms. Full-run seconds (zmk-cli's wall
# time) against the direct run, and the reply_ms its record gives.
adapter() {
  local kind stat wall direct= timer opts envs reply
  adapter_note="| adapter | timer at the end | run s | of direct | reply_ms |
|---|---|---|---|---|
"
  for kind in direct held lowered; do
    stat="$work/adapter-$kind" opts=() envs=()
    case $kind in
    held) opts=(--adapter-latency-ms 16) ;;
    lowered) opts=(--adapter-latency-ms 16 --adapter-sysfs "$work/sys") envs=(ZMK_SYSFS_ROOT="$work/sys") ;;
    esac
    sim 115200 $erase_ms "${opts[@]}"
    "$runstat" "$stat" env "${envs[@]}" "$lin/app/cli/zmk-cli" --quiet --log "$stat.jsonl" "$tty" ||
      die "adapter $kind: zmk-cli exited $?"
    sim_end "adapter $kind"
    wall=$(stat_of wall_ms "$stat") timer=$(grep -o '"latency_ms": [0-9]*' "$report" | grep -o '[0-9]*$' || echo none)
    reply=$(grep -o '"reply_ms":[^,]*' "$stat.jsonl" | cut -d: -f2)
    [ -n "$direct" ] || direct=$wall
    adapter_note+="| $kind | ${timer:-none}$([ "$timer" = none ] || echo ' ms') | $(calc %.2f "$wall / 1000") | $(calc %.3f "$wall / $direct") | $reply |
"
  done
  if awk "BEGIN { exit !($wall / $direct > 1.05) }"; then misses+=("adapter: lowered to 1 ms, $(calc %.3f "$wall / $direct") of direct > 1.05"); fi
  [ -z "${ZMK_BENCH_BASE:-}" ] || measuring_cost
}

# The direct run by a zmk-cli without reply timing ($ZMK_BENCH_BASE) and by
# this one, alternating, three each: wall seconds and CPU ms of each run.
measuring_cost() {
  local i who cli stat
  declare -A walls=() cpus=()
  for i in 1 2 3; do
    for who in base this; do
      cli="$lin/app/cli/zmk-cli" stat="$work/measuring-$who-$i"
      [ $who = this ] || cli="$ZMK_BENCH_BASE"
      sim 115200 $erase_ms
      "$runstat" "$stat" "$cli" --quiet "$tty" || die "measuring $who: zmk-cli exited $?"
      sim_end "measuring $who"
      walls[$who]+="$(calc %.2f "$(stat_of wall_ms "$stat") / 1000") "
      cpus[$who]+="$(calc %.0f "$(stat_of user_ms "$stat") + $(stat_of sys_ms "$stat")") "
    done
  done
  adapter_note+="
| direct run | run s, 3 runs alternating | CPU ms |
|---|---|---|
| without reply timing | ${walls[base]}| ${cpus[base]}|
| timing replies | ${walls[this]}| ${cpus[this]}|
"
}

declare -A base
if [[ "$only" == *.exe* ]]; then
  [ -d "$win" ] || die "no Windows build in $win (make build)"
  exec 3>"$work/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  exec 3>&-
  wait_for 10 "[ -s '$work/display' ]" || die "Xvfb did not start"
  export DISPLAY=":$(cat "$work/display")"
  # A running wineserver keeps the display its desktop was made on.
  bash "$root/scripts/wine-env.sh" stop >/dev/null 2>&1 || true
  bash "$root/scripts/wine-env.sh" start >/dev/null
  wine_up=1
fi
fronts=$(printf '%s\n' $only | { grep -v '^batch\|^adapter$' || true; } | tr '\n' ' ')
for fe in $fronts; do
  ws0=$(wineserver_ms) tty=
  host "$fe" "$work/idle-$fe" idle
  ws1=$(wineserver_ms)
  base[$fe]=$(calc %.1f "$(stat_of user_ms "$work/idle-$fe") + $(stat_of sys_ms "$work/idle-$fe") + $ws1 - $ws0")
  rm -f "$work/idle-$fe.alloc"
done

table="$out/table.md" misses=()
{
  echo "| front end | baud | exchanges | line ms | floor ms | line/floor | CPU ms | CPU | allocs/exchange | peak MiB |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
} | tee "$table"
for baud in $bauds; do
  for fe in $fronts; do measure "$fe" "$baud"; done
done
batch_note=
ui_note=
adapter_note=
for g in batch batch-serial batch-ui; do if [[ " $only " == *" $g "* ]]; then batch $g; fi; done
if [[ " $only " == *" adapter "* ]]; then adapter; fi
# The line's database: a reservation and a record, on an SQLite file and a
# throwaway PostgreSQL cluster.
if [[ " $only " == *" batch-serial "* ]]; then
  echo
  "$lin/bench/zmk_store_timing" 1000 || die "zmk_store_timing exited $?"
fi
echo
[ -z "$batch_note" ] || { echo "$batch_note"; echo; }
[ -z "$ui_note" ] || { echo "$ui_note"; echo; }
[ -z "$adapter_note" ] || { echo "$adapter_note"; }
echo "floor: every byte on the wire at 10 bits a byte, 10 ms of quiet line after each reply, the"
echo "${erase_ms} ms erase (the polls answered during it overlap it). line: the host's first byte to"
echo "the end of the device's reply to RESET. CPU: user + system of the front end and the"
echo "wineserver, less the front end's own start and close without a run."
echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1), $(uname -r)"
if [ ${#misses[@]} -gt 0 ]; then
  printf 'target missed: %s\n' "${misses[@]}"
  exit 1
fi
echo "all targets met: line/floor <= 1.02 for zmk-cli, <= 1.05 for the Qt zmk and <= 1.15 under Wine at 115200,"
echo "CPU <= 2%, 0 allocations per exchange; many devices at once: the slowest within 1.05 of one alone, CPU <= 1% a device"
