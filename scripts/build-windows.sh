#!/usr/bin/env bash
# Cross-compiles every driver source for x64 Windows against the toolchain's DDK headers
# and links ravo.sys: a PE32+ image for the native subsystem, entered at DriverEntry,
# importing only ntoskrnl.exe, HIDCLASS.SYS and USBD.SYS. Then makes and checks the signed
# driver package (scripts/package-windows.sh: build/windows/package/), and builds the
# pieces of the Windows test run: the test bus driver ravobus.sys and the user-mode reader
# and installer.
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
# A driver is linked as an image, not as a DLL: ld exports every global symbol of a DLL
# that declares no export of its own, and a driver has nothing to export. Relocations,
# DYNAMIC_BASE and NX_COMPAT: the kernel places the image where it likes and never runs
# its data. No auto-import: a data import would need the runtime relocator a user-mode
# program has and a driver does not.
link_driver() {
    local image=$1
    shift
    $cxx -nostdlib -Wl,--subsystem,native -Wl,--image-base,0x140000000 -Wl,--entry,DriverEntry \
        -Wl,--dynamicbase,--nxcompat,--high-entropy-va,--disable-auto-import -o "$image" "$@"
}
link_driver "$out/ravo.sys" "${objects[@]}" -lntoskrnl -lhidclass -lusbd -lgcc
echo "linked ravo.sys, $(stat -c %s "$out/ravo.sys") bytes"
scripts/package-windows.sh

# The Windows test run: a test-only bus driver, the reader and the installer.
$cxx "${flags[@]}" -c windows/testbus/TestBus.cpp -o "$out/TestBus.o"
link_driver "$out/ravobus.sys" "$out/TestBus.o" -lntoskrnl -lgcc
user=(-std=c++17 -O2 -Wall -Wextra -Werror -static)
$cxx "${user[@]}" -o "$out/ravo_reader.exe" windows/reader/Reader.cpp windows/reader/Requests.cpp \
    -lhid -lsetupapi
$cxx "${user[@]}" -municode -o "$out/ravo_install.exe" windows/reader/Install.cpp -lnewdev -lsetupapi -lwintrust
echo "built ravobus.sys, ravo_reader.exe and ravo_install.exe"
