#!/usr/bin/env bash
# The main job: installs what is needed, builds, and replays an IR capture (LIRC mode2
# text, microseconds) through the driver. With no argument it replays an embedded capture.
#   scripts/run.sh [capture.mode2]
set -euo pipefail
start=$(pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
cd "$here"
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ >/dev/null
tool=ravo_replay
[ -f tools/ravo_replay.cpp ] || tool=rlc_dump
cmake --build build/plain -j "$(nproc)" --target "$tool" >/dev/null
args=()
for a in "$@"; do
    # Paths are taken relative to where the command was started.
    if [[ "$a" != /* ]] && [ -e "$start/$a" ]; then args+=("$start/$a"); else args+=("$a"); fi
done
exec "build/plain/$tool" "${args[@]}"
