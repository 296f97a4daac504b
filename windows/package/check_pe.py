#!/usr/bin/python3
"""Checks a kernel driver image against what 64-bit Windows' loader and code integrity
demand of it, reading it with pefile. Each rule names where Microsoft documents it: the PE
format ("pe-format", learn.microsoft.com/windows/win32/debug/), the driver compatibility
rules of memory integrity ("driver-compatibility-with-device-guard",
learn.microsoft.com/windows-hardware/drivers/driversecurity/) and the kernel-mode code
signing requirements ("kernel-mode-code-signing-requirements--windows-vista-and-later-",
learn.microsoft.com/windows-hardware/drivers/install/).

    check_pe.py SYS --exports LIST --entry VA          the rules
    check_pe.py --self-test SYS --exports LIST --entry VA
                                                       each rule refuses a copy of SYS
                                                       broken for it
--entry: the virtual address of DriverEntry (from the linker's symbols).
"""
import argparse
import os
import sys

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import catalog  # noqa: E402  (the Authenticode hash)
import der  # noqa: E402
from ruleset import RuleSet  # noqa: E402

SCN_EXECUTE, SCN_WRITE = 0x20000000, 0x80000000
DLL_DYNAMIC_BASE, DLL_NX_COMPAT = 0x0040, 0x0100
FILE_RELOCS_STRIPPED = 0x0001
WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0200, 0x0002
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_SHA256 = "2.16.840.1.101.3.4.2.1"
OID_PAGE_HASHES_SHA256 = der.oid("1.3.6.1.4.1.311.2.3.2")
PAGE = 0x1000

RULES = RuleSet()
rule = RULES.rule


def load_exports(path):
    """({dll (lower case): {names}}, {refused name: reason})."""
    exports, refused, section = {}, {}, None
    for raw in open(path):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        if line.startswith("[") and line.endswith("]"):
            section = line[1:-1]
            continue
        name, _, reason = line.partition(" ")
        if section == "refused":
            refused[name] = reason.strip()
        else:
            exports.setdefault(section.lower(), set()).add(name)
    return exports, refused


def executable_sections(pe):
    return [s for s in pe.sections if s.Characteristics & SCN_EXECUTE]


def in_section(section, rva):
    return section.VirtualAddress <= rva < section.VirtualAddress + max(section.Misc_VirtualSize, 1)


# pe-format (Machine Types, Optional Header Magic): an x64 kernel loads only PE32+ images
# for IMAGE_FILE_MACHINE_AMD64.
@rule("pe32plus-amd64")
def pe32plus_amd64(pe, ctx):
    problems = []
    if pe.FILE_HEADER.Machine != 0x8664:
        problems.append("machine 0x%04x is not AMD64 (0x8664)" % pe.FILE_HEADER.Machine)
    if pe.OPTIONAL_HEADER.Magic != 0x20B:
        problems.append("optional header magic 0x%x is not PE32+ (0x20b)" % pe.OPTIONAL_HEADER.Magic)
    return problems


# pe-format (Windows Subsystem): a driver is IMAGE_SUBSYSTEM_NATIVE (what link /DRIVER sets).
@rule("native-subsystem")
def native_subsystem(pe, ctx):
    if pe.OPTIONAL_HEADER.Subsystem != 1:
        return ["subsystem %d is not native (1)" % pe.OPTIONAL_HEADER.Subsystem]
    return []


# pe-format (AddressOfEntryPoint): the I/O manager calls the image's entry point as the
# driver's DriverEntry; it must be DriverEntry itself, in executable code.
@rule("entry-driverentry")
def entry_driverentry(pe, ctx):
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    problems = []
    if pe.OPTIONAL_HEADER.ImageBase + entry != ctx["entry"]:
        problems.append("entry point 0x%x is not DriverEntry (0x%x)" % (pe.OPTIONAL_HEADER.ImageBase + entry, ctx["entry"]))
    if not any(in_section(s, entry) for s in executable_sections(pe)):
        problems.append("entry point RVA 0x%x is not in an executable section" % entry)
    return problems


# The loader resolves every import by name against the export table of the module it
# names and fails the driver when one is missing (Device Manager code 39). Resolved here
# against kernel-exports.txt: only ntoskrnl.exe, HIDCLASS.SYS and USBD.SYS, by name.
@rule("imports-resolve")
def imports_resolve(pe, ctx):
    exports, refused = ctx["exports"]
    problems = []
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode("ascii", "replace")
        names = exports.get(dll.lower())
        if names is None:
            problems.append("imports from %s, which is none of %s" % (dll, ", ".join(sorted(exports))))
            continue
        for imp in entry.imports:
            if imp.name is None:
                problems.append("imports ordinal %d from %s: kernel modules are imported by name" % (imp.ordinal, dll))
                continue
            name = imp.name.decode("ascii", "replace")
            if name in refused:
                problems.append("imports %s from %s, which 64-bit Windows does not export: %s" % (name, dll, refused[name]))
            elif name not in names:
                problems.append("imports %s from %s, which is not in the export list" % (name, dll))
    if not hasattr(pe, "DIRECTORY_ENTRY_IMPORT"):
        problems.append("no import table: a driver imports at least from ntoskrnl.exe")
    return problems


# driver-compatibility-with-device-guard: no section both writable and executable.
@rule("no-wx-section")
def no_wx_section(pe, ctx):
    return ["section %s is both writable and executable" % s.Name.rstrip(b"\0").decode()
            for s in pe.sections if s.Characteristics & SCN_EXECUTE and s.Characteristics & SCN_WRITE]


# driver-compatibility-with-device-guard: sections aligned to pages, so that each page can
# be given its own protection.
@rule("section-alignment")
def section_alignment(pe, ctx):
    align = pe.OPTIONAL_HEADER.SectionAlignment
    problems = []
    if align % PAGE:
        problems.append("section alignment 0x%x is not a multiple of the page (0x1000)" % align)
    problems += ["section %s starts at 0x%x, off a page" % (s.Name.rstrip(b"\0").decode(), s.VirtualAddress)
                 for s in pe.sections if s.VirtualAddress % PAGE]
    return problems


# driver-compatibility-with-device-guard: the import address table is not in an
# executable section (it is written when the image is bound).
@rule("iat-not-executable")
def iat_not_executable(pe, ctx):
    iat = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IAT"]]
    if iat.Size and any(in_section(s, iat.VirtualAddress) for s in executable_sections(pe)):
        return ["the import address table (RVA 0x%x) is in an executable section" % iat.VirtualAddress]
    return []


# pe-format (DLL Characteristics, .reloc section): the kernel loads drivers at addresses
# it chooses, so the image carries base relocations and says it can move (DYNAMIC_BASE);
# NX_COMPAT: its data is never executed.
@rule("relocations-aslr-nx")
def relocations_aslr_nx(pe, ctx):
    problems = []
    reloc = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if not reloc.Size or pe.FILE_HEADER.Characteristics & FILE_RELOCS_STRIPPED:
        problems.append("no base relocations")
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    if not flags & DLL_DYNAMIC_BASE:
        problems.append("DYNAMIC_BASE is not set")
    if not flags & DLL_NX_COMPAT:
        problems.append("NX_COMPAT is not set")
    return problems


# pe-format (CheckSum): "checked for validation at load time: all drivers, ...". The sum
# CheckSumMappedFile computes: 16-bit words with end-around carry, the field itself as 0,
# plus the file's length; over the whole file, certificate table included.
@rule("checksum")
def checksum(pe, ctx):
    stored, computed = pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()
    if stored != computed:
        return ["checksum 0x%08x, the image sums to 0x%08x" % (stored, computed)]
    return []


# A driver that is not an export driver exports nothing: an export table only lets other
# drivers link against its internals.
@rule("no-exports")
def no_exports(pe, ctx):
    export = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]]
    if export.VirtualAddress or export.Size:
        return ["an export table of %d bytes" % export.Size]
    return []


def indirect_data(signed_data):
    """The SpcIndirectDataContent's digest algorithm and digest, from a PKCS #7 SignedData."""
    content_info = der.parse_padded(signed_data)
    signed = content_info.children[1].children[0].children
    content = signed[2].children
    if content[0].oid() != OID_SPC_INDIRECT_DATA:
        raise ValueError("the signed content is %s, not Authenticode indirect data" % content[0].oid())
    digest_info = content[1].children[0].children[1].children
    return digest_info[0].children[0].oid(), digest_info[1].content


# kernel-mode-code-signing-requirements: 64-bit Windows loads a kernel driver only with a
# signature; the embedded one is a WIN_CERTIFICATE (revision 2.0, PKCS #7 SignedData) at
# the 8-byte aligned end of the file (pe-format, The Attribute Certificate Table) whose
# SHA-256 Authenticode hash is this image's, with page hashes.
@rule("signature")
def signature(pe, ctx):
    data = pe.__data__
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    at, size = security.VirtualAddress, security.Size
    if not size:
        return ["no embedded signature"]
    if at % 8 or at + size != len(data) or size < 8:
        return ["the certificate table (%d bytes at %d) is not the aligned end of the file" % (size, at)]
    length = int.from_bytes(data[at:at + 4], "little")
    revision = int.from_bytes(data[at + 4:at + 6], "little")
    kind = int.from_bytes(data[at + 6:at + 8], "little")
    if revision != WIN_CERT_REVISION_2_0 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA or not 8 < length <= size:
        return ["the certificate is revision 0x%x type %d of %d bytes, not a revision 2.0 PKCS #7 SignedData" % (
            revision, kind, length)]
    try:
        algorithm, digest = indirect_data(bytes(data[at + 8:at + length]))
    except (ValueError, IndexError, AttributeError, TypeError) as e:
        return ["the signature is not readable Authenticode (%s)" % e]
    problems = []
    if algorithm != OID_SHA256:
        problems.append("the signature's hash is %s, not SHA-256" % algorithm)
    elif digest != catalog.authenticode_digest(bytes(data), "sha256"):
        problems.append("the signature's hash is not this image's Authenticode hash")
    if OID_PAGE_HASHES_SHA256 not in bytes(data[at + 8:at + length]):
        problems.append("the signature carries no SHA-256 page hashes")
    return problems


def check(data, ctx):
    try:
        pe = pefile.PE(data=data)
    except pefile.PEFormatError as e:
        return {"pe32plus-amd64": ["not a PE image (%s)" % e]}
    return RULES.run(pe, ctx)


# Each rule and the image broken for it. Every breakage but the checksum's is summed again,
# so that it is refused for itself only - and for its signature, which covers every byte
# but the checksum and the certificate table: a checksum one off keeps the signature good.
def _set(field, value):
    def apply(pe):
        obj, attr = field(pe)
        setattr(obj, attr, value(getattr(obj, attr)))
    return apply


def _rename_import(old, new):
    def apply(pe):
        for entry in pe.DIRECTORY_ENTRY_IMPORT:
            for imp in entry.imports:
                if imp.name == old:
                    pe.set_bytes_at_offset(imp.name_offset, new + b"\0")
                    return
        raise ValueError("no import %s" % old)
    return apply


def _rename_dll(old, new):
    def apply(pe):
        for entry in pe.DIRECTORY_ENTRY_IMPORT:
            if entry.dll == old:
                pe.set_bytes_at_offset(pe.get_offset_from_rva(entry.struct.Name), new + b"\0")
                return
        raise ValueError("no import from %s" % old)
    return apply


def _section(name):
    return lambda pe: next(s for s in pe.sections if s.Name.rstrip(b"\0") == name)


def _directory(name):
    return lambda pe: pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[name]]


def _unsign(pe):
    security = _directory("IMAGE_DIRECTORY_ENTRY_SECURITY")(pe)
    security.VirtualAddress = security.Size = 0


def _indirect_digest_algorithm(pe):
    # The OID before the image's digest in the indirect data, SHA-256 made SHA-512 (same
    # length): the last arc 1 becomes 3.
    digest = der.octets(catalog.authenticode_digest(bytes(pe.__data__), "sha256"))
    at = bytes(pe.__data__).find(der.null() + digest)
    if at < 0:
        raise ValueError("the image's digest is not in its signature")
    pe.set_bytes_at_offset(at - 1, b"\x03")


def _page_hashes(pe):
    at = bytes(pe.__data__).find(OID_PAGE_HASHES_SHA256)
    if at < 0:
        raise ValueError("no page hashes in the signature")
    pe.set_bytes_at_offset(at + len(OID_PAGE_HASHES_SHA256) - 1, b"\x01")


BREAKAGES = [
    ("pe32plus-amd64", "an i386 machine", _set(lambda pe: (pe.FILE_HEADER, "Machine"), lambda v: 0x14C)),
    ("native-subsystem", "the Windows GUI subsystem", _set(lambda pe: (pe.OPTIONAL_HEADER, "Subsystem"), lambda v: 2)),
    ("entry-driverentry", "an entry 16 bytes on", _set(lambda pe: (pe.OPTIONAL_HEADER, "AddressOfEntryPoint"), lambda v: v + 16)),
    ("imports-resolve", "KeBugCheckEx imported as KeRaiseIrql", _rename_import(b"KeBugCheckEx", b"KeRaiseIrql")),
    ("imports-resolve", "ZwClose imported as ZwClosf", _rename_import(b"ZwClose", b"ZwClosf")),
    ("imports-resolve", "an import from HAL.DLL", _rename_dll(b"USBD.SYS", b"HAL.DLL")),
    ("no-wx-section", "a writable .text", lambda pe: setattr(_section(b".text")(pe), "Characteristics",
                                                            _section(b".text")(pe).Characteristics | SCN_WRITE)),
    ("section-alignment", "512-byte section alignment", _set(lambda pe: (pe.OPTIONAL_HEADER, "SectionAlignment"), lambda v: 0x200)),
    ("iat-not-executable", "an executable read-only .idata", lambda pe: setattr(
        _section(b".idata")(pe), "Characteristics", _section(b".idata")(pe).Characteristics & ~SCN_WRITE | SCN_EXECUTE)),
    ("relocations-aslr-nx", "no relocation directory", lambda pe: setattr(_directory("IMAGE_DIRECTORY_ENTRY_BASERELOC")(pe), "Size", 0)),
    ("relocations-aslr-nx", "DYNAMIC_BASE cleared", _set(lambda pe: (pe.OPTIONAL_HEADER, "DllCharacteristics"), lambda v: v & ~DLL_DYNAMIC_BASE)),
    ("relocations-aslr-nx", "NX_COMPAT cleared", _set(lambda pe: (pe.OPTIONAL_HEADER, "DllCharacteristics"), lambda v: v & ~DLL_NX_COMPAT)),
    ("checksum", "a checksum one off", None),
    ("no-exports", "an export table", lambda pe: setattr(_directory("IMAGE_DIRECTORY_ENTRY_EXPORT")(pe), "Size", 0x32)
     or setattr(_directory("IMAGE_DIRECTORY_ENTRY_EXPORT")(pe), "VirtualAddress", _section(b".rdata")(pe).VirtualAddress)),
    ("signature", "no signature", _unsign),
    ("signature", "a SHA-512 indirect data", _indirect_digest_algorithm),
    ("signature", "SHA-1 page hashes", _page_hashes),
    ("signature", "a byte of .text changed after signing", lambda pe: pe.set_bytes_at_offset(
        _section(b".text")(pe).PointerToRawData + 0x10, bytes([pe.__data__[_section(b".text")(pe).PointerToRawData + 0x10] ^ 0xFF]))),
]


def breakage(data, apply):
    pe = pefile.PE(data=data)
    if apply is None:
        pe.OPTIONAL_HEADER.CheckSum ^= 1
        return pe.write()
    apply(pe)
    broken = pefile.PE(data=bytes(pe.write()))
    broken.OPTIONAL_HEADER.CheckSum = broken.generate_checksum()
    return broken.write()


def self_test(data, ctx):
    failures = 0
    found = check(data, ctx)
    if found:
        print("self-test: the image itself is refused: %s" % found)
        failures += 1
    covered = set()
    for name, what, apply in BREAKAGES:
        try:
            broken = breakage(data, apply)
        except (ValueError, StopIteration) as e:
            print("self-test: %s: the breakage (%s) does not apply to this image: %s" % (name, what, e))
            failures += 1
            continue
        refused = check(bytes(broken), ctx)
        if name not in refused:
            print("self-test: %s: an image with %s passed the rule" % (name, what))
            failures += 1
        else:
            print("self-test: %s refuses %s: %s" % (name, what, refused[name][0]))
        others = sorted(set(refused) - {name} - ({"signature"} if apply is not None else set()))
        if others:
            print("self-test: %s: %s also broke %s" % (name, what, ", ".join(others)))
            failures += 1
        covered.add(name)
    for name in sorted(RULES.names() - covered):
        print("self-test: rule %s has no breakage" % name)
        failures += 1
    print("check_pe self-test: %d rules, %d breakages, %d failures" % (len(RULES.rules), len(BREAKAGES), failures))
    return 1 if failures else 0


def main(argv):
    parser = argparse.ArgumentParser(description="the PE rules of a 64-bit Windows kernel driver")
    parser.add_argument("--self-test", action="store_true")
    parser.add_argument("--exports", required=True)
    parser.add_argument("--entry", required=True, type=lambda v: int(v, 16))
    parser.add_argument("sys")
    args = parser.parse_args(argv[1:])
    ctx = {"exports": load_exports(args.exports), "entry": args.entry}
    with open(args.sys, "rb") as f:
        data = f.read()
    if args.self_test:
        return self_test(data, ctx)
    found = check(data, ctx)
    for name, problems in found.items():
        for p in problems:
            print("%s: %s: %s" % (args.sys, name, p))
    if not found:
        print("%s: passes the %d PE rules" % (args.sys, len(RULES.rules)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
