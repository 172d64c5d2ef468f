#!/usr/bin/env bash
# Creates the Wine prefix in $WINEPREFIX (default build/wineprefix) unless it exists.
# Safe to call from several processes at once: the first creates it, the others wait.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
[ -f "$WINEPREFIX/.quillmont-ready" ] && exit 0

mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock -w 300 9 || { echo "wine-prefix: timed out waiting for $WINEPREFIX.lock" >&2; exit 1; }
[ -f "$WINEPREFIX/.quillmont-ready" ] && exit 0
# Neither .NET nor a browser engine is wanted: skip Wine's offer to install them.
WINEDLLOVERRIDES="mscoree,mshtml=" timeout 300 wine wineboot --init >/dev/null 2>&1
timeout 120 wineserver --wait
touch "$WINEPREFIX/.quillmont-ready"
