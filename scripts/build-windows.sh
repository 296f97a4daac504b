#!/usr/bin/env bash
# Cross-compiles every driver source for x64 Windows against the toolchain's DDK headers
# and links ravo.sys: a PE32+ image for the native subsystem, entered at DriverEntry,
# importing only ntoskrnl.exe, HIDCLASS.SYS and USBD.SYS. Then the pieces of the Windows
# test run: the test bus driver ravobus.sys and the user-mode reader and installer.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${RAVO_WINDOWS_OUT:-build/windows}
mkdir -p "$out"
cxx=x86_64-w64-mingw32-g++
command -v "$cxx" >/dev/null || { echo "missing $cxx: run scripts/install-deps.sh --all" >&2; exit 1; }
flags=(-std=c++17 -O2 -Wall -Wextra -Werror -DDBG=1 -D_WIN32_WINNT=0x0601
       -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
       -fno-exceptions -fno-rtti -fno-sized-deallocation -fno-threadsafe-statics -fcheck-new
       -fno-asynchronous-unwind-tables -mno-red-zone -fno-stack-protector
       -I/usr/x86_64-w64-mingw32/include/ddk -I.)
sources=$(ls platform/*.cpp frame/*.cpp hid/*.cpp usb/*.cpp transfer/*.cpp decode/*.cpp 2>/dev/null || true)
objects=()
for src in $sources; do
    obj="$out/$(echo "${src%.cpp}" | tr / _).o"
    objects+=("$obj")
    echo "$src"
done | xargs -P "$(nproc)" -I{} sh -c 'src={}; obj='"$out"'/$(echo "${src%.cpp}" | tr / _).o; '"$cxx ${flags[*]}"' -c "$src" -o "$obj"'
for src in $sources; do objects+=("$out/$(echo "${src%.cpp}" | tr / _).o"); done
echo "compiled ${#objects[@]} driver sources for Windows x64"
if grep -qs "DriverEntry" frame/*.cpp; then
    $cxx -shared -nostdlib -Wl,--subsystem,native -Wl,--image-base,0x140000000 \
        -Wl,--entry,DriverEntry -o "$out/ravo.sys" "${objects[@]}" \
        -lntoskrnl -lhidclass -lusbd -lgcc
    headers=$(x86_64-w64-mingw32-objdump -p "$out/ravo.sys")
    entry=$(x86_64-w64-mingw32-nm "$out/ravo.sys" | awk '$3 == "DriverEntry" {print $1}')
    check() { if ! echo "$headers" | grep -qE "$1"; then echo "ravo.sys: $2" >&2; exit 1; fi; }
    check '^Magic[[:space:]]+020b' "not PE32+"
    check '^Subsystem[[:space:]]+00000001' "not for the native subsystem"
    check "^AddressOfEntryPoint[[:space:]]+0*$(printf '%x' $((0x$entry - 0x140000000)))\$" \
        "not entered at DriverEntry"
    imports=$(echo "$headers" | awk '/DLL Name:/ {print $3}' | sort -u | tr '\n' ' ')
    echo "ravo.sys imports: $imports"
    for dll in $imports; do
        case "$dll" in
            ntoskrnl.exe|HIDCLASS.SYS|USBD.SYS) ;;
            *) echo "ravo.sys must not import $dll" >&2; exit 1 ;;
        esac
    done
    echo "ravo.sys: PE32+, native subsystem, entry DriverEntry, $(stat -c %s "$out/ravo.sys") bytes"
fi

# The Windows test run: a test-only bus driver, the reader and the installer.
$cxx "${flags[@]}" -c windows/testbus/TestBus.cpp -o "$out/TestBus.o"
$cxx -shared -nostdlib -Wl,--subsystem,native -Wl,--image-base,0x140000000 \
    -Wl,--entry,DriverEntry -o "$out/ravobus.sys" "$out/TestBus.o" -lntoskrnl -lgcc
user=(-std=c++17 -O2 -Wall -Wextra -Werror -static)
$cxx "${user[@]}" -o "$out/ravo_reader.exe" windows/reader/Reader.cpp -lhid -lsetupapi
$cxx "${user[@]}" -municode -o "$out/ravo_install.exe" windows/reader/Install.cpp -lnewdev -lsetupapi
echo "built ravobus.sys, ravo_reader.exe and ravo_install.exe"
