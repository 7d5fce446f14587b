#!/usr/bin/env bash
# make demo: builds the Linux programs, starts the device simulator on a
# pseudo-terminal paced at 115200 baud, flashes the embedded image into it
# with zmk-cli and prints the simulator's verdict. Exits 0 only when the
# run ended and the simulator's flash holds the image.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build="${ZMK_DEMO_BUILD:-build/linux}"
echo "== building (linux preset, $build)"
cmake --preset linux -B "$build" >/dev/null
cmake --build "$build" --target zmk-cli zmk-devsim

image=resources/image.bin
dir="$(mktemp -d)"
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

"$build/tools/devsim/zmk-devsim" --baud 115200 --expect "$image" --quiet \
  --report "$dir/report.json" >"$dir/sim.out" &
sim_pid=$!
pty=
for _ in $(seq 100); do
  pty="$(head -n 1 "$dir/sim.out" 2>/dev/null || true)"
  [ -n "$pty" ] && break
  sleep 0.05
done
[ -n "$pty" ] || { echo "demo: the simulator did not start" >&2; exit 1; }

echo "== zmk-cli $pty  (device simulator, 115200 baud)"
rc=0
"$build/app/cli/zmk-cli" "$pty" || rc=$?

# The simulator ends by itself once the line is quiet after RESET.
for _ in $(seq 100); do
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.05
done
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=

field() { sed -n "s/^ *\"$1\": *\([^,]*\),\{0,1\}$/\1/p" "$dir/report.json" | head -n 1; }
[ -s "$dir/report.json" ] || { echo "demo: the simulator wrote no report" >&2; exit 1; }
matches="$(field flash_matches)"
echo "== simulator verdict"
echo "   flash matches the image: $( [ "$matches" = true ] && echo yes || echo NO )"
echo "   exchanges:               $(field exchanges)"
echo "   elapsed:                 $(field elapsed_ms) ms"
echo "   protocol violations:     $(field violation_count)"
if [ "$rc" -ne 0 ] || [ "$matches" != true ] || [ "$(field ok)" != true ]; then
  echo "demo: FAILED (zmk-cli exit status $rc)" >&2
  exit 1
fi
echo "demo: OK"
