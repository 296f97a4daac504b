#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine (run as root).
#   scripts/install-deps.sh          what the host build and its tools need (the main job)
#   scripts/install-deps.sh --all    also the Windows cross-build, the driver package's
#                                    signing and checks, Wine and Chromium (the test suite)
set -euo pipefail

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev clang-format
    googletest libgtest-dev libgmock-dev libbenchmark-dev python3
)
if [ "${1:-}" = "--all" ]; then
    # Wine is about 700 MB: only the test suite's run of ravo.sys needs it. The package
    # (scripts/package-windows.sh): openssl makes the test certificate, osslsigncode signs
    # and verifies, python3-pefile reads the image for Debian's /usr/bin/python3.
    packages+=(g++-mingw-w64-x86-64 wine64 openssl osslsigncode python3-pefile)
    # Headless Chromium loads the remote page that ravo_replay --html writes.
    packages+=(chromium)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
