#!/usr/bin/python3
"""Checks a driver package's INF against the rules Windows applies to a PnP driver package
(InfVerif's and the setup API's), each rule with the Microsoft documentation page that
states it (learn.microsoft.com/windows-hardware/drivers/install/<page>).

    check_inf.py INF [--package]   the rules; --package: also that the files it names
                                   (and its catalog) lie beside it
    check_inf.py --self-test INF   each rule refuses a copy of INF broken for it
"""
import datetime
import os
import re
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from inf import Inf  # noqa: E402
from ruleset import RuleSet  # noqa: E402

RULES = RuleSet()
rule = RULES.rule


# System-defined device setup classes ("system-defined-device-setup-classes-available-to-vendors").
CLASS_GUIDS = {
    "hidclass": "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}",
    "keyboard": "{4d36e96b-e325-11ce-bfc1-08002be10318}",
    "mouse": "{4d36e96f-e325-11ce-bfc1-08002be10318}",
    "media": "{4d36e96c-e325-11ce-bfc1-08002be10318}",
    "system": "{4d36e97d-e325-11ce-bfc1-08002be10318}",
    "usb": "{36fc9e60-c465-11cf-8056-444553540000}",
}


def one(values):
    return values[0] if values else None


# "inf-version-section": Signature is "$Windows NT$" (or "$Chicago$"), any case.
@rule("version-signature")
def version_signature(inf, folder):
    value = one(inf.value("Version", "Signature"))
    if value is None or value.lower() not in ("$windows nt$", "$chicago$"):
        return ['[Version] Signature is %r, not "$WINDOWS NT$"' % value]
    return []


# "inf-version-section": Class and ClassGuid name the same setup class; the GUID of a
# system-defined class is the one Windows defines for it, or the device lands in the wrong
# class (and with the wrong class filters).
@rule("version-class")
def version_class(inf, folder):
    name, guid = one(inf.value("Version", "Class")), one(inf.value("Version", "ClassGuid"))
    if not name or not guid:
        return ["[Version] needs both Class and ClassGuid"]
    expected = CLASS_GUIDS.get(name.lower())
    if expected is None:
        return ["[Version] Class %s is not a system-defined class this check knows" % name]
    if guid.lower() != expected:
        return ["[Version] ClassGuid %s is not the %s class's %s" % (guid, name, expected)]
    return []


# "inf-version-section": Provider names who made the package (InfVerif requires it).
@rule("version-provider")
def version_provider(inf, folder):
    if not one(inf.value("Version", "Provider")):
        return ["[Version] has no Provider"]
    return []


# "inf-version-section" (CatalogFile): a signed package names its catalog; pnputil refuses
# a package whose INF names none. A bare file name, no path.
@rule("version-catalog")
def version_catalog(inf, folder):
    value = one(inf.value("Version", "CatalogFile")) or one(inf.value("Version", "CatalogFile.NTamd64"))
    if not value:
        return ["[Version] has no CatalogFile"]
    if not re.fullmatch(r"[^\\/:]+\.cat", value, re.IGNORECASE):
        return ["[Version] CatalogFile %r is not a bare .cat file name" % value]
    if folder is not None and not os.path.isfile(os.path.join(folder, value)):
        return ["the catalog %s is not beside the INF" % value]
    return []


# "inf-driverver-directive": DriverVer = mm/dd/yyyy,w.x.y.z, a real date, each version part
# at most 65535.
@rule("version-driverver")
def version_driverver(inf, folder):
    values = inf.value("Version", "DriverVer") or []
    match = re.fullmatch(r"(\d{1,2})/(\d{1,2})/(\d{4})", values[0]) if values else None
    if not match or len(values) != 2:
        return ["[Version] DriverVer %r is not mm/dd/yyyy,w.x.y.z" % ",".join(values)]
    try:
        datetime.date(int(match.group(3)), int(match.group(1)), int(match.group(2)))
    except ValueError:
        return ["[Version] DriverVer date %s is no date" % values[0]]
    parts = values[1].split(".")
    if not 1 <= len(parts) <= 4 or not all(p.isdigit() and int(p) <= 65535 for p in parts):
        return ["[Version] DriverVer version %s is not w.x.y.z of 16-bit numbers" % values[1]]
    return []


# "inf-version-section" (PnpLockdown): 1 keeps the installed files from being changed by
# anything but the driver store; InfVerif requires it of a driver package.
@rule("version-pnplockdown")
def version_pnplockdown(inf, folder):
    if one(inf.value("Version", "PnpLockdown")) != "1":
        return ["[Version] PnpLockdown is not 1"]
    return []


# "inf-manufacturer-section": on a 64-bit system Windows reads only the models section
# decorated for it (NTamd64); an undecorated one installs nothing there.
@rule("manufacturer-ntamd64")
def manufacturer_ntamd64(inf, folder):
    problems = []
    lines = inf.lines("Manufacturer")
    if not lines:
        return ["no [Manufacturer] entry"]
    for line in lines:
        if "ntamd64" not in [d.lower() for d in line.values[1:]]:
            problems.append("[Manufacturer] %s has no NTamd64 models section" % line.values[0])
        elif not inf.lines(line.values[0] + ".NTamd64"):
            problems.append("models section [%s.NTamd64] is missing or empty" % line.values[0])
    return problems


# "inf-models-section", "standard-usb-identifiers": description = install section, then
# hardware ids; a USB id is USB\VID_vvvv&PID_pppp with optional &REV_rrrr and &MI_ii.
@rule("models-hwid")
def models_hwid(inf, folder):
    problems = []
    for section, install, ids in inf.models():
        ids = [i for i in ids if i]
        if not install or not ids:
            problems.append("[%s]: a model line needs an install section and a hardware id" % section)
        for hwid in ids:
            if not re.fullmatch(r"USB\\VID_[0-9A-F]{4}&PID_[0-9A-F]{4}(&REV_[0-9A-F]{4})?(&MI_[0-9A-F]{2})?",
                                hwid, re.IGNORECASE):
                problems.append("[%s]: %s is not a USB hardware id" % (section, hwid))
    return problems


# "inf-ddinstall-section": every model's install section exists (decorated .NTamd64 or .NT).
@rule("install-section")
def install_section(inf, folder):
    return ["[%s]: install section %s does not exist" % (section, install)
            for section, install, _ in inf.models() if install and inf.install_section(install) is None]


def copied_files(inf):
    """(CopyFiles section, file name) for what every install section copies."""
    out = []
    for _, install, _ in inf.models():
        section = inf.install_section(install) if install else None
        for line in inf.lines(section) if section else []:
            if line.key and line.key.lower() == "copyfiles":
                for files in line.values:
                    if files.startswith("@"):
                        out.append((None, files[1:]))
                    else:
                        out += [(files, f.values[0]) for f in inf.lines(files)]
    return out


# "inf-copyfiles-directive", "inf-sourcedisksfiles-section", "inf-sourcedisksnames-section",
# "inf-destinationdirs-section": every copied file is a source file on a defined disk, and
# has a destination.
@rule("copyfiles-sources")
def copyfiles_sources(inf, folder):
    problems = []
    disks = {line.key for line in inf.lines("SourceDisksNames") if line.key}
    sources = {line.key.lower(): one(line.values) for line in inf.lines("SourceDisksFiles") if line.key}
    copied = copied_files(inf)
    if not copied:
        problems.append("the install sections copy no file")
    for section, name in copied:
        disk = sources.get(name.lower())
        if disk is None:
            problems.append("%s is copied but not in [SourceDisksFiles]" % name)
        elif disk not in disks:
            problems.append("%s lies on disk %s, which [SourceDisksNames] does not define" % (name, disk))
        if section and inf.value("DestinationDirs", section) is None and inf.value(
                "DestinationDirs", "DefaultDestDir") is None:
            problems.append("[DestinationDirs] gives no destination for %s" % section)
    if folder is not None:
        problems += ["%s is not in the package folder" % name for name in sources
                     if not any(f.lower() == name for f in os.listdir(folder))]
    return problems


def service_sections(inf):
    out = []
    for _, install, _ in inf.models():
        section = inf.install_section(install) if install else None
        if section:
            out.append((section + ".Services", inf.lines(section + ".Services")))
    return out


# "inf-ddinstall-services-section", "inf-addservice-directive": the device's function
# driver is the service added with SPSVCINST_ASSOCSERVICE (0x2); without it the device has
# no driver (Device Manager code 28).
@rule("services-function-driver")
def services_function_driver(inf, folder):
    problems = []
    for section, lines in service_sections(inf):
        adds = [line for line in lines if line.key and line.key.lower() == "addservice"]
        if not any(len(a.values) >= 3 and int(a.values[1] or "0", 0) & 0x2 for a in adds):
            problems.append("[%s] adds no service with flag 0x2 (the function driver)" % section)
    return problems


# "inf-addservice-directive": a kernel driver (ServiceType 1) that Plug and Play starts on
# demand when the device appears (StartType 3), a defined ErrorControl, and its binary one
# of the files the package copies, under the directory it is copied to.
@rule("service-install")
def service_install(inf, folder):
    problems = []
    copied = {name.lower() for _, name in copied_files(inf)}
    for section, lines in service_sections(inf):
        for add in (line for line in lines if line.key and line.key.lower() == "addservice"):
            if len(add.values) < 3:
                continue
            service = add.values[2]
            got = {k: one(inf.value(service, k)) for k in ("ServiceType", "StartType", "ErrorControl", "ServiceBinary")}
            if got["ServiceType"] != "1":
                problems.append("[%s] ServiceType %s is not 1 (kernel driver)" % (service, got["ServiceType"]))
            if got["StartType"] != "3":
                problems.append("[%s] StartType %s is not 3 (on demand)" % (service, got["StartType"]))
            if got["ErrorControl"] not in ("0", "1", "2", "3"):
                problems.append("[%s] ErrorControl %s is not 0-3" % (service, got["ErrorControl"]))
            binary = got["ServiceBinary"] or ""
            match = re.fullmatch(r"%(12|13)%\\([^\\]+)", binary)
            if not match or match.group(2).lower() not in copied:
                problems.append("[%s] ServiceBinary %r is not a copied file under %%12%% or %%13%%" % (service, binary))
    return problems


# "inf-strings-section": every %token% is defined in [Strings].
@rule("strings-defined")
def strings_defined(inf, folder):
    return ["line %d: %%%s%% is not defined in [Strings]" % t for t in inf.undefined_tokens]


def check(text, folder=None):
    """{rule: [problems]} for the rules that refuse the INF."""
    return RULES.run(Inf(text), folder, (ValueError, IndexError))


# Each rule and an INF broken for it: (rule, what is broken, pattern, replacement).
BREAKAGES = [
    ("version-signature", "a Windows 95 signature", r'(?im)^Signature\s*=.*$', 'Signature = "$Windows 95$"'),
    ("version-class", "the System class's GUID", r"(?im)^ClassGuid\s*=.*$", "ClassGuid = {4d36e97d-e325-11ce-bfc1-08002be10318}"),
    ("version-provider", "no Provider", r"(?im)^Provider\s*=.*\n", ""),
    ("version-catalog", "no CatalogFile", r"(?im)^CatalogFile\s*=.*\n", ""),
    ("version-driverver", "month 13", r"(?im)^(DriverVer\s*=\s*)\d+/", r"\g<1>13/"),
    ("version-pnplockdown", "PnpLockdown 0", r"(?im)^PnpLockdown\s*=.*$", "PnpLockdown = 0"),
    ("manufacturer-ntamd64", "undecorated models", r"(?im)^(%\w+%\s*=\s*[\w.]+)\s*,\s*NTamd64", r"\1"),
    ("models-hwid", "a malformed USB id", r"(?i)USB\\VID_([0-9A-F]{4})&PID_", r"USB\\VID_\1_PID_"),
    ("install-section", "a missing install section", r"(?im)^(%\w+%\s*=\s*)([\w.]+)(\s*,\s*USB)", r"\1No.Such.Section\3"),
    ("copyfiles-sources", "a source on no disk", r"(?im)^(\[SourceDisksFiles\]\s*\n[^=\n]+=\s*)\d+", r"\g<1>7"),
    ("services-function-driver", "no function-driver flag", r"(?im)^(AddService\s*=\s*\w+\s*,\s*)0x0*2", r"\g<1>0x0"),
    ("service-install", "started at boot", r"(?im)^(StartType\s*=\s*)3", r"\g<1>0"),
    ("strings-defined", "an undefined string", r"(?im)^Receiver\s*=.*\n", ""),
]


def self_test(path):
    with open(path, encoding="utf-8-sig") as f:
        text = f.read()
    failures = 0
    found = check(text)
    if found:
        print("self-test: the INF itself is refused: %s" % found)
        failures += 1
    covered = set()
    for name, what, pattern, replacement in BREAKAGES:
        broken, count = re.subn(pattern, replacement, text, count=1)
        if count == 0:
            print("self-test: %s: the breakage (%s) does not apply to this INF" % (name, what))
            failures += 1
            continue
        refused = check(broken)
        if name not in refused:
            print("self-test: %s: an INF with %s passed the rule" % (name, what))
            failures += 1
        else:
            print("self-test: %s refuses %s: %s" % (name, what, refused[name][0]))
        covered.add(name)
    # The package folder: an INF alone, without the files and the catalog it names.
    with tempfile.TemporaryDirectory() as folder:
        refused = check(text, folder)
        for name in ("version-catalog", "copyfiles-sources"):
            if name not in refused:
                print("self-test: %s: a folder without the package's files passed" % name)
                failures += 1
    missing = RULES.names() - covered
    for name in sorted(missing):
        print("self-test: rule %s has no breakage" % name)
        failures += 1
    print("check_inf self-test: %d rules, %d failures" % (len(RULES.rules), failures))
    return 1 if failures else 0


def main(argv):
    if len(argv) == 3 and argv[1] == "--self-test":
        return self_test(argv[2])
    if len(argv) in (2, 3) and argv[1:2] != ["--self-test"] and argv[2:] in ([], ["--package"]):
        path = argv[1]
        with open(path, encoding="utf-8-sig") as f:
            found = check(f.read(), os.path.dirname(os.path.abspath(path)) if argv[2:] else None)
        for name, problems in found.items():
            for p in problems:
                print("%s: %s: %s" % (path, name, p))
        if not found:
            print("%s: passes the %d INF rules" % (path, len(RULES.rules)))
        return 1 if found else 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
