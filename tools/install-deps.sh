#!/usr/bin/env bash
# Installs the Debian packages the installer is built, run and tested with, when any is missing.
set -euo pipefail

packages=(
    g++ cmake make pkg-config python3
    qtbase5-dev qttools5-dev qttools5-dev-tools
    libcurl4-openssl-dev libsodium-dev minisign openssl p7zip-full curl strace
    xvfb xauth xdotool openbox imagemagick x11-utils fonts-noto-cjk
    g++-mingw-w64-x86-64-posix
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
