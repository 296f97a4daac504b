#!/usr/bin/env python3
"""Compares the keys of two runs of one capture: the HID reports the host replay tool prints
(read here as the report layouts mean them) and the usages Wine's HID parser reads from the
same reports on the device ("key ..." lines of ravo_reader).

    compare_keys.py REPLAY_OUTPUT READER_OUTPUT [--prefix]

--prefix: the device was pulled out during the capture; its keys must be the start of the
host's, at least one of them. Prints both lists and exits 1 when they differ."""
import re
import sys

REPORT = re.compile(r"(?<![0-9A-Za-z])((?:[0-9A-Fa-f]{2} ){1,8}[0-9A-Fa-f]{2})(?![0-9A-Za-z])")
LENGTHS = {1: 9, 2: 4, 3: 2, 4: 2}
CONSUMER = [[0xE9, 0xEA, 0xE2], [0x9C, 0x9D], [0xB0, 0xB7, 0xB1, 0xB2, 0xB3, 0xB4]]


def meant_usages(report):
    """The usages a report carries by its layout, as "PAGE:USAGE" sorted."""
    usages = []
    if report[0] == 1:
        usages += [(0x07, 0xE0 + bit) for bit in range(8) if report[1] & (1 << bit)]
        usages += [(0x07, slot) for slot in report[3:9] if slot]
    elif report[0] == 2:
        for byte, names in zip(report[1:4], CONSUMER):
            usages += [(0x0C, name) for bit, name in enumerate(names) if byte & (1 << bit)]
    elif report[0] == 4 and report[1]:
        usages.append((0x01, report[1]))
    return " ".join("%02X:%02X" % u for u in sorted(usages))


def host_keys(path):
    keys = []
    for line in open(path, errors="replace"):
        for match in REPORT.finditer(line):
            report = [int(b, 16) for b in match.group(1).split()]
            if LENGTHS.get(report[0]) == len(report):
                key = meant_usages(report)
                if key:
                    keys.append(key)
    return keys


DEVICE_KEY = re.compile(r"key ((?:[0-9A-F]{2}:[0-9A-F]{2})(?: [0-9A-F]{2}:[0-9A-F]{2})*)(?:  .*)?$")


def device_keys(path):
    """The usages of the reader's "key PAGE:USAGE...  NAMES" lines."""
    return [m.group(1) for m in map(DEVICE_KEY.match, open(path, errors="replace")) if m]


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    prefix = "--prefix" in sys.argv
    host, device = host_keys(args[0]), device_keys(args[1])
    print("host keys:  ", " | ".join(host))
    print("device keys:", " | ".join(device))
    same = device == host[: len(device)] and len(device) >= 1 if prefix else device == host
    if not host:
        same = False
        print("no key in the host replay")
    print("keys match" if same else "keys differ")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
