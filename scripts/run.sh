#!/usr/bin/env bash
# The main job: installs what is needed, builds, and replays IR captures (LIRC mode2 text,
# microseconds; '-' is standard input) through the driver. With no capture it replays an
# embedded one. Options as ravo_replay --help lists them (--protocol, --gap, --svg ...).
#   scripts/run.sh [options] [capture.mode2 ...]
set -euo pipefail
start=$(pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
# Standard input belongs to the replay: the steps before it must not read it.
"$here/scripts/install-deps.sh" </dev/null
cd "$here"
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ >/dev/null </dev/null
tool=ravo_replay
[ -f tools/ravo_replay.cpp ] || tool=rlc_dump
cmake --build build/plain -j "$(nproc)" --target "$tool" >/dev/null </dev/null
args=()
next_is=""
for a in "$@"; do
    # Paths are taken relative to where the command was started: the captures that exist
    # there, and the file --svg writes; the values of --protocol and --gap stay as they are.
    if [ "$next_is" = value ] || [[ "$a" == /* ]] || [ "$a" = - ]; then
        args+=("$a")
    elif [ "$next_is" = output ] || [ -e "$start/$a" ]; then
        args+=("$start/$a")
    else
        args+=("$a")
    fi
    case "$a" in
        --svg) next_is=output ;;
        --protocol | --gap) next_is=value ;;
        *) next_is="" ;;
    esac
done
exec "build/plain/$tool" "${args[@]}"
