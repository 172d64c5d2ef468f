#!/usr/bin/env python3
"""Checks the resources of a Windows build of the launcher.

usage: check_windows_resources.py EXE ICO [--subsystem-gui]

EXE must carry exactly an icon, the icon group IDI_ICON1 and the version block, all in
US English; the icon must be byte for byte the image inside ICO. With --subsystem-gui
the program must also be a GUI-subsystem program. Every failure is printed; the exit
status is 1 when any check fails and 2 when the files cannot be read.
"""

import os
import struct
import sys

try:
    import pefile
except ImportError:
    # A private Python first on PATH may lack the distribution's pefile.
    system_python = "/usr/bin/python3"
    if os.path.exists(system_python) and os.path.realpath(sys.executable) != os.path.realpath(system_python):
        os.execv(system_python, [system_python, os.path.abspath(__file__)] + sys.argv[1:])
    sys.exit("check_windows_resources: the Python module pefile is missing (Debian: python3-pefile)")

RT_ICON = pefile.RESOURCE_TYPE["RT_ICON"]
RT_GROUP_ICON = pefile.RESOURCE_TYPE["RT_GROUP_ICON"]
RT_VERSION = pefile.RESOURCE_TYPE["RT_VERSION"]
ENGLISH_US = 0x0409  # LANG_ENGLISH with SUBLANG_ENGLISH_US: 1033
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
ICON_IMAGE_OFFSET = 22  # after the icon file's header and its one directory entry

EXPECTED_FIXED = [
    ("signature", 0xFEEF04BD),
    ("structure version", 0x00010000),
    ("file version (high)", 0x00010000),
    ("file version (low)", 0),
    ("product version (high)", 0x00010000),
    ("product version (low)", 0),
    ("file flags mask", 0),
    ("file flags", 0),
    ("operating system", 4),
    ("file type", 1),
    ("file subtype", 0),
    ("file date (high)", 0),
    ("file date (low)", 0),
]


def name_of(entry):
    return str(entry.name) if entry.name is not None else entry.id


def parse_version_node(data, offset, end):
    """One node of a version block: (key, type, value bytes, children, next offset)."""
    if offset + 6 > end:
        raise ValueError("truncated node at %d" % offset)
    length, value_length, kind = struct.unpack_from("<HHH", data, offset)
    node_end = offset + length
    if length < 6 or node_end > end:
        raise ValueError("bad node length %d at %d" % (length, offset))
    pos = offset + 6
    key_end = pos
    while key_end + 1 < node_end and data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[pos:key_end].decode("utf-16-le")
    pos = (key_end + 2 + 3) & ~3
    if kind == 1:
        # Text: read up to the terminating zero rather than trusting the length
        # field, whose unit resource compilers disagree on.
        text_end = pos
        limit = min(node_end, pos + 2 * value_length) if value_length else pos
        while text_end + 1 < limit and data[text_end:text_end + 2] != b"\0\0":
            text_end += 2
        value = data[pos:text_end].decode("utf-16-le")
        pos += 2 * value_length
    else:
        value = data[pos:pos + value_length]
        pos += value_length
    pos = (pos + 3) & ~3
    children = []
    while pos + 6 <= node_end:
        child = parse_version_node(data, pos, node_end)
        children.append(child[:4])
        pos = (child[4] + 3) & ~3
    return key, kind, value, children, node_end


def check_version(data, fail):
    try:
        key, _, fixed, children, _ = parse_version_node(data, 0, len(data))
    except (ValueError, UnicodeDecodeError) as error:
        fail("version block cannot be parsed: %s" % error)
        return
    if key != "VS_VERSION_INFO":
        fail("version block key is %r, not 'VS_VERSION_INFO'" % key)
    if len(fixed) != 52:
        fail("version block fixed part has %d bytes, not 52" % len(fixed))
    else:
        for (field, expected), actual in zip(EXPECTED_FIXED, struct.unpack("<13I", fixed)):
            if actual != expected:
                fail("version %s is 0x%08X, not 0x%08X" % (field, actual, expected))

    keys = [child[0] for child in children]
    if keys != ["StringFileInfo", "VarFileInfo"]:
        fail("version block holds %s, not StringFileInfo then VarFileInfo" % keys)
    for child_key, _, _, grandchildren in children:
        if child_key == "StringFileInfo":
            tables = [table[0] for table in grandchildren]
            if tables != ["040904E4"]:
                fail("string tables are %s, not exactly '040904E4'" % tables)
            for table in grandchildren[:1]:
                strings = [(entry[0], entry[2]) for entry in table[3]]
                names = [name for name, _ in strings]
                if names != ["ProductName", "ProductVersion", "LegalCopyright"]:
                    fail("strings are %s, not ProductName, ProductVersion, LegalCopyright" % names)
                values = dict(strings)
                if values.get("ProductName") != "Quillmont Helper":
                    fail("ProductName is %r" % values.get("ProductName"))
                if values.get("ProductVersion") != "1.0":
                    fail("ProductVersion is %r" % values.get("ProductVersion"))
                if not values.get("LegalCopyright"):
                    fail("LegalCopyright is empty or missing")
        elif child_key == "VarFileInfo":
            entries = [(var[0], var[2]) for var in grandchildren]
            expected = [("Translation", struct.pack("<HH", 0x0409, 1252))]
            if entries != expected:
                fail("variable information is %r, not one Translation 0x0409, 1252" % entries)


def check(exe_path, ico_path, want_gui):
    failures = []
    fail = failures.append
    try:
        with open(ico_path, "rb") as ico_file:
            ico = ico_file.read()
        # Only the resources: a full parse of a statically linked program takes seconds.
        pe = pefile.PE(exe_path, fast_load=True)
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    except (OSError, pefile.PEFormatError) as error:
        print("check_windows_resources: %s" % error, file=sys.stderr)
        return 2
    icon_image = ico[ICON_IMAGE_OFFSET:]

    if want_gui and pe.OPTIONAL_HEADER.Subsystem != IMAGE_SUBSYSTEM_WINDOWS_GUI:
        fail("subsystem is %d, not the Windows GUI (2)" % pe.OPTIONAL_HEADER.Subsystem)

    resources = {}  # type -> {name -> [(language, code page, data)]}
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for type_entry in directory.entries if directory else []:
        names = resources.setdefault(name_of(type_entry), {})
        for name_entry in type_entry.directory.entries:
            languages = names.setdefault(name_of(name_entry), [])
            for language_entry in name_entry.directory.entries:
                struct_ = language_entry.data.struct
                data = pe.get_data(struct_.OffsetToData, struct_.Size)
                languages.append((language_entry.id, struct_.CodePage, data))

    if sorted(resources, key=str) != sorted([RT_ICON, RT_GROUP_ICON, RT_VERSION], key=str):
        labels = [pefile.RESOURCE_TYPE.get(t, t) if isinstance(t, int) else t for t in resources]
        fail("resource types are %s, not exactly RT_ICON, RT_GROUP_ICON, RT_VERSION" % labels)
    for type_id, names in resources.items():
        for name, languages in names.items():
            label = "%s %s" % (pefile.RESOURCE_TYPE.get(type_id, type_id), name)
            if [language for language, _, _ in languages] != [ENGLISH_US]:
                fail("%s has languages %s, not only 1033" % (label, [l for l, _, _ in languages]))
            for _, code_page, _ in languages:
                if code_page != 0:
                    fail("%s has code page %d, not 0" % (label, code_page))

    def single(type_id, name):
        names = resources.get(type_id, {})
        if list(names) != [name]:
            fail("%s resources are %s, not exactly %r"
                 % (pefile.RESOURCE_TYPE[type_id], list(names), name))
        languages = names.get(name) or [(None, None, b"")]
        return languages[0][2]

    icon = single(RT_ICON, 1)
    if icon != icon_image:
        fail("icon 1 (%d bytes) differs from the image in %s (%d bytes)"
             % (len(icon), ico_path, len(icon_image)))

    group = single(RT_GROUP_ICON, "IDI_ICON1")
    expected_group = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHIH", 128, 128, 0, 0, 1, 32, 67624, 1)
    if group != expected_group:
        fail("icon group IDI_ICON1 is %s, not %s" % (group.hex(), expected_group.hex()))

    check_version(single(RT_VERSION, 1), fail)

    for failure in failures:
        print("FAIL: %s" % failure)
    if failures:
        return 1
    print("ok: %s" % exe_path)
    return 0


def main(argv):
    args = [arg for arg in argv if arg != "--subsystem-gui"]
    if len(args) != 2 or any(arg.startswith("-") for arg in args):
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    return check(args[0], args[1], "--subsystem-gui" in argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
