#!/usr/bin/env bash
# Builds the launcher and the start-up baseline in build-bench (Release, warnings as
# errors) when needed, then times their start-up under a private Xvfb. Options are
# passed to startup.py (see --help), e.g. -n 40, --empty-folder, --workdir-root or
# --busy-disk (another process writes and syncs a large file meanwhile).
# Exit status: 0 when both goals are met, 1 when one is missed, 2 on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh

quietly() {
    local output
    if ! output=$("$@" 2>&1); then
        printf '%s\n' "$output" >&2
        exit 2
    fi
}

if [[ ! -f build-bench/CMakeCache.txt ]]; then
    quietly cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLMONT_WERROR=ON
fi
quietly cmake --build build-bench -j2 --target QuillmontHelper startup-baseline
# python3-xlib is packaged for the system interpreter, which another python3 on PATH
# may hide.
exec "${PYTHON:-/usr/bin/python3}" bench/startup.py \
    --launcher build-bench/QuillmontHelper \
    --baseline build-bench/bench/startup-baseline "$@"
