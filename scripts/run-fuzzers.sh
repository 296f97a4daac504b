#!/usr/bin/env bash
# Runs every fuzz target of the fuzz build for the given number of seconds each.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-45}
status=0
shopt -s nullglob
for source in fuzz/*.cpp; do
    name=$(basename "${source%.cpp}")
    exe=build/fuzz/$name
    corpus=build/fuzz/corpus/$name
    mkdir -p "$corpus"
    seeds=()
    [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
    echo "--- $name, ${seconds}s"
    log=build/fuzz/$name.log
    if ASAN_OPTIONS=detect_leaks=1 "$exe" -max_total_time="$seconds" -print_final_stats=1 \
        "$corpus" "${seeds[@]}" >"$log" 2>&1; then
        grep -E 'stat::number_of_executed_units|stat::average_exec_per_sec' "$log" || true
    else
        echo "fuzz target $name failed:"; tail -40 "$log"; status=1
    fi
done
exit $status
