#!/usr/bin/env bash
# The driver on a Windows kernel: Wine's ntoskrnl, hidclass.sys, usbd.sys and HID parser,
# with the test bus (windows/testbus) standing in for the USB receiver.
#
# Each run takes a fresh prefix copied from a template (made once), installs the driver
# package as scripts/build-windows.sh left it in build/windows/package (the signed ravo.sys,
# ravo.inf and its catalog, which Windows' catalog API must read as the package's files
# make it; Wine checks no signature) and the test bus, plays a capture's receiver packets,
# reads the HID collections with ravo_reader and compares the keys Wine's parser reads with
# the keys the host replay tool reports for the same capture: the same keys in the same
# order. Before the keys, the reader sends every collection each request an application
# can make (features, input and output reports, writes, strings, the physical descriptor)
# with odd buffers: each must come back without a write outside its buffer, and the keys
# must still come after. Run 1 plays one press of every key-map row and then removes the
# receiver; run 2 plays the built-in capture and pulls the receiver out in the middle of its
# traffic while the reader holds it open with reads pending, then plugs it in again: a new
# device stack of the driver still loaded, which a second reader reads the digit keys from.
# Both check the driver's messages, its unload, and that nothing crashed or hung. Ends with
# "wine-e2e: passed" or a failure.
#   scripts/wine-e2e.sh            (needs scripts/build-windows.sh to have run)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/build/windows
work=$root/build/wine
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver
export WINEARCH=win64 WINEDEBUG=warn+debugstr
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$work"

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

package=$out/package
for f in package/ravo.sys package/ravo.inf package/ravo.cat ravobus.sys ravo_reader.exe ravo_install.exe; do
    [ -f "$out/$f" ] || { echo "missing $out/$f: run scripts/build-windows.sh"; exit 1; }
done
[ -x "$wine" ] || { echo "missing $wine: run scripts/install-deps.sh --all"; exit 1; }

# Host side: the packetizer behind the bus's packets, and the replay tool for the keys.
g++ -std=c++17 -O1 -Wall -Wextra -Werror -I. windows/host/WineCapture.cpp irkit/*.cpp \
    -o "$work/wine_capture" || exit 1
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
    >/dev/null || exit 1
cmake --build build/plain -j "$(nproc)" --target ravo_replay >/dev/null || exit 1

if [ ! -f "$work/template/system.reg" ]; then
    echo "making the template prefix"
    rm -rf "$work/template"
    WINEPREFIX="$work/template" timeout 300 "$wine" wineboot -i >"$work/template.log" 2>&1
    WINEPREFIX="$work/template" timeout 60 "$server" -w
    [ -f "$work/template/system.reg" ] || { echo "wineboot failed"; cat "$work/template.log"; exit 1; }
fi

# run NAME CAPTURE ACTION [AGAIN]: ACTION is "remove" (the receiver leaves the bus 1.5 s
# after the capture) or "unplug MS" (it leaves MS ms into the capture, during its traffic);
# with AGAIN, a capture, it is plugged in again after the first capture, AGAIN is played to
# the new receiver, read by a second reader, which it leaves 1.5 s later.
run() {
    local name=$1 capture=$2 action=$3 again=${4:-}
    local prefix=$work/$name
    echo
    echo "=== $name"
    rm -rf "$prefix"
    cp -a "$work/template" "$prefix"
    export WINEPREFIX=$prefix
    local c=$prefix/drive_c/ravo
    mkdir -p "$c/package" "$c/test"
    cp "$package"/* "$c/package/"
    cp "$out"/{ravobus.sys,ravo_reader.exe,ravo_install.exe} windows/inf/ravobus.inf "$c/test/"
    local file=()
    [ -n "$capture" ] && file=("$capture")
    "$work/wine_capture" packets "${file[@]}" >"$c/capture.pkt" || return 1
    if [ "$action" = remove ]; then
        awk '{ print; last = $1 } END { print last + 1500 " unplug" }' "$c/capture.pkt" >"$c/capture.tmp" &&
            mv "$c/capture.tmp" "$c/capture.pkt"
    else
        awk -v at="${action#* }" '!done && $1 + 0 >= at { print at " unplug"; done = 1 } { print }' \
            "$c/capture.pkt" >"$c/capture.tmp" && mv "$c/capture.tmp" "$c/capture.pkt"
    fi
    if [ -n "$again" ]; then
        local end
        end=$(awk '{ last = $1 } END { print last + 100 }' "$c/capture.pkt")
        echo "$end plug" >>"$c/capture.pkt"
        "$work/wine_capture" packets "$again" |
            awk -v at="$end" '{ $1 += at; print; last = $1 } END { print last + 1500 " unplug" }' \
                >>"$c/capture.pkt" || return 1
        build/plain/ravo_replay "$again" >"$prefix/replay-again.out" 2>&1 || fail "$name: replay tool"
        : >"$c/replug.go"
    fi
    build/plain/ravo_replay "${file[@]}" >"$prefix/replay.out" 2>&1 || fail "$name: replay tool"

    local log=$prefix/wine.log
    # The server and the driver host stay up from the installer to the end: they write the
    # drivers' messages into the log of the first command.
    "$server" -p
    timeout 120 "$wine" 'C:\ravo\test\ravo_install.exe' install 'C:\ravo\package' 'C:\ravo\test' \
        >"$prefix/install.out" 2>>"$log" || fail "$name: install ($(cat "$prefix/install.out"))"
    # The catalog as Windows' catalog API reads it: every file of the package, by its hash.
    timeout 60 "$wine" 'C:\ravo\test\ravo_install.exe' catalog 'C:\ravo\package\ravo.cat' 2>>"$log" |
        tr -d '\r' >"$prefix/catalog.out"
    /usr/bin/python3 windows/package/catalog.py members "$package/ravo.inf" >"$prefix/catalog.expected"
    diff "$prefix/catalog.expected" "$prefix/catalog.out" ||
        fail "$name: the catalog API reads other members than the package's files make"
    find "$prefix/drive_c/windows/system32/catroot" -name '*.cat' 2>/dev/null | grep -q . ||
        fail "$name: installing ravo.inf did not install its catalog"
    timeout 60 "$wine" 'C:\ravo\test\ravo_reader.exe' --help 2>>"$log" | grep -q "^usage: ravo_reader" ||
        fail "$name: ravo_reader --help"
    local from=$(($(wc -l <"$log") + 1))
    timeout 180 "$wine" 'C:\ravo\test\ravo_reader.exe' --wait 30 --idle 4 --caps --reports \
        --requests --start 'C:\ravo\capture.pkt' 'C:\ravo\play.pkt' \
        --probe "04 81" --probe "02 01" --probe "02 00 01" --probe "02 00 00 01" \
        >"$prefix/reader.out" 2>>"$log" || fail "$name: reader ($(tail -1 "$prefix/reader.out"))"
    # The removal runs on behind the reader: give it 20 s to reach the bus.
    wait_removed() {
        for _ in $(seq 100); do
            [ "$(grep -c "ravobus: receiver removed" "$log")" -ge "$1" ] && return
            sleep 0.2
        done
    }
    wait_removed 1
    if [ -n "$again" ]; then
        # The receiver plugged in again: the bus waits for the new reader's file.
        timeout 120 "$wine" 'C:\ravo\test\ravo_reader.exe' --wait 60 --idle 4 --reports \
            --start 'C:\ravo\replug.go' 'C:\ravo\replugged' \
            >"$prefix/reader-again.out" 2>>"$log" ||
            fail "$name: reader of the receiver plugged in again ($(tail -1 "$prefix/reader-again.out"))"
        wait_removed 2
    fi
    timeout 60 "$server" -k
    timeout 60 "$server" -w || fail "$name: wine did not shut down"

    grep -E '^(found|collection|caps|probe|requests)' "$prefix/reader.out"
    local collections
    collections=$(grep -c '^collection [0-9]*: page' "$prefix/reader.out")
    [ "$(grep -c '^requests [0-9]*: .* calls answered' "$prefix/reader.out")" = "$collections" ] ||
        fail "$name: not every collection answered every request"
    # The requests Wine's class driver passed on to the driver, by the driver's trace of each.
    echo "requests that reached the driver:"
    tail -n +"$from" "$log" | grep -oE 'HID request [0-9a-f]+ not supported|IOCTL_HID_WRITE_REPORT' |
        sed -E 's/HID request b0192.*/IOCTL_HID_GET_FEATURE/; s/HID request b0191.*/IOCTL_HID_SET_FEATURE/;
            s/HID request b01a2.*/IOCTL_HID_GET_INPUT_REPORT/; s/HID request b0195.*/IOCTL_HID_SET_OUTPUT_REPORT/;
            s/HID request b0013.*/IOCTL_HID_GET_STRING/; s/HID request b01e2.*/IOCTL_HID_GET_INDEXED_STRING/;
            s/HID request b019a.*/IOCTL_GET_PHYSICAL_DESCRIPTOR/' | sort | uniq -c
    local compare=()
    [ "$action" != remove ] && compare=(--prefix)
    python3 windows/compare_keys.py "$prefix/replay.out" "$prefix/reader.out" "${compare[@]}" ||
        fail "$name: keys differ"
    if [ -n "$again" ]; then
        # One driver image, two device stacks: the new receiver's keys come whole.
        python3 windows/compare_keys.py "$prefix/replay-again.out" "$prefix/reader-again.out" ||
            fail "$name: the keys of the receiver plugged in again differ"
        [ "$(grep -c "Device::static_add OS build" "$log")" -eq 2 ] &&
            [ "$(grep -c "DriverEntry Exit" "$log")" -eq 1 ] ||
            fail "$name: not one driver image with a second device stack"
        grep -q "read ended" "$prefix/reader-again.out" ||
            fail "$name: the second reader did not see the removal"
    fi
    # What the driver says on the way in and out, and that it went.
    # Wine 8.0 unloads no driver that Plug and Play loaded (stopping its service fails), so
    # the last word is the minidriver's teardown and the bus device's removal below it.
    for message in "DriverEntry" "Select Configuration successful" "IRP_MN_SURPRISE_REMOVAL" \
        "IRP_MN_REMOVE_DEVICE" "Device::unInit" "ravobus: receiver removed"; do
        grep -q "$message" "$log" || fail "$name: no \"$message\" in the driver's messages"
    done
    grep -q "read ended" "$prefix/reader.out" || fail "$name: the reader did not see the removal"
    grep -E "IRP_MN_(SURPRISE|REMOVE)|Device::unInit|ravobus: (played|receiver)" "$log" |
        sed 's/^.*vDbgPrintExWithPrefix [0-9a-f:]* //' | sort | uniq -c
    if grep -E "Unhandled exception|page fault|wine: Unimplemented|err:ntoskrnl|DRIVER VERIFIER" "$log"; then
        fail "$name: a crash or an unimplemented call (see $log)"
    fi
    # Keep the logs and outputs, not the 700 MB of Windows behind them.
    rm -rf "$prefix/drive_c" "$prefix/dosdevices" "$prefix"/*.reg
}

commands=$(sed -nE 's/^ *\{(0x[0-9A-Fa-f]+), 0x[0-9A-Fa-f]+\},.*/\1/p' decode/KeyMap.cpp | tr '\n' ' ')
"$work/wine_capture" nec 0x04 $commands >"$work/keymap.mode2"
run removal "$work/keymap.mode2" remove
"$work/wine_capture" nec 0x04 0x54 0x16 0x15 0x14 0x50 >"$work/digits.mode2"
run surprise "" "unplug 2000" "$work/digits.mode2"

echo
if [ "$failures" -eq 0 ]; then echo "wine-e2e: passed"; else echo "wine-e2e: $failures failure(s)"; fi
[ "$failures" -eq 0 ]
