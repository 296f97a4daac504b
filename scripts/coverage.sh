#!/usr/bin/env bash
# Line coverage of the driver folders by the whole test suite, run on demand (not by
# test.sh). Builds the host build with gcc's --coverage in build/coverage, runs every test,
# and merges what gcov reports for the driver image's own objects: a line counts as covered
# when any run executed it. Prints one line per folder and the total; the lines no test
# reached go to build/coverage/uncovered.txt.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=$root/build/coverage
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
    -DRAVO_BENCH=OFF -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage \
    -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null || exit 1
cmake --build "$dir" -j "$(nproc)" >/dev/null || { echo "coverage build failed"; exit 1; }
find "$dir" -name '*.gcda' -delete
ctest --test-dir "$dir" -j "$(nproc)" --timeout 600 >"$dir/ctest.log" 2>&1
grep -E 'tests passed' "$dir/ctest.log"

python3 - "$root" "$dir" <<'PY'
import gzip, json, os, subprocess, sys, tempfile
root, build = sys.argv[1:3]
folders = ["frame", "hid", "usb", "transfer", "decode", "platform"]
objdir = os.path.join(build, "CMakeFiles", "ravo.dir")
lines = {}  # file -> {line: executed}
with tempfile.TemporaryDirectory() as tmp:
    for base, _, files in os.walk(objdir):
        for f in files:
            if not f.endswith(".gcda"):
                continue
            subprocess.run(["gcov", "-j", "-o", base, os.path.join(base, f)], cwd=tmp,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for f in os.listdir(tmp):
        if not f.endswith(".gcov.json.gz"):
            continue
        data = json.load(gzip.open(os.path.join(tmp, f)))
        for entry in data["files"]:
            path = os.path.relpath(os.path.realpath(os.path.join(root, entry["file"])), root)
            if path.split(os.sep)[0] not in folders:
                continue
            seen = lines.setdefault(path, {})
            for l in entry["lines"]:
                seen[l["line_number"]] = seen.get(l["line_number"], False) or l["count"] > 0
with open(os.path.join(build, "uncovered.txt"), "w") as out:
    for path in sorted(lines):
        for number in sorted(n for n, hit in lines[path].items() if not hit):
            out.write(f"{path}:{number}\n")
total = covered = 0
for folder in folders:
    t = sum(len(v) for k, v in lines.items() if k.startswith(folder + os.sep))
    c = sum(sum(v.values()) for k, v in lines.items() if k.startswith(folder + os.sep))
    total += t
    covered += c
    if t:
        print(f"{folder:9} {c:5} of {t:5} lines  {100.0 * c / t:5.1f}%")
print(f"{'total':9} {covered:5} of {total:5} lines  {100.0 * covered / total:5.1f}%")
PY
