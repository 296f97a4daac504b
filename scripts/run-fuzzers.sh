#!/usr/bin/env bash
# Runs every fuzz target of the fuzz build for the given number of seconds each, after the
# inputs of its corpus in fuzz/corpus/<target>.tar.gz. The five targets share the three
# minutes that four had at 45 s each: 36 s each by default.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-36}
status=0
shopt -s nullglob
for source in fuzz/*.cpp; do
    name=$(basename "${source%.cpp}")
    exe=build/fuzz/$name
    corpus=build/fuzz/corpus/$name
    mkdir -p "$corpus"
    # The minimised corpus a campaign left in the tree: every input of it runs first.
    seeds=()
    if [ -f "fuzz/corpus/$name.tar.gz" ]; then
        rm -rf "build/fuzz/seeds/$name" && mkdir -p "build/fuzz/seeds"
        tar xzf "fuzz/corpus/$name.tar.gz" -C build/fuzz/seeds
        seeds=("build/fuzz/seeds/$name")
    fi
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
