#!/usr/bin/env bash
# Cross-compiles every driver source for x64 Windows against the toolchain's DDK headers.
# Once DriverEntry exists the objects are linked into ravo.sys, importing only
# ntoskrnl.exe, HIDCLASS.SYS and USBD.SYS.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${RAVO_WINDOWS_OUT:-build/windows}
mkdir -p "$out"
cxx=x86_64-w64-mingw32-g++
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
    imports=$(x86_64-w64-mingw32-objdump -p "$out/ravo.sys" | awk '/DLL Name:/ {print $3}' | sort -u | tr '\n' ' ')
    echo "ravo.sys imports: $imports"
    for dll in $imports; do
        case "$dll" in
            ntoskrnl.exe|HIDCLASS.SYS|USBD.SYS) ;;
            *) echo "ravo.sys must not import $dll" >&2; exit 1 ;;
        esac
    done
fi
