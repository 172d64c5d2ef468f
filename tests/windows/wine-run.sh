#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine: wine-run.sh PROGRAM.exe [ARGS...]
#
# CMake's cross-compiling emulator for the Windows build, so that ctest runs the test
# programs through Wine. The programs link Qt, its plugins and the compiler's runtime
# statically, so no DLL search path is set: a program that still needs such a DLL
# fails to start. Wine hides environment variables named QT_* from Windows programs;
# they are passed on under the WINE prefix that Wine strips again.
#
# Environment: WINEPREFIX (default build/wineprefix, created on first use), WINEDEBUG.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
[ $# -ge 1 ] || { echo "usage: $0 PROGRAM.exe [ARGS...]" >&2; exit 2; }

export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
"$here/wine-prefix.sh"
unset WINEPATH WINEDLLPATH

# Paths of the host's Qt plugins mean nothing to Qt for Windows.
for name in $(compgen -e); do
    case $name in
        QT_PLUGIN_PATH | QT_QPA_PLATFORM_PLUGIN_PATH) ;;
        QT_*) export "WINE$name=${!name}" ;;
    esac
done
# The offscreen platform finds no fonts of its own on Windows.
export WINEQT_QPA_FONTDIR=${WINEQT_QPA_FONTDIR:-'Z:\usr\share\fonts\truetype\dejavu'}
# A program started from a shell has no console: send Qt's messages to standard error.
export WINEQT_FORCE_STDERR_LOGGING=${WINEQT_FORCE_STDERR_LOGGING:-1}

exec wine "$@"
