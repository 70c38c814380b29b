#!/usr/bin/env python3
"""Checks the resources built into quarnelix_link.exe.

  resource_test.py PROGRAM

Reads the program's resource section and fails unless the manifest (type 24,
id 1) is well-formed XML that declares system DPI awareness and the Windows
versions from Vista to 11, asks for no execution level (that would turn file
virtualization off) and no common-controls 6 (that would change the
dialog's look); and unless every icon carries the sizes that the tray and the
dialog ask for on high-resolution screens.
"""
import struct
import sys
import xml.etree.ElementTree as ElementTree

RT_ICON_GROUP = 14
RT_MANIFEST = 24
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
WINDOWS_SETTINGS = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}
TRAY_SIZES = {16, 20, 24, 32}
ICON_SIZES = {107: TRAY_SIZES | {48}, 131: TRAY_SIZES, 132: TRAY_SIZES, 133: TRAY_SIZES}


def resources(image):
    """{(type, id): bytes} of the program's resources, first language each."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    rsrc_rva = struct.unpack_from("<I", image, directories + 2 * 8)[0]
    table = optional + optional_size
    spans = [struct.unpack_from("<8xIIII", image, table + 40 * i) for i in range(sections)]

    def offset(rva):
        for size, address, raw_size, raw in spans:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError("address %#x outside every section" % rva)

    base = offset(rsrc_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<12xHH", image, base + directory)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", image, base + directory + 16 + 8 * i)
            yield name, target

    found = {}
    for kind, types in entries(0):
        for name, languages in entries(types & 0x7FFFFFFF):
            _, leaf = next(entries(languages & 0x7FFFFFFF))
            rva, size = struct.unpack_from("<II", image, base + leaf)
            found[(kind, name)] = image[offset(rva):offset(rva) + size]
    return found


def manifest_faults(text):
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as error:
        return ["the manifest is not well-formed: %s" % error]
    faults = []
    if root.tag != ASM_V1 + "assembly" or root.get("manifestVersion") != "1.0":
        faults.append("the root is not an asm.v1 assembly of manifest version 1.0")
    if root.find(ASM_V1 + "assemblyIdentity") is None:
        faults.append("no assemblyIdentity")
    aware = root.findall("%sapplication/%swindowsSettings/%sdpiAware" %
                         (ASM_V3, ASM_V3, WINDOWS_SETTINGS))
    if [element.text.strip() for element in aware] != ["true"]:
        faults.append("not declared system DPI-aware")
    declared = {element.get("Id") for element in root.iter(COMPATIBILITY + "supportedOS")}
    if declared != SUPPORTED_OS:
        faults.append("supported systems %s" % sorted(declared))
    for element in root.iter():
        tag = element.tag.split("}")[-1]
        if tag == "requestedExecutionLevel":
            faults.append("an execution level turns file virtualization off")
        if tag == "assemblyIdentity" and element.get("name") == "Microsoft.Windows.Common-Controls":
            faults.append("depends on common controls 6")
    return faults


def icon_sizes(group):
    count = struct.unpack_from("<4xH", group)[0]
    return {group[6 + 14 * i] or 256 for i in range(count)}


def main():
    with open(sys.argv[1], "rb") as program:
        found = resources(program.read())
    manifest = found.get((RT_MANIFEST, 1))
    faults = ["no manifest"] if manifest is None else manifest_faults(manifest)
    for icon, wanted in sorted(ICON_SIZES.items()):
        group = found.get((RT_ICON_GROUP, icon))
        sizes = set() if group is None else icon_sizes(group)
        if not wanted <= sizes:
            faults.append("icon %d has sizes %s, lacks %s" % (icon, sorted(sizes),
                                                               sorted(wanted - sizes)))
    for fault in faults:
        print("FAIL:", fault)
    if not faults:
        print("manifest and icons as expected")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
