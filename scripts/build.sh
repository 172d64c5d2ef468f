#!/usr/bin/env bash
# Configures and builds one variant into build/<variant>: "plain" or "sanitize"
# (AddressSanitizer and UndefinedBehaviorSanitizer), all targets or those named after
# it. Warnings are errors in both.
set -euo pipefail
cd "$(dirname "$0")/.."
variant=${1:-plain}
options=(-DQUILLMONT_WERROR=ON)
case "$variant" in
    plain) options+=(-DCMAKE_BUILD_TYPE=Release) ;;
    sanitize) options+=(-DCMAKE_BUILD_TYPE=Debug -DQUILLMONT_SANITIZE=ON) ;;
    *) echo "unknown variant: $variant" >&2; exit 2 ;;
esac
cmake -S . -B "build/$variant" -G Ninja "${options[@]}" >/dev/null
shift || true
targets=()
[ $# -eq 0 ] || targets=(--target "$@")
cmake --build "build/$variant" -j2 "${targets[@]}"
