#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: on Linux twice, in a plain
# build and in a build with AddressSanitizer and UndefinedBehaviorSanitizer, then
# cross-built for Windows and run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
for variant in plain sanitize; do
    echo "== $variant build"
    scripts/build.sh "$variant"
    echo "== $variant tests"
    xvfb-run -a -s "-screen 0 1024x768x24" \
        ctest --test-dir "build/$variant" --output-on-failure --timeout 300
done
scripts/test-windows.sh
