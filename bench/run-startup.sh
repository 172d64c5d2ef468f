#!/usr/bin/env bash
# Builds the launcher and the start-up baseline in build-bench (Release, warnings as
# errors) when needed, then times their start-up under a private Xvfb. Options are
# passed to startup.py (see --help), e.g. -n 40 or --empty-folder.
# Exit status: 0 when both goals are met, 1 when one is missed, 2 on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ ! -f build-bench/CMakeCache.txt ]]; then
    cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLMONT_WERROR=ON >/dev/null
fi
cmake --build build-bench -j2 --target QuillmontHelper startup-baseline >/dev/null
# python3-xlib is packaged for the system interpreter, which another python3 on PATH
# may hide.
exec "${PYTHON:-/usr/bin/python3}" bench/startup.py \
    --launcher build-bench/QuillmontHelper \
    --baseline build-bench/bench/startup-baseline "$@"
