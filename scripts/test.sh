#!/usr/bin/env bash
# The whole test suite: unit and end-to-end tests, the same under ASan+UBSan and again
# under TSan, a short soak (the lifecycle, the certification scenarios, low resources), the
# fault sweep with the hostile receivers, a short run of every fuzz target (replaying the
# corpora in fuzz/corpus first), the remote page in
# headless Chromium, the Windows cross-build with its signed and checked driver package, its
# run under Wine, and the formatting check. Ends with one line "tests: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --all || exit 1

passed=0
failed=0
fail_step() { echo "FAILED: $1"; failed=$((failed + 1)); }

# Runs ctest and adds its counts to the totals.
run_ctest() {
    local dir=$1; shift
    local log
    log=$(mktemp)
    ctest --test-dir "$dir" -j "$(nproc)" --output-on-failure --timeout 600 "$@" 2>&1 | tee "$log" | grep -vE '^ *(Start|[0-9]+/[0-9]+ Test)'
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
    if [ -z "$line" ]; then
        fail_step "ctest in $dir ran no test"
    else
        local total bad
        total=$(echo "$line" | sed -E 's/.* out of ([0-9]+).*/\1/')
        bad=$(echo "$line" | sed -E 's/.*tests passed, ([0-9]+) tests failed.*/\1/')
        passed=$((passed + total - bad))
        failed=$((failed + bad))
    fi
    rm -f "$log"
}

step() { echo; echo "=== $*"; }

step "host build"
if scripts/build.sh plain; then run_ctest build/plain; else fail_step "host build"; fi

step "ASan+UBSan build"
if scripts/build.sh asan; then
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build/asan
else fail_step "ASan build"; fi

step "TSan build"
if scripts/build.sh tsan; then
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest build/tsan
else fail_step "TSan build"; fi

step "soak (short): the lifecycle, the certification scenarios and low resources, plain and under TSan"
if build/plain/ravo_soak "${RAVO_SOAK_CYCLES:-300}" &&
    build/plain/ravo_soak "${RAVO_SOAK_CYCLES:-300}" --scenario all &&
    build/plain/ravo_soak 40 --low-resources 50 --seed "${RAVO_SOAK_SEED:-1}" &&
    TSAN_OPTIONS="halt_on_error=1" build/tsan/ravo_soak "${RAVO_SOAK_TSAN_CYCLES:-20}" &&
    TSAN_OPTIONS="halt_on_error=1" build/tsan/ravo_soak "${RAVO_SOAK_TSAN_CYCLES:-20}" --scenario all; then
    passed=$((passed + 1))
else fail_step "soak"; fi

step "fault sweep and hostile receivers: plain, under ASan+UBSan and under TSan"
jobs=$(($(nproc) * 2))
if build/plain/ravo_faults --jobs "$jobs" &&
    ASAN_OPTIONS=detect_leaks=1 build/asan/ravo_faults --jobs "$jobs" &&
    TSAN_OPTIONS="halt_on_error=1" build/tsan/ravo_faults --jobs "$jobs"; then
    passed=$((passed + 1))
else fail_step "fault sweep"; fi

step "fuzz targets"
if scripts/build.sh fuzz; then
    if scripts/run-fuzzers.sh "${RAVO_FUZZ_SECONDS:-36}"; then passed=$((passed + 1)); else fail_step "fuzzing"; fi
else fail_step "fuzz build"; fi

step "the remote page in headless Chromium: no console message, one row per button, a screenshot"
if scripts/check-remote-page.sh build/plain/ravo_replay; then passed=$((passed + 1)); else fail_step "remote page"; fi

step "Windows cross-build and driver package: PE, INF and catalog rules, both signatures"
if scripts/build-windows.sh; then passed=$((passed + 1)); else fail_step "Windows build and package"; fi

step "Windows run under Wine: keys against the replay tool, removal during traffic"
if scripts/wine-e2e.sh; then passed=$((passed + 1)); else fail_step "Wine end-to-end"; fi

step "formatting"
if scripts/check-format.sh; then passed=$((passed + 1)); else fail_step "formatting"; fi

echo
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
