#!/usr/bin/env python3
"""Checks the shipped vestrel.exe without running it: a 32-bit GUI program
that needs no DLL but those every Windows has, and carries its manifest,
icon and version record."""
import struct
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

    check_resources(pe)

    for message in failures:
        print("FAIL:", message)
    return 1 if failures else 0


RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


def resource_data(pe, type_id):
    """The data of every resource of a type, in the order of the table."""
    found = []
    for kind in getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None).entries:
        if kind.id != type_id:
            continue
        for name in kind.directory.entries:
            for language in name.directory.entries:
                entry = language.data.struct
                found.append((name.id, pe.get_data(entry.OffsetToData, entry.Size)))
    return found


def check_manifest(pe):
    manifests = resource_data(pe, RT_MANIFEST)
    check(len(manifests) == 1 and manifests[0][0] == 1, f"manifests: {[m[0] for m in manifests]}")
    if not manifests:
        return
    text = manifests[0][1].decode("utf-8")
    check('level="asInvoker"' in text, "manifest does not ask for asInvoker")
    check('uiAccess="false"' in text, "manifest does not say uiAccess false")
    check("supportedOS" in text, "manifest declares no supported Windows versions")
    check("dpiAware" not in text and "dpiAwareness" not in text, "manifest declares DPI awareness")


def check_icon(pe):
    groups = resource_data(pe, RT_GROUP_ICON)
    check(len(groups) == 1, f"{len(groups)} icon groups")
    if not groups:
        return
    data = groups[0][1]
    _, kind, count = struct.unpack_from("<HHH", data)
    images = [struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i) for i in range(count)]
    sizes = [(w or 256, h or 256) for (w, h, *_rest) in images]
    check(sizes == [(s, s) for s in (256, 128, 96, 64, 48, 32, 16)], f"icon sizes {sizes}")
    check(all(image[5] == 32 for image in images), f"bit counts {[i[5] for i in images]}")
    icons = dict(resource_data(pe, RT_ICON))
    check(all(image[7] in icons for image in images), "an icon image is missing")


def check_version(pe):
    fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
    check(fixed is not None, "no version record")
    if fixed is None:
        return
    check((fixed.FileVersionMS, fixed.FileVersionLS) == (0x10000, 1), "file version is not 1.0.0.1")
    check((fixed.ProductVersionMS, fixed.ProductVersionLS) == (0x10000, 1),
          "product version is not 1.0.0.1")
    strings = {}
    translations = []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings[table.LangID] = table.entries
        if info.Key == b"VarFileInfo":
            translations = [var.entry for var in info.Var]
    table = strings.get(b"040904b0", {})
    check(table.get(b"FileDescription") == b"An assistant tool for the auto-patcher.",
          f"description {table.get(b'FileDescription')}")
    check(table.get(b"FileVersion") == b"1, 0, 0, 1", f"file version text {table.get(b'FileVersion')}")
    check(table.get(b"ProductVersion") == b"1, 0, 0, 1",
          f"product version text {table.get(b'ProductVersion')}")
    for field in (b"CompanyName", b"LegalCopyright", b"ProductName", b"OriginalFilename"):
        check(table.get(field), f"{field.decode()} is empty")
    check({b"Translation": "0x0409 0x04b0"} in translations, f"translations {translations}")


def check_resources(pe):
    check(hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"), "no resources")
    if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        check_manifest(pe)
        check_icon(pe)
        check_version(pe)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
