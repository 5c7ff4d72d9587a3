# shellcheck shell=bash
# Shared by the Windows build scripts: where the cross-built dependencies are cached, and the
# cross compiler's posix flavour first on PATH (its C++ runtime has the std::thread and
# std::mutex that Qt 5.15 needs; the win32 flavour has not).
cache=${KOVRA_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kovra-windows}

source_package() {
    case $1 in
        qt) echo qtbase-opensource-src ;;
        curl) echo curl ;;
        7zip) echo 7zip ;;
        sodium) echo libsodium ;;
        *) echo "unknown dependency: $1" >&2; return 1 ;;
    esac
}

# The newest Debian version of a source package, as apt-get source fetches it.
source_version() {
    apt-cache showsrc "$(source_package "$1")" 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -n 1
}

# <cache>/<package>-<version>[-r<revision>]: a new Debian version or recipe builds into a new folder.
# A dependency whose build recipe changed gets a new revision, so that a cache built by the old
# recipe is not taken for the new one.
recipe_revision() {
    case $1 in
        qt) echo "-r2" ;;
        *) echo "" ;;
    esac
}

dependency_prefix() {
    local version
    version=$(source_version "$1")
    [ -n "$version" ] || { echo "no Debian source for $1 (is a deb-src entry configured?)" >&2; return 1; }
    echo "$cache/$(source_package "$1")-$version$(recipe_revision "$1")"
}

use_posix_mingw() {
    local bin="$cache/mingw-posix-bin"
    mkdir -p "$bin"
    for tool in gcc g++ c++; do
        ln -sf "/usr/bin/x86_64-w64-mingw32-$tool-posix" "$bin/x86_64-w64-mingw32-$tool"
    done
    export PATH="$bin:$PATH"
}
