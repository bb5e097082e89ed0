#!/usr/bin/env python3
"""Checks the export tables of the replacement diagnostic libraries, read by objdump: the
names must be exactly the undecorated entry points the reporter looks up.
Usage: check_exports.py OBJDUMP WHOLE_DLL WITHOUT_STOP_SCAN_DLL"""
import re
import subprocess
import sys

ENTRY_POINTS = {
    "JXD_InitializeW", "JXD_SetUserInformationW", "JXD_SetScanLevel", "JXD_SetScanOption",
    "JXD_Finalize", "JXD_StartScan", "JXD_StopScan",
}


def exported_names(objdump, dll):
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True,
                          text=True).stdout
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) != 2:
        return set()
    names = set()
    for line in table[1].splitlines()[1:]:
        match = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s*$", line)
        if not match:
            break
        names.add(match.group(1))
    return names


def main():
    objdump, whole, without_stop = sys.argv[1:4]
    failures = 0
    for dll, expected in ((whole, ENTRY_POINTS), (without_stop, ENTRY_POINTS - {"JXD_StopScan"})):
        names = exported_names(objdump, dll)
        if names != expected:
            print(f"{dll}: exports {sorted(names)}, expected {sorted(expected)}")
            failures += 1
        else:
            print(f"{dll}: {len(names)} exports as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
