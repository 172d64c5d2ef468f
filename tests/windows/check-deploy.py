#!/usr/bin/python3
"""Checks that an installed Windows launcher folder holds what it needs and nothing else.

usage: check-deploy.py INSTALL_DIR SYSTEM32_DIR

Every DLL that the launcher or one of its plugins imports, directly or through another
DLL, must lie beside the launcher unless Windows itself provides it (it is in
SYSTEM32_DIR, e.g. a Wine prefix's drive_c/windows/system32, or is an API set that the
loader maps onto it). Every file in the folder must be the launcher, such a DLL, or
one of the plugins it needs Qt to load. Prints each problem; exits 1 if there is any.
"""

import os
import sys

import pefile

PROGRAM = "QuillmontHelper.exe"
# The launcher shows its window through the windows platform, in the native style,
# with the window icon read by the ico plugin.
REQUIRED_PLUGINS = ("platforms/qwindows.dll", "styles/qwindowsvistastyle.dll", "imageformats/qico.dll")


def imports(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    return [entry.dll.decode("ascii").lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    folder, system32 = argv
    system = {name.lower() for name in os.listdir(system32)}
    files = set()
    for base, _, names in os.walk(folder):
        for name in names:
            files.add(os.path.relpath(os.path.join(base, name), folder).replace(os.sep, "/"))
    beside = {name.lower(): name for name in files if "/" not in name}
    problems = []

    for plugin in REQUIRED_PLUGINS:
        if plugin not in files:
            problems.append("missing plugin %s" % plugin)
    roots = [name for name in (PROGRAM,) + REQUIRED_PLUGINS if name in files]
    if PROGRAM not in files:
        problems.append("missing %s" % PROGRAM)

    needed = set(roots)
    pending = list(roots)
    while pending:
        current = pending.pop()
        for dll in imports(os.path.join(folder, current)):
            if dll in beside:
                if beside[dll] not in needed:
                    needed.add(beside[dll])
                    pending.append(beside[dll])
            elif dll not in system and not dll.startswith(("api-ms-win-", "ext-ms-win-")):
                problems.append("%s imports %s, which is neither beside it nor part of Windows" % (current, dll))

    for name in sorted(files - needed):
        problems.append("%s is not needed by the launcher" % name)

    for problem in problems:
        print("check-deploy: %s" % problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
