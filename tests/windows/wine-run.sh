#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine: wine-run.sh [--qt=DIR] PROGRAM.exe [ARGS...]
#
# CMake's cross-compiling emulator for the Windows build, so that ctest runs the test
# programs through Wine. The Qt DLLs and plugins of DIR (default build/qt6-mingw) and
# the MinGW runtime are put on Wine's search path, so nothing has to be copied beside
# the programs. Wine hides environment variables named QT_* from Windows programs; they
# are passed on under the WINE prefix that Wine strips again.
#
# Environment: WINEPREFIX (default build/wineprefix, created on first use), WINEDEBUG.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

qt=$root/build/qt6-mingw
if [[ ${1:-} == --qt=* ]]; then
    qt=${1#--qt=}
    shift
fi
[ $# -ge 1 ] || { echo "usage: $0 [--qt=DIR] PROGRAM.exe [ARGS...]" >&2; exit 2; }

export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
"$here/wine-prefix.sh"

# Unix path to a Windows path on Wine's drive Z:, which maps the Unix root.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

runtime=(
    "$qt/bin"
    "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")"
    "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")"
)
search=
for dir in "${runtime[@]}"; do
    search+="${search:+;}$(winpath "$(realpath "$dir")")"
done
export WINEPATH="$search${WINEPATH:+;$WINEPATH}"

# Paths of the host's Qt plugins mean nothing to Qt for Windows.
for name in $(compgen -e); do
    case $name in
        QT_PLUGIN_PATH | QT_QPA_PLATFORM_PLUGIN_PATH) ;;
        QT_*) export "WINE$name=${!name}" ;;
    esac
done
export WINEQT_PLUGIN_PATH=${WINEQT_PLUGIN_PATH:-$(winpath "$qt/plugins")}
# The offscreen platform finds no fonts of its own on Windows.
export WINEQT_QPA_FONTDIR=${WINEQT_QPA_FONTDIR:-'Z:\usr\share\fonts\truetype\dejavu'}
# A program started from a shell has no console: send Qt's messages to standard error.
export WINEQT_FORCE_STDERR_LOGGING=${WINEQT_FORCE_STDERR_LOGGING:-1}

exec wine "$@"
