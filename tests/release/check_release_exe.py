#!/usr/bin/env python3
"""Checks the shipped vestrel.exe without running it: a 32-bit GUI program
that needs no DLL but those every Windows has."""
import sys

import pefile

SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "winmm.dll", "msvcrt.dll",
    "advapi32.dll", "bcrypt.dll", "shell32.dll", "ole32.dll", "comctl32.dll",
}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def main(path):
    pe = pefile.PE(path)
    check(pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
          f"machine is {pe.FILE_HEADER.Machine:#x}, not i386")
    check(pe.OPTIONAL_HEADER.Magic == 0x10B, f"optional header magic {pe.OPTIONAL_HEADER.Magic:#x}, not PE32")
    check(pe.OPTIONAL_HEADER.Subsystem == 2, f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, not GUI (2)")

    imports = sorted(entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))
    check(imports, "no imports at all")
    foreign = [dll for dll in imports if dll not in SYSTEM_DLLS]
    check(not foreign, f"imports non-system DLLs: {foreign}")
    print("imports:", ", ".join(imports))

    for message in failures:
        print("FAIL:", message)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
