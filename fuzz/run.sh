#!/bin/bash
# Builds the fuzz preset and runs every fuzzer for SECONDS (default 300),
# two at a time so both cores are busy. Each keeps its corpus and crash
# artefacts in the build tree (build/fuzz/fuzz/<name>/), starting from the
# committed seeds in fuzz/corpus/<name>/. Prints each run's final stats and
# the path of every crash artefact; exits 1 when any fuzzer crashed.
#   fuzz/run.sh [SECONDS]
set -u
cd "$(dirname "$0")/.."
seconds=${1:-300}
cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j2 || exit 1

bin=build/fuzz/fuzz
names=()
for f in "$bin"/fuzz_*; do
    [ -x "$f" ] && names+=("${f#"$bin"/fuzz_}")
done
[ ${#names[@]} -gt 0 ] || { echo "no fuzzers built" >&2; exit 1; }
echo "fuzzing ${names[*]} for ${seconds} s each, two at a time"

run_one() {
    local name=$1 work=$bin/$1
    mkdir -p "$work/corpus" "$work/artifacts"
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$bin/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/" "$work/corpus" "fuzz/corpus/$name" \
        >"$work/fuzz.log" 2>&1
    echo $? >"$work/fuzz.rc"
}

for name in "${names[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge 2 ]; do
        wait -n
    done
    run_one "$name" &
done
wait

failed=0
for name in "${names[@]}"; do
    work=$bin/$name
    rc=$(cat "$work/fuzz.rc" 2>/dev/null || echo 1)
    runs=$(awk '/^stat::number_of_executed_units:/ {print $2}' "$work/fuzz.log")
    speed=$(awk '/^stat::average_exec_per_sec:/ {print $2}' "$work/fuzz.log")
    cov=$(grep -Eo 'cov: [0-9]+' "$work/fuzz.log" | tail -1)
    if [ "$rc" = 0 ]; then
        echo "fuzz_$name: ok, ${runs:-?} runs, ${speed:-?} runs/s, ${cov:-cov: ?}"
    else
        failed=1
        echo "fuzz_$name: FAILED (exit $rc), log $work/fuzz.log"
        grep -Eo 'Test unit written to .*' "$work/fuzz.log" | sed 's/^/  /'
    fi
done
exit $failed
