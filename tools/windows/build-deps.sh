#!/usr/bin/env bash
# Builds what the Windows installer runs with (Qt 5's base module, libcurl, 7-Zip) from Debian's
# source packages with the mingw-w64 cross compiler, once, into a cache outside the checkout.
# Each dependency lands in <cache>/<package>-<Debian version>/ and is reused until Debian's
# version changes. The first run takes about an hour on two cores (Qt is most of it).
# usage: build-deps.sh [qt] [curl] [7zip] [sodium]   (default: all four)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/windows/common.sh
. "$here/common.sh"

jobs=$(nproc 2>/dev/null || echo 2)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

install_tools() {
    local packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 dpkg-dev make perl python3
                    xz-utils)
    # libsodium's source comes without its configure script.
    packages+=(autoconf automake libtool)
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        export DEBIAN_FRONTEND=noninteractive
        $sudo apt-get update -q
        $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
}

# Source packages come from the archive the machine already installs from.
enable_sources() {
    if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        local list=/etc/apt/sources.list.d/debian.sources
        if [ -f "$list" ]; then
            sed 's/^Types: deb$/Types: deb-src/' "$list" | $sudo tee /etc/apt/sources.list.d/kovra-deb-src.sources >/dev/null
        else
            sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | $sudo tee /etc/apt/sources.list.d/kovra-deb-src.list >/dev/null
        fi
        $sudo apt-get update -q
    fi
}

# Unpacks the Debian source (with Debian's patches) of $1 into a fresh work folder; prints it.
fetch_source() {
    local package=$1 work="$cache/work/$1"
    rm -rf "$work" && mkdir -p "$work"
    (cd "$work" && apt-get source -q "$package" >&2)
    find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1
}

build_qt() {
    local prefix=$1 src
    src=$(fetch_source qtbase-opensource-src)
    mkdir -p "$src/../build"
    cd "$src/../build"
    # Only what the installer uses: widgets and network on the Windows platform plugin, no
    # OpenGL, and Qt's bundled zlib, libpng and PCRE. Debian's source leaves out the pen-tablet
    # header the plugin would include, so tablet events are off. Optimised for size, without the
    # modules, dialogs, widgets and protocols the installer never shows or speaks: a user
    # downloads every byte of these libraries.
    local unused=(pdf textodfwriter textmarkdownreader textmarkdownwriter systemtrayicon
                  sessionmanager calendarwidget colordialog fontdialog fontcombobox mdiarea
                  undocommand wizard lcdnumber dial keysequenceedit splashscreen syntaxhighlighter
                  columnview datawidgetmapper toolbox ftp networkdiskcache
                  bearermanagement dnslookup statemachine islamiccivilcalendar jalalicalendar
                  printer sql testlib)
    "$src/configure" -prefix "$prefix" -opensource -confirm-license \
        -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
        -release -optimize-size -shared -no-opengl -nomake examples -nomake tests \
        -qt-zlib -qt-libpng -qt-pcre -qt-harfbuzz -qt-freetype -no-dbus -no-icu \
        -no-sql-sqlite -no-sql-odbc -no-feature-tabletevent -no-feature-vulkan \
        "${unused[@]/#/-no-feature-}"
    make -j "$jobs"
    make install
}

build_curl() {
    local prefix=$1 src
    src=$(fetch_source curl)
    cd "$src"
    # Plain HTTP and Windows' own TLS; nothing else the installer would have to ship.
    [ -x configure ] || autoreconf -fi
    ./configure --host=x86_64-w64-mingw32 --prefix="$prefix" --enable-shared --disable-static \
        --with-schannel --without-openssl --without-libpsl --without-zlib --without-brotli \
        --without-zstd --without-nghttp2 --without-libidn2 --without-librtmp --without-libssh2 \
        --disable-ldap --disable-ldaps --disable-manual --disable-docs
    make -j "$jobs" -C lib
    make -C lib install
    make -C include install
}

build_sodium() {
    local prefix=$1 src
    src=$(fetch_source libsodium)
    cd "$src"
    # libsodium checks the package signatures: a static library, linked into the installer.
    [ -x configure ] || autoreconf -fi
    ./configure --host=x86_64-w64-mingw32 --prefix="$prefix" --disable-shared --enable-static
    make -j "$jobs" -C src
    make -C src install
}

build_7zip() {
    local prefix=$1 src
    src=$(fetch_source 7zip)
    # The console program and the library with its formats, statically linked so that they
    # need no runtime of their own.
    local common=(-f ../../cmpl_gcc.mak IS_MINGW=1 CROSS_COMPILE=x86_64-w64-mingw32-
                  RC=x86_64-w64-mingw32-windres CFLAGS_WARN_WALL=-Wall DISABLE_RAR=1
                  O=_o MY_MKDIR="mkdir -p")
    make -j "$jobs" -C "$src/CPP/7zip/UI/Console" "${common[@]}"
    make -j "$jobs" -C "$src/CPP/7zip/Bundles/Format7zF" "${common[@]}"
    mkdir -p "$prefix/bin"
    cp "$src/CPP/7zip/UI/Console/_o/7z.exe" "$src/CPP/7zip/Bundles/Format7zF/_o/7z.dll" "$prefix/bin/"
}

install_tools
enable_sources
use_posix_mingw
mkdir -p "$cache"

wanted=("$@")
[ ${#wanted[@]} -gt 0 ] || wanted=(curl 7zip sodium qt)
for dependency in "${wanted[@]}"; do
    prefix=$(dependency_prefix "$dependency")
    if [ -f "$prefix/.complete" ]; then
        echo "$dependency: cached in $prefix"
        continue
    fi
    echo "$dependency: building into $prefix"
    started=$(date +%s)
    rm -rf "$prefix"
    ("build_${dependency}" "$prefix")
    rm -rf "$cache/work/$(source_package "$dependency")"
    echo "$(($(date +%s) - started)) s" >"$prefix/.complete"
    echo "$dependency: built in $(cat "$prefix/.complete")"
done
