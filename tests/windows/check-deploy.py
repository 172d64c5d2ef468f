#!/usr/bin/python3
"""Checks that an installed Windows launcher is the one file players drop into the game's folder.

usage: check-deploy.py INSTALL_DIR SYSTEM32_DIR

INSTALL_DIR must hold QuillmontHelper.exe and nothing else; the program must be
stripped, at most 12.5 MiB, and import only DLLs that Windows itself provides: those in
SYSTEM32_DIR (e.g. a Wine prefix's drive_c/windows/system32) or API sets that the loader
maps onto them, and none of the Qt, compiler or C++ runtime DLLs that Wine also carries,
nor, at load time, the graphics DLLs that the driver probe loads.
Prints each problem; exits 1 if there is any.
"""

import os
import sys

import pefile

PROGRAM = "QuillmontHelper.exe"
# Built against the size-optimised static Qt, the program was 12,547,584 bytes: a little
# room for the launcher's own code, and a larger program means that more of Qt came in.
MAX_SIZE = 12800 * 1024  # 12.5 MiB
# Not Windows' own, whatever a Wine prefix holds: Qt, MinGW's and Visual C++'s runtimes.
NOT_WINDOWS = ("qt", "lib", "msvcp", "vcruntime")
# Loaded by the driver probe's child processes only: the launcher's own process loads
# none of them, for a file of one of these names in the game's folder would run there.
GRAPHICS = ("d3d9.dll", "d3d11.dll", "dxgi.dll", "d3d12.dll", "opengl32.dll", "vulkan-1.dll")
# Qt's Direct3D 11 code, which the launcher never runs, may import these as delay
# imports, loaded at the first call only. (MinGW's linker leaves the header's entry for
# delay imports empty, which Windows does not need: they are then seen nowhere here.)
DELAY_IMPORTED = ("d3d11.dll", "dxgi.dll")


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    folder, system32 = argv
    system = {name.lower() for name in os.listdir(system32)}
    problems = []

    files = sorted(os.path.relpath(os.path.join(base, name), folder)
                   for base, _, names in os.walk(folder) for name in names)
    if files != [PROGRAM]:
        problems.append("folder holds %s, not only %s" % (files, PROGRAM))
    path = os.path.join(folder, PROGRAM)
    if os.path.exists(path):
        size = os.path.getsize(path)
        if size > MAX_SIZE:
            problems.append("%s is %d bytes, more than %d" % (PROGRAM, size, MAX_SIZE))
        pe = pefile.PE(path, fast_load=True)
        if pe.FILE_HEADER.PointerToSymbolTable or pe.FILE_HEADER.NumberOfSymbols:
            problems.append("%s is not stripped" % PROGRAM)
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
                                               pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]])
        for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
            dll = entry.dll.decode("ascii").lower()
            if dll.startswith(("api-ms-win-", "ext-ms-win-")):
                continue
            if dll not in system or dll.startswith(NOT_WINDOWS):
                problems.append("%s imports %s, which is not part of Windows" % (PROGRAM, dll))
            if dll in GRAPHICS:
                problems.append("%s imports the graphics DLL %s at load time" % (PROGRAM, dll))
        for entry in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []):
            dll = entry.dll.decode("ascii").lower()
            if dll in GRAPHICS and dll not in DELAY_IMPORTED:
                problems.append("%s imports the graphics DLL %s" % (PROGRAM, dll))

    for problem in problems:
        print("check-deploy: %s" % problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
