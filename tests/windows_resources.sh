#!/usr/bin/env bash
# Compiles the Windows resource script into a minimal GUI program with the MinGW-w64
# tools and checks its resources; then makes sure the checker notices a console
# program, an extra version string and an icon that differs.
# usage: windows_resources.sh SOURCE_DIR WORK_DIR WINDRES CXX
set -euo pipefail
src=$1 work=$2 windres=$3 cxx=$4
checker=$src/tests/check_windows_resources.py
ico=$src/assets/gear.ico

rm -rf "$work"
mkdir -p "$work"
cat >"$work/winmain.cpp" <<'EOF'
#include <windows.h>
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
EOF

# program RC EXE [linker options]: windres runs in the source folder, where the
# script's relative icon path resolves.
program() {
    local rc=$1 exe=$2
    shift 2
    (cd "$src" && "$windres" -O coff -I "$src" "$rc" -o "$work/$exe.o")
    "$cxx" "$@" "$work/winmain.cpp" "$work/$exe.o" -o "$work/$exe"
}

# expect_failure MESSAGE CHECKER-ARGUMENTS...: the checker must fail with status 1 and
# say MESSAGE.
status=0
expect_failure() {
    local message=$1 output code=0
    shift
    output=$("$checker" "$@" 2>&1) || code=$?
    if [ "$code" -ne 1 ] || ! grep -qF -- "$message" <<<"$output"; then
        echo "the checker missed a fault (status $code, expected \"$message\"):"
        echo "$output"
        status=1
    fi
}

program QuillmontHelper.rc launcher.exe -mwindows
"$checker" "$work/launcher.exe" "$ico" --subsystem-gui || status=1

program QuillmontHelper.rc console.exe
expect_failure "subsystem is 3" "$work/console.exe" "$ico" --subsystem-gui

sed 's/^\( *\)VALUE "ProductVersion".*/&\n\1VALUE "FileVersion", "1.0.0.0"/' \
    "$src/QuillmontHelper.rc" >"$work/extra-string.rc"
program "$work/extra-string.rc" extra-string.exe -mwindows
expect_failure "FileVersion" "$work/extra-string.exe" "$ico" --subsystem-gui

# The same icon with its last mask byte changed.
head -c -1 "$ico" >"$work/other.ico"
printf '\x01' >>"$work/other.ico"
expect_failure "differs from the image" "$work/launcher.exe" "$work/other.ico" --subsystem-gui

exit $status
