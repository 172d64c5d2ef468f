#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need, skipping those
# already present. Runs apt-get as root, or through sudo.
set -euo pipefail

packages=(
    cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools
    xvfb xauth xdotool x11-utils imagemagick fonts-dejavu-core
    python3 python3-xlib python3-pefile
    e2fsprogs util-linux
    binutils-mingw-w64-x86-64 gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix
    mingw-w64-tools wine xz-utils dpkg-dev
    libvulkan-dev mesa-vulkan-drivers libgl1-mesa-dri libglx-mesa0 procps
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
        || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
