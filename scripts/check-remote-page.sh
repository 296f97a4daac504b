#!/usr/bin/env bash
# The "will my remote work?" page in a real browser: for each example remote in
# docs/remotes, ravo_replay --remote writes its page, headless Chromium loads it, and the
# check fails on any console message (the page has no script: whatever is logged is a
# fault), on a page whose table does not hold one row per button, or on a missing
# screenshot. Pages, DOM dumps, logs and screenshots stay in build/remote-page.
#   scripts/check-remote-page.sh [path/to/ravo_replay]
set -uo pipefail
cd "$(dirname "$0")/.."
tool=${1:-build/plain/ravo_replay}
out=build/remote-page
mkdir -p "$out"
browser=$(command -v chromium || command -v chromium-browser) ||
    { echo "check-remote-page: no chromium (scripts/install-deps.sh --all installs it)"; exit 1; }
flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run
    --disable-background-networking --disable-component-update --disable-sync
    --enable-logging=stderr --v=0)
failures=0
for remote in docs/remotes/*; do
    name=$(basename "$remote")
    page="$PWD/$out/$name.html"
    if ! "$tool" --remote "$remote" --html "$page" >"$out/$name.txt" 2>&1; then
        echo "FAIL $name: ravo_replay could not make the page"; cat "$out/$name.txt"
        failures=$((failures + 1)); continue
    fi
    buttons=$(sed -nE 's/^.*: ([0-9]+) buttons, each pressed once.*$/\1/p' "$out/$name.txt" | head -1)
    profile=$(mktemp -d)
    timeout 120 "$browser" "${flags[@]}" --user-data-dir="$profile" --dump-dom "file://$page" \
        >"$out/$name.dom" 2>"$out/$name.log"
    rm -rf "$profile"
    profile=$(mktemp -d)
    rm -f "$out/$name.png"
    timeout 120 "$browser" "${flags[@]}" --user-data-dir="$profile" --hide-scrollbars \
        --window-size=1300,1100 --screenshot="$PWD/$out/$name.png" "file://$page" \
        >>"$out/$name.log" 2>&1
    rm -rf "$profile"
    rows=$(python3 - "$out/$name.dom" <<'PY'
import sys
from html.parser import HTMLParser
class Rows(HTMLParser):
    count = 0
    def handle_starttag(self, tag, attrs):
        if tag == "tr" and "button" in (dict(attrs).get("class") or "").split():
            self.count += 1
p = Rows()
p.feed(open(sys.argv[1], encoding="utf-8").read())
print(p.count)
PY
)
    console=$(grep -c ':CONSOLE' "$out/$name.log")
    if [ -z "$buttons" ] || [ "$rows" != "$buttons" ] || [ "$console" != 0 ] || [ ! -s "$out/$name.png" ]; then
        echo "FAIL $name: $rows rows for ${buttons:-?} buttons, $console console message(s), screenshot $( [ -s "$out/$name.png" ] && echo made || echo missing)"
        grep ':CONSOLE' "$out/$name.log" | head -5
        failures=$((failures + 1))
    else
        echo "ok   $name: $rows rows for $buttons buttons, no console message, screenshot $out/$name.png"
    fi
done
[ "$failures" -eq 0 ]
