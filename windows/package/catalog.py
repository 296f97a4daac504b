#!/usr/bin/python3
"""The driver package's catalog (.cat): what Windows checks the package's files against when
it installs the package and when it loads a file that has no signature of its own.

A catalog is a PKCS #7 SignedData whose content is a certificate trust list (CTL, content
type 1.3.6.1.4.1.311.10.1) of "catalog list" subjects: one member per file, found by a tag
that is the file's hash in upper-case hex (UTF-16LE), carrying the file's name and OS
attributes as name-value pairs, the subject interface package that hashed it, and that hash
as SPC_INDIRECT_DATA: for a PE file its Authenticode hash (the image less its checksum, its
certificate table entry and the certificate table itself), for any other file the hash of
all its bytes. The catalog's own attributes name the hardware ids and the target OS.

This writes a version 1 catalog (member hashes SHA-1, subject algorithm
1.3.6.1.4.1.311.12.1.2), the form Windows' catalog tools write and every Windows from XP
on reads; the signature added to it afterwards (osslsigncode, SHA-256) is what authenticates
it. Member order, attribute order and the list identifier are deterministic.

    catalog.py make INF OUT.cat      the INF and every file its [SourceDisksFiles] names,
                                     from the INF's folder, unsigned
    catalog.py check INF CAT         the (signed) catalog lists exactly these files with
                                     their present hashes, and carries a signer
    catalog.py --self-test INF CAT   check refuses copies of the package broken for it
    catalog.py members INF           the members the package's files make, as
                                     "ravo_install catalog" prints what Windows' catalog
                                     API reads from the catalog
"""
import datetime
import hashlib
import os
import shutil
import sys
import tempfile

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import der  # noqa: E402
import inf as inf_reader  # noqa: E402

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"
OID_CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"
OID_CAT_MEMBERINFO = "1.3.6.1.4.1.311.12.2.2"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_SPC_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"  # what the flat-file subject interface writes
OID_SHA1 = "1.3.14.3.2.26"

# Subject interface packages (wintrust.h CRYPT_SUBJTYPE_*): which one hashed the member.
SIP_PE_IMAGE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SIP_FLAT_IMAGE = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
MEMBER_CERT_VERSION = 0x200

# CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_NAMEASCII
NAMEVALUE_FLAGS = 0x10010001

# Windows 10 and 11 on x64: both report version 10.0 on the NT platform (2).
OS_ATTR = "2:10.0"
OS_NAME = "_v100_X64"
OBSOLETE = "<<<Obsolete>>>"


def is_pe(data):
    return data[:2] == b"MZ"


def authenticode_digest(data, algorithm="sha1"):
    """The Authenticode hash of a PE image: headers less the checksum and the certificate
    table entry, the sections in file order, then what follows them up to the certificate
    table."""
    pe = pefile.PE(data=data, fast_load=True)
    checksum_at = pe.OPTIONAL_HEADER.get_file_offset() + 0x40
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    security_at = security.get_file_offset()
    certificates_at, certificates_size = security.VirtualAddress, security.Size
    headers_end = pe.OPTIONAL_HEADER.SizeOfHeaders
    h = hashlib.new(algorithm)
    h.update(data[:checksum_at])
    h.update(data[checksum_at + 4:security_at])
    h.update(data[security_at + 8:headers_end])
    hashed = headers_end
    for section in sorted(pe.sections, key=lambda s: s.PointerToRawData):
        if section.SizeOfRawData == 0:
            continue
        h.update(data[section.PointerToRawData:section.PointerToRawData + section.SizeOfRawData])
        hashed = max(hashed, section.PointerToRawData + section.SizeOfRawData)
    tail_end = len(data)
    if certificates_size:
        if certificates_at + certificates_size != len(data):
            raise ValueError("the certificate table is not at the end of the image")
        tail_end = certificates_at
    h.update(data[hashed:tail_end])
    return h.digest()


def file_digest(data):
    return authenticode_digest(data) if is_pe(data) else hashlib.sha1(data).digest()


def member_tag(digest):
    return digest.hex().upper().encode("utf-16-le")


def name_value(name, value):
    return der.seq(der.bmp(name), der.integer(NAMEVALUE_FLAGS), der.octets((value + "\0").encode("utf-16-le")))


def attribute(type_oid, value):
    return der.seq(der.oid(type_oid), der.set_of(value))


def indirect_data(data, digest):
    obsolete_link = der.explicit(2, der.implicit_primitive(0, OBSOLETE.encode("utf-16-be")))
    if is_pe(data):
        # SpcPeImageData: no flags, the obsolete file link
        subject = der.seq(der.oid(OID_SPC_PE_IMAGE_DATA), der.seq(der.tlv(der.BIT_STRING, b"\0"), der.explicit(0, obsolete_link)))
    else:
        subject = der.seq(der.oid(OID_SPC_CAB_DATA), obsolete_link)
    return der.seq(subject, der.seq(der.seq(der.oid(OID_SHA1), der.null()), der.octets(digest)))


def member(name, data):
    digest = file_digest(data)
    sip = SIP_PE_IMAGE if is_pe(data) else SIP_FLAT_IMAGE
    attributes = der.set_of(
        attribute(OID_CAT_NAMEVALUE, name_value("File", name)),
        attribute(OID_CAT_NAMEVALUE, name_value("OSAttr", OS_ATTR)),
        attribute(OID_CAT_MEMBERINFO, der.seq(der.bmp(sip), der.integer(MEMBER_CERT_VERSION))),
        attribute(OID_SPC_INDIRECT_DATA, indirect_data(data, digest)),
    )
    return der.seq(der.octets(member_tag(digest)), attributes)


def package_files(inf_path):
    """The INF and the files it copies, as (name, bytes), by name."""
    folder = os.path.dirname(os.path.abspath(inf_path))
    names = [os.path.basename(inf_path)] + inf_reader.Inf.load(inf_path).source_files()
    files = []
    for name in sorted(set(names), key=str.lower):
        with open(os.path.join(folder, name), "rb") as f:
            files.append((name, f.read()))
    return files


def make(inf_path, when=None):
    files = package_files(inf_path)
    when = when or datetime.datetime.now(datetime.timezone.utc)
    members = sorted(member(name.lower(), data) for name, data in files)
    extensions = [name_value("OS", OS_NAME)]
    for n, hwid in enumerate(inf_reader.Inf.load(inf_path).hardware_ids(), 1):
        extensions.append(name_value("HWID%d" % n, hwid.lower()))
    ctl = der.seq(
        der.seq(der.oid(OID_CATALOG_LIST)),
        der.octets(hashlib.sha256(b"".join(members)).digest()[:16]),
        der.utc_time(when),
        der.seq(der.oid(OID_CATALOG_LIST_MEMBER), der.null()),
        der.seq(*members),
        der.explicit(0, der.seq(*(der.seq(der.oid(OID_CAT_NAMEVALUE), der.octets(e)) for e in extensions))),
    )
    # Unsigned, as the catalog tools leave it for the signing tool: no digest algorithm,
    # no certificate, no signer.
    signed_data = der.seq(der.integer(1), der.set_of(), der.seq(der.oid(OID_CTL), der.explicit(0, ctl)), der.set_of())
    return der.seq(der.oid(OID_SIGNED_DATA), der.explicit(0, signed_data))


def read_members(cat_bytes):
    """The catalog's members as {tag: {"File": name, "digest": bytes, ...}} and its signer count."""
    (content_info,) = der.parse(cat_bytes)
    if content_info.children[0].oid() != OID_SIGNED_DATA:
        raise ValueError("not a PKCS #7 SignedData")
    signed = content_info.children[1].children[0].children
    encapsulated = signed[2].children
    if encapsulated[0].oid() != OID_CTL:
        raise ValueError("the signed content is %s, not a certificate trust list" % encapsulated[0].oid())
    # subjectUsage, [listIdentifier], [sequenceNumber], thisUpdate, [nextUpdate],
    # subjectAlgorithm, [trustedSubjects], [0] extensions
    ctl = encapsulated[1].children[0].children
    if ctl[0].children[0].oid() != OID_CATALOG_LIST:
        raise ValueError("the trust list's subject usage is not a catalog list")
    sequences = [c for c in ctl[1:] if c.tag == der.SEQUENCE]
    if sequences[0].children[0].oid() != OID_CATALOG_LIST_MEMBER:
        raise ValueError("members are not version 1 catalog list members")
    entries = sequences[1].children if len(sequences) > 1 else []
    members = {}
    for entry in entries:
        tag = entry.children[0].content
        info = {}
        for attr in entry.children[1].children:
            kind, value = attr.children[0].oid(), attr.children[1].children[0]
            if kind == OID_CAT_NAMEVALUE:
                name = value.children[0].content.decode("utf-16-be")
                info[name] = value.children[2].content.decode("utf-16-le").rstrip("\0")
            elif kind == OID_CAT_MEMBERINFO:
                info["sip"] = value.children[0].content.decode("utf-16-be")
            elif kind == OID_SPC_INDIRECT_DATA:
                info["subject"] = value.children[0].children[0].oid()
                info["algorithm"] = value.children[1].children[0].children[0].oid()
                info["digest"] = value.children[1].children[1].content
        members[tag] = info
    signers = signed[-1].children if signed[-1].tag == der.SET else []
    return members, len(signers)


def check(inf_path, cat_path):
    """Problems found, as sentences; none when the catalog matches the package."""
    with open(cat_path, "rb") as f:
        try:
            members, signers = read_members(f.read())
        except (ValueError, IndexError, StopIteration, AttributeError, TypeError) as e:
            return ["%s: not a readable catalog (%s)" % (cat_path, e)]
    problems = []
    if signers == 0:
        problems.append("%s carries no signature" % cat_path)
    listed = {info.get("File", "?"): (tag, info) for tag, info in members.items()}
    for name, data in package_files(inf_path):
        digest = file_digest(data)
        entry = listed.pop(name.lower(), None)
        if entry is None:
            problems.append("%s is not in the catalog" % name)
            continue
        tag, info = entry
        expected_sip = SIP_PE_IMAGE if is_pe(data) else SIP_FLAT_IMAGE
        if info.get("digest") != digest or tag != member_tag(digest):
            problems.append("%s: the catalog's hash is not the file's (was it changed after the catalog was made?)" % name)
        if info.get("algorithm") != OID_SHA1 or info.get("sip") != expected_sip:
            problems.append("%s: listed with hash %s by %s, expected SHA-1 by %s" % (
                name, info.get("algorithm"), info.get("sip"), expected_sip))
        if info.get("OSAttr") != OS_ATTR:
            problems.append("%s: OSAttr %r, expected %r" % (name, info.get("OSAttr"), OS_ATTR))
    for name in listed:
        problems.append("the catalog lists %s, which the package does not have" % name)
    return problems


def self_test(inf_path, cat_path):
    """Each kind of mismatch, in a copy of the package, and the problem check must find."""
    name = os.path.basename(inf_path)
    source = os.path.dirname(os.path.abspath(inf_path))

    def unsigned(folder):
        with open(os.path.join(folder, os.path.basename(cat_path)), "wb") as f:
            f.write(make(os.path.join(folder, name)))

    def inf_edited(folder):
        with open(os.path.join(folder, name), "a") as f:
            f.write("; edited after the catalog was made\n")

    def file_added(folder):
        with open(os.path.join(folder, name), "a") as f:
            f.write("\n[SourceDisksFiles]\nextra.txt = 1\n")
        with open(os.path.join(folder, "extra.txt"), "w") as f:
            f.write("not in the catalog\n")

    def file_dropped(folder):
        # A catalog made when the package had one more file.
        file_added(folder)
        with open(os.path.join(folder, os.path.basename(cat_path)), "wb") as f:
            f.write(make(os.path.join(folder, name)))
        shutil.copy(inf_path, os.path.join(folder, name))

    cases = [
        (unsigned, "carries no signature"),
        (inf_edited, "%s: the catalog's hash is not the file's" % name),
        (file_added, "extra.txt is not in the catalog"),
        (file_dropped, "the catalog lists extra.txt"),
    ]
    failures = 0
    if check(inf_path, cat_path):
        print("self-test: the package itself is refused")
        failures += 1
    for breakage, expected in cases:
        with tempfile.TemporaryDirectory() as folder:
            for f in os.listdir(source):
                shutil.copy(os.path.join(source, f), folder)
            breakage(folder)
            problems = check(os.path.join(folder, name), os.path.join(folder, os.path.basename(cat_path)))
        if any(expected in p for p in problems):
            print("self-test: %s: refused (%s)" % (breakage.__name__, expected))
        else:
            print("self-test: %s: not refused with %r: %s" % (breakage.__name__, expected, problems))
            failures += 1
    print("catalog self-test: %d breakages, %d failures" % (len(cases), failures))
    return 1 if failures else 0


def expected_members(inf_path):
    lines = []
    for _, data in package_files(inf_path):
        digest = file_digest(data).hex().upper()
        subject = OID_SPC_PE_IMAGE_DATA if is_pe(data) else OID_SPC_CAB_DATA
        sip = SIP_PE_IMAGE if is_pe(data) else SIP_FLAT_IMAGE
        lines.append("member %s %s %s %s %d" % (digest, digest, subject, sip, MEMBER_CERT_VERSION))
    return sorted(lines)


def main(argv):
    if len(argv) == 3 and argv[1] == "members":
        print("\n".join(expected_members(argv[2])))
        return 0
    if len(argv) == 4 and argv[1] == "--self-test":
        return self_test(argv[2], argv[3])
    if len(argv) == 4 and argv[1] == "make":
        with open(argv[3], "wb") as f:
            f.write(make(argv[2]))
        return 0
    if len(argv) == 4 and argv[1] == "check":
        problems = check(argv[2], argv[3])
        for p in problems:
            print("catalog: " + p)
        if not problems:
            print("catalog: %s lists every file of the package with its present hash" % argv[3])
        return 1 if problems else 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
