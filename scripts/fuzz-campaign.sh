#!/usr/bin/env bash
# A long fuzz campaign outside CI: every target of the campaign build (UBSan, no ASan, for
# speed) for its share of time, one after the other on one core, then its corpus minimised
# into fuzz/corpus/<target>.tar.gz, which CI replays under ASan on every run.
#
#   scripts/fuzz-campaign.sh [target=seconds ...]
#     default: rlc_parse_fuzzer=2400 decode_path_fuzzer=1500 usb_descriptor_fuzzer=600
#              stack_fuzzer=600 hid_request_fuzzer=600
#
# Prints, per target, executions, coverage (edges and features) and the crashes found;
# exits non-zero when any target crashed (its reproducer is in build/campaign/<target>/).
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -gt 0 ] || set -- rlc_parse_fuzzer=2400 decode_path_fuzzer=1500 \
    usb_descriptor_fuzzer=600 stack_fuzzer=600 hid_request_fuzzer=600
scripts/build.sh campaign >/dev/null
status=0
total=0
printf '%-22s %12s %8s %8s %8s %8s\n' target executions exec/s edges features crashes
for spec in "$@"; do
    name=${spec%%=*} seconds=${spec#*=}
    exe=build/campaign/$name
    work=build/campaign/$name.d
    mkdir -p "$work/corpus" "$work/seeds" fuzz/corpus
    seeds=()
    if [ -f "fuzz/corpus/$name.tar.gz" ]; then
        tar xzf "fuzz/corpus/$name.tar.gz" -C "$work/seeds"
        seeds+=("$work/seeds/$name")
    fi
    [ -d "build/fuzz/corpus/$name" ] && seeds+=("build/fuzz/corpus/$name")
    log=$work/run.log
    crashes=0
    "$exe" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/" \
        "$work/corpus" "${seeds[@]}" >"$log" 2>&1 || crashes=1
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    edges=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
    features=$(grep -oE 'ft: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
    printf '%-22s %12s %8s %8s %8s %8s\n' "$name" "${executions:-?}" "${rate:-?}" \
        "${edges:-?}" "${features:-?}" "$crashes"
    total=$((total + ${executions:-0}))
    if [ "$crashes" -ne 0 ]; then
        status=1
        tail -30 "$log"
        continue
    fi
    # The smallest set of inputs that keeps every feature the campaign reached.
    rm -rf "$work/minimal" && mkdir -p "$work/minimal/$name"
    "$exe" -merge=1 "$work/minimal/$name" "$work/corpus" "${seeds[@]}" >"$work/merge.log" 2>&1
    tar czf "fuzz/corpus/$name.tar.gz" --sort=name --owner=0 --group=0 --mtime=@0 \
        -C "$work/minimal" "$name"
done
echo "total executions: $total"
exit $status
