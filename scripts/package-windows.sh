#!/usr/bin/env bash
# Makes the driver package a person installs on a Windows PC, build/windows/package/:
#   ravo.inf       windows/inf/ravo.inf
#   ravo.sys       signed (SHA-256 Authenticode with page hashes)
#   ravo.cat       the catalog of ravo.inf and ravo.sys, signed
#   ravo-test.cer  the test certificate that signed both (to import on the PC)
# and checks it: the INF rules (check_inf.py), the PE rules (check_pe.py), the catalog's
# members against the files (catalog.py), both signatures and the catalog membership of
# ravo.sys with osslsigncode; then that each of these checks refuses a broken input.
#
# The test certificate and its private key are made here with openssl on the first run and
# kept in build/windows/signing/ (never in the tree): a rebuild signs with the same one, so
# a PC that trusts it goes on trusting the rebuilt package. Delete the folder for a new one.
#   scripts/package-windows.sh      (run by scripts/build-windows.sh after the link)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${RAVO_WINDOWS_OUT:-build/windows}
pkg=$out/package
keys=$out/signing
checks=windows/package
# Debian's interpreter: python3-pefile is installed for it, not for another python3 on PATH.
py=/usr/bin/python3
export PYTHONDONTWRITEBYTECODE=1
for tool in osslsigncode openssl x86_64-w64-mingw32-nm; do
    command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/install-deps.sh --all" >&2; exit 1; }
done
"$py" -c 'import pefile' 2>/dev/null || { echo "missing python3-pefile: run scripts/install-deps.sh --all" >&2; exit 1; }
[ -f "$out/ravo.sys" ] || { echo "missing $out/ravo.sys: run scripts/build-windows.sh" >&2; exit 1; }

# The test certificate: self-signed, for code signing only, valid two years; a new one when
# the kept one has less than 30 days left.
mkdir -p "$keys"
if ! [ -f "$keys/ravo-test.key" ] || ! openssl x509 -in "$keys/ravo-test.pem" -noout -checkend 2592000 >/dev/null 2>&1; then
    echo "making a test signing certificate in $keys"
    (umask 077 && openssl req -x509 -newkey rsa:3072 -sha256 -days 730 -nodes \
        -keyout "$keys/ravo-test.key" -out "$keys/ravo-test.pem" \
        -subj "/CN=ravo driver test signing $(date -u +%Y-%m-%d)/O=ravo (test only)" \
        -addext "basicConstraints=critical,CA:FALSE" -addext "keyUsage=critical,digitalSignature" \
        -addext "extendedKeyUsage=codeSigning" 2>/dev/null)
fi
sign=(osslsigncode sign -certs "$keys/ravo-test.pem" -key "$keys/ravo-test.key" -h sha256)
verify=(osslsigncode verify -CAfile "$keys/ravo-test.pem")

rm -rf "$pkg"
mkdir -p "$pkg"
cp windows/inf/ravo.inf "$pkg/"
openssl x509 -in "$keys/ravo-test.pem" -outform DER -out "$pkg/ravo-test.cer"
# The linker sums the image; the signature is appended after that and changes the sum, so
# osslsigncode sums it again, as signtool does (the sum is left out of the Authenticode
# hash, so summing after signing keeps the signature good). check_pe.py checks the sum of
# the file as shipped.
"${sign[@]}" -ph -n "ravo IR receiver driver" -in "$out/ravo.sys" -out "$pkg/ravo.sys" >/dev/null
# The catalog covers the INF and the signed ravo.sys, as they are in the package.
"$py" "$checks/catalog.py" make "$pkg/ravo.inf" "$out/ravo-unsigned.cat"
"${sign[@]}" -n "ravo IR receiver driver package" -in "$out/ravo-unsigned.cat" -out "$pkg/ravo.cat" >/dev/null

failures=0
run() {
    local what=$1 log
    shift
    log=$(mktemp)
    if "$@" >"$log" 2>&1; then
        echo "$what: $(tail -1 "$log")"
    else
        cat "$log"
        echo "FAILED: $*"
        failures=$((failures + 1))
    fi
    rm -f "$log"
}
refuse() {
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then
        echo "FAILED: $what was accepted: $*"
        failures=$((failures + 1))
    else
        echo "refused as it must be: $what"
    fi
}

entry=0x$(x86_64-w64-mingw32-nm "$pkg/ravo.sys" | awk '$3 == "DriverEntry" {print $1}')
pe=("$py" "$checks/check_pe.py" --exports "$checks/kernel-exports.txt" --entry "$entry")
run "INF rules" "$py" "$checks/check_inf.py" "$pkg/ravo.inf" --package
run "PE rules" "${pe[@]}" "$pkg/ravo.sys"
run "catalog members" "$py" "$checks/catalog.py" check "$pkg/ravo.inf" "$pkg/ravo.cat"
run "osslsigncode: ravo.sys signature" "${verify[@]}" -in "$pkg/ravo.sys"
run "osslsigncode: ravo.cat signature" "${verify[@]}" -in "$pkg/ravo.cat"
run "osslsigncode: ravo.sys in ravo.cat" "${verify[@]}" -catalog "$pkg/ravo.cat" -in "$pkg/ravo.sys"

# Each check refuses what it is there to refuse.
run "INF rules, self-test" "$py" "$checks/check_inf.py" --self-test "$pkg/ravo.inf"
run "PE rules, self-test" "${pe[@]}" --self-test "$pkg/ravo.sys"
run "catalog members, self-test" "$py" "$checks/catalog.py" --self-test "$pkg/ravo.inf" "$pkg/ravo.cat"
broken=$(mktemp -d)
cp "$pkg/ravo.sys" "$broken/ravo.sys"
printf '\x90' | dd of="$broken/ravo.sys" bs=1 seek=$((0x1000 + 0x10)) conv=notrunc status=none
refuse "a signed ravo.sys with a byte of code changed" "${verify[@]}" -in "$broken/ravo.sys"
refuse "a changed ravo.sys against the catalog" "${verify[@]}" -catalog "$pkg/ravo.cat" -in "$broken/ravo.sys"
refuse "the signature against the system's certificate authorities only" osslsigncode verify -in "$pkg/ravo.sys"
rm -rf "$broken"

if [ "$failures" -ne 0 ]; then
    echo "package: $failures check(s) failed" >&2
    exit 1
fi
echo "package: $(cd "$pkg" && ls | tr '\n' ' ')in $pkg"
