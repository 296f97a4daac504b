#!/usr/bin/env bash
# Configures and builds one flavour of the host build.
#   scripts/build.sh [plain|asan|tsan|fuzz|campaign]  (default: plain) -> build/<flavour>
# campaign: the fuzz targets under UBSan alone, for long runs outside CI.
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-plain}
# RAVO_BUILD_NAME gives a build of its own folder, for builds side by side.
dir="build/${RAVO_BUILD_NAME:-$flavour}"
args=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo)
case "$flavour" in
    plain) args+=(-DCMAKE_CXX_COMPILER=g++) ;;
    asan) args+=(-DCMAKE_CXX_COMPILER=g++ -DRAVO_SANITIZE=address -DRAVO_BENCH=OFF) ;;
    tsan) args+=(-DCMAKE_CXX_COMPILER=g++ -DRAVO_SANITIZE=thread -DRAVO_BENCH=OFF) ;;
    fuzz) args+=(-DCMAKE_CXX_COMPILER=clang++ -DRAVO_FUZZ=ON -DRAVO_BENCH=OFF) ;;
    campaign) args+=(-DCMAKE_CXX_COMPILER=clang++ -DRAVO_FUZZ=ON -DRAVO_FUZZ_ASAN=OFF -DRAVO_BENCH=OFF) ;;
    *) echo "unknown flavour: $flavour" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" "${args[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
