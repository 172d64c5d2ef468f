#!/usr/bin/env bash
# The start-up benchmark for the Windows build: builds the launcher and the start-up
# baseline with the "windows" preset (into build/windows) when needed, then times both
# under Wine, on a private Xvfb, in the prefix build/wineprefix. Options are passed to
# startup.py (see --help), e.g. -n 40. Exit status as bench/run-startup.sh's.
#
# The baseline is a plain Qt window linked as the launcher is (the same static Qt, the
# static runtime), but without what keeps graphics libraries out of the launcher's
# process: the ratio shows what that saves at start.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
export WINEPREFIX=$PWD/build/wineprefix WINEDEBUG=-all

quietly() {
    local output
    if ! output=$("$@" 2>&1); then
        printf '%s\n' "$output" >&2
        exit 2
    fi
}

quietly scripts/windows-qt.sh
quietly tests/windows/wine-prefix.sh
[[ -f build/windows/CMakeCache.txt ]] || quietly cmake --preset windows
quietly cmake --build --preset windows --target QuillmontHelper startup-baseline
exec "${PYTHON:-/usr/bin/python3}" bench/startup.py --wine --time-goal 0.8 \
    --launcher build/windows/QuillmontHelper.exe \
    --baseline build/windows/startup-baseline.exe "$@"
