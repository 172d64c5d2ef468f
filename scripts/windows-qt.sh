#!/usr/bin/env bash
# Makes Qt 6.4.2 for Windows (MinGW-w64), built as static libraries with the static
# compiler runtime, optimised for size and without the features that the launcher does
# not use, ready in build/qt6-mingw-static and prints its path. Linked against it, the
# launcher is one .exe that needs no Qt or MinGW DLL beside it.
#
# Uses the prebuilt archive in ../shared/toolchains beside the repository when it is
# there and its sha256 matches; unpacks it once per checksum. Otherwise builds the same
# Qt from Debian's qt6-base source package (about 23 minutes on 2 cores) and caches it.
#
#   scripts/windows-qt.sh            prebuilt if possible, else build from source
#   scripts/windows-qt.sh --source   always build from source
#
# Only the Qt folder's path goes to standard output; progress goes to standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cache=$root/build
qt=$cache/qt6-mingw-static
stamp=$qt/.quillmont-origin
archive_name=qt6-mingw-static-min-6.4.2-deb12.tar.xz
archive_folder=qt6-mingw-static-min
qt_version=6.4.2
log() { echo "windows-qt: $*" >&2; }

from_source=0
[ "${1:-}" = --source ] && from_source=1

toolchains=
if common=$(git rev-parse --path-format=absolute --git-common-dir 2>/dev/null); then
    # The checkout beside shared/: the main work tree, also when run from a linked one.
    toolchains=$(dirname "$(dirname "$common")")/shared/toolchains
fi
[ -d "$toolchains" ] || toolchains=$(git rev-parse --show-toplevel 2>/dev/null || echo "$root")/../shared/toolchains
archive=$toolchains/$archive_name

unpack_prebuilt() {
    [ -f "$archive" ] && [ -f "$archive.sha256" ] || { log "no prebuilt Qt at $toolchains"; return 1; }
    local expected actual
    expected=$(awk '{ print $1; exit }' "$archive.sha256")
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "prebuilt $expected" ]; then
        log "prebuilt Qt already unpacked ($expected)"
        return 0
    fi
    actual=$(sha256sum "$archive" | awk '{ print $1 }')
    if [ "$actual" != "$expected" ]; then
        log "checksum mismatch for $archive: expected $expected, got $actual"
        return 1
    fi
    log "unpacking $archive_name"
    rm -rf "$qt" "$qt.partial"
    mkdir -p "$qt.partial"
    # Stamped with the time of unpacking, so that a build made against another Qt before
    # rebuilds against this one.
    tar -xJf "$archive" -C "$qt.partial" --touch
    [ -f "$qt.partial/$archive_folder/lib/cmake/Qt6/Qt6Config.cmake" ] || { log "unexpected archive layout"; return 1; }
    mv "$qt.partial/$archive_folder" "$qt"
    rmdir "$qt.partial"
    echo "prebuilt $expected" > "$stamp"
}

# The same Qt as the prebuilt one, by the recipe it was built with: Debian's source,
# unchanged, the bundled third-party libraries, and only what the launcher needs;
# static libraries and the static runtime, without link-time code generation; every
# file compiled for size, and none of the text document formats, graphics view, style
# sheets, file dialog, file system model or MIME database, which the launcher never uses.
build_from_source() {
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "source $qt_version static-min" ]; then
        log "Qt built from source already in place"
        return 0
    fi
    local work=$cache/qt6-mingw-source
    mkdir -p "$work"
    local src
    src=$(find "$work" -maxdepth 1 -type d -name "qt6-base-$qt_version*" | head -n 1)
    if [ -z "$src" ]; then
        fetch_source "$work"
        src=$(find "$work" -maxdepth 1 -type d -name "qt6-base-$qt_version*" | head -n 1)
        [ -n "$src" ] || { log "qt6-base $qt_version source not found after download"; exit 1; }
    fi
    log "configuring Qt from $src"
    rm -rf "$work/build" "$qt"
    cmake -S "$src" -B "$work/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_CROSSCOMPILING_EMULATOR= \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$qt" \
        -DBUILD_SHARED_LIBS=OFF -DFEATURE_static_runtime=ON -DFEATURE_ltcg=OFF \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF -DQT_BUILD_MANUAL_TESTS=OFF \
        -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF \
        -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DINPUT_opengl=no -DFEATURE_vulkan=OFF \
        -DFEATURE_zstd=OFF -DFEATURE_icu=OFF -DFEATURE_tabletevent=OFF -DFEATURE_direct2d1_1=OFF \
        -DFEATURE_jpeg=OFF -DFEATURE_androiddeployqt=OFF \
        -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF \
        -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF \
        -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_jpeg=OFF \
        -DFEATURE_optimize_size=ON \
        -DFEATURE_mimetype_database=OFF -DFEATURE_textodfwriter=OFF \
        -DFEATURE_textmarkdownreader=OFF -DFEATURE_textmarkdownwriter=OFF \
        -DFEATURE_graphicsview=OFF -DFEATURE_style_stylesheet=OFF \
        -DFEATURE_filedialog=OFF -DFEATURE_filesystemmodel=OFF >"$work/configure.log"
    log "building Qt (about 23 minutes on 2 cores; log in $work/build.log)"
    ninja -C "$work/build" -j"$(nproc)" >"$work/build.log"
    cmake --install "$work/build" >"$work/install.log"
    echo "source $qt_version static-min" > "$stamp"
}

# Downloads Debian's qt6-base source package with apt's own client, from the archive
# this machine already uses, through a private source list so that the system's apt
# configuration stays as it is.
fetch_source() {
    local work=$1 apt=$1/apt
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/sources.list.d"
    local uri
    uri=$(awk '/^URIs:/ { print $2 }' /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v security | head -n 1 || true)
    if [ -z "$uri" ]; then
        uri=$(awk '$1 == "deb" && $3 !~ /security/ { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)
    fi
    [ -n "$uri" ] || { log "cannot tell which Debian archive this machine uses"; exit 1; }
    local signed=
    [ -f /usr/share/keyrings/debian-archive-keyring.gpg ] \
        && signed="[signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] "
    echo "deb-src $signed$uri bookworm main" > "$apt/sources.list"
    local options=(-o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/sources.list.d"
                   -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" -o APT::Sandbox::User=root)
    log "downloading the qt6-base source package"
    apt-get "${options[@]}" update -qq >&2
    (cd "$work" && apt-get "${options[@]}" source -qq qt6-base >&2)
}

if [ "$from_source" = 0 ] && unpack_prebuilt; then
    :
else
    command -v dpkg-source >/dev/null || { log "dpkg-dev is needed to unpack the source package"; exit 1; }
    build_from_source
fi
echo "$qt"
