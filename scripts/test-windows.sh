#!/usr/bin/env bash
# Cross-builds the launcher and its tests for Windows and runs them under Wine:
#   1. installs what is missing (scripts/setup-debian.sh) and makes the static Qt for
#      Windows ready in build/qt6-mingw-static (scripts/windows-qt.sh);
#   2. configures, builds and installs the "windows" preset into build/windows;
#   3. runs the whole Qt Test suite through Wine with ctest (offscreen platform), with
#      no DLL search path: every program must run on Windows' own DLLs;
#   4. checks the installed folder (the one stripped program, importing only Windows'
#      own DLLs), the release archive, and the program file's icon and version
#      resources;
#   5. drives the installed launcher under Wine on Xvfb as a player would
#      (tests/windows/run-launcher.py).
# Ends with the line "windows: N passed, M failed" and a non-zero status on failure.
#
# Environment: QUILLMONT_WINDOWS_EXCLUDE, a ctest regular expression of tests to leave
# out (default: none).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD
build=build/windows
install_dir=$build/install

export WINEPREFIX=$root/build/wineprefix
export WINEDEBUG=-all

passed=0
failed=0
count() { # count NAME STATUS
    if [ "$2" -eq 0 ]; then
        passed=$((passed + 1))
        echo "ok - $1"
    else
        failed=$((failed + 1))
        echo "not ok - $1"
    fi
}

stage_start=0
stage() {
    echo "== windows: $1"
    stage_start=$(date +%s)
}
stage_done() {
    echo "== windows: $1 took $(($(date +%s) - stage_start))s"
}
fatal() {
    echo "windows: $*" >&2
    echo "windows: $passed passed, $((failed + 1)) failed"
    exit 1
}

stop_wine() {
    # Only the Wine processes of this script's own prefix.
    timeout 30 wineserver -w 2>/dev/null || wineserver -k 2>/dev/null || true
}
trap stop_wine EXIT

stage "packages"
scripts/setup-debian.sh || fatal "installing packages failed"
stage_done "packages"

stage "Qt for Windows"
scripts/windows-qt.sh >/dev/null || fatal "Qt for Windows is not available"
stage_done "Qt for Windows"

stage "Wine prefix"
tests/windows/wine-prefix.sh || fatal "creating the Wine prefix failed"
stage_done "Wine prefix"

stage "configure"
cmake --preset windows >"$root/build/windows-configure.log" 2>&1 \
    || { cat "$root/build/windows-configure.log"; fatal "configuring failed"; }
stage_done "configure"

stage "build"
cmake --build --preset windows || fatal "building failed"
rm -rf "$install_dir"
cmake --install "$build" --prefix "$install_dir" >/dev/null || fatal "installing failed"
stage_done "build"

stage "Qt Test suite under Wine"
ctest_log=$root/build/windows-ctest.log
exclude=()
if [ -n "${QUILLMONT_WINDOWS_EXCLUDE:-}" ]; then
    echo "windows: leaving out tests matching: $QUILLMONT_WINDOWS_EXCLUDE"
    exclude=(-E "$QUILLMONT_WINDOWS_EXCLUDE")
fi
ctest --preset windows "${exclude[@]}" 2>&1 | tee "$ctest_log"
summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$ctest_log" | tail -n 1)
if [ -n "$summary" ]; then
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    ctest_failed=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
    passed=$((passed + total - ctest_failed))
    failed=$((failed + ctest_failed))
else
    count "ctest ran" 1
fi
stop_wine
stage_done "Qt Test suite under Wine"

stage "installed folder and resources"
tests/windows/check-deploy.py "$install_dir" "$WINEPREFIX/drive_c/windows/system32"
count "installed folder holds only QuillmontHelper.exe, stripped, on Windows' own DLLs" $?
rm -f "$build"/QuillmontHelper-*-win64.zip
(cd "$build" && cpack -G ZIP >/dev/null)
zip_files=$(python3 -c 'import sys, zipfile; print(*sorted(zipfile.ZipFile(sys.argv[1]).namelist()))' \
    "$build"/QuillmontHelper-*-win64.zip 2>&1)
[ "$zip_files" = "QuillmontHelper.exe THIRD-PARTY-NOTICES.txt" ]
count "release archive holds QuillmontHelper.exe and the notice at its top (holds: $zip_files)" $?
if [ -f tests/check_windows_resources.py ]; then
    python3 tests/check_windows_resources.py "$install_dir/QuillmontHelper.exe" assets/gear.ico --subsystem-gui
    count "icon and version resources of QuillmontHelper.exe" $?
else
    echo "windows: tests/check_windows_resources.py is missing; resources not checked"
    count "icon and version resources of QuillmontHelper.exe (checker missing)" 1
fi
stage_done "installed folder and resources"

stage "launcher under Wine on Xvfb"
launcher_log=$root/build/windows-launcher.log
# The Wine session ends inside the X server's lifetime, so that nothing of it lingers
# on a display that is gone.
timeout 600 xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    tests/windows/run-launcher.py "$1" "$2" "$3"
    status=$?
    timeout 30 wineserver -w
    exit $status' _ "$install_dir" "$build/tests/windows/Quillmont.exe" "$build/tests/windows/dlls" 2>&1 \
    | tee "$launcher_log"
summary=$(grep -E '^run-launcher: [0-9]+ passed, [0-9]+ failed$' "$launcher_log" | tail -n 1)
if [ -n "$summary" ]; then
    passed=$((passed + $(sed -E 's/.*: ([0-9]+) passed.*/\1/' <<<"$summary")))
    failed=$((failed + $(sed -E 's/.* ([0-9]+) failed$/\1/' <<<"$summary")))
else
    count "launcher run under Wine completed" 1
fi
stage_done "launcher under Wine on Xvfb"

echo "windows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
