#!/usr/bin/env bash
# The Windows build: cross-compiles both brands of the installer for 64-bit Windows on Debian and
# lays out, per brand, the folder the vendor ships, stripped of debug information:
#
#   build/windows-standard/dist/   build/windows-green/dist/
#     kovraSetupOnline.exe, the Qt, libcurl and compiler runtime DLLs it runs with,
#     platforms/qwindows.dll, styles/qwindowsvistastyle.dll, 7z.exe, 7z.dll, distribution.list
#
# and the one file a user downloads, that folder packed by NSIS (tools/windows/installer.nsi):
#   build/windows-standard/lumerixMasterInstaller.exe   build/windows-green/zentaroMasterInstaller.exe
#
# With KOVRA_SIGN_PKCS12 naming a PKCS#12 file (its password in the file KOVRA_SIGN_PASSWORD_FILE
# names), every program and DLL of the folder and the single file are signed (Authenticode,
# SHA-256), with an RFC 3161 time stamp from KOVRA_SIGN_TIMESTAMP_URL when that is set.
#
# It also builds build/windows-sample/sample_product.exe, the stand-in product of the Wine test.
# It installs the packages it needs, then builds Qt, libcurl and 7-Zip from Debian's sources once
# (build-deps.sh, about an hour on two cores; cached under ~/.cache/kovra-windows/). Options after
# the command go to CMake, for example the vendor's hosts:
#   build.sh -DKOVRA_PRODUCTION_SERVER_URL=https://<host> -DKOVRA_TEST_SERVER_URL=https://<host>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
# shellcheck source=tools/windows/common.sh
. "$here/common.sh"
jobs=$(nproc 2>/dev/null || echo 2)

packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 cmake make qttools5-dev
          qttools5-dev-tools file wine64 wine fonts-wine nsis osslsigncode openssl)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

"$here/build-deps.sh"
qt=$(dependency_prefix qt)
curl=$(dependency_prefix curl)
sevenzip=$(dependency_prefix 7zip)
sodium=$(dependency_prefix sodium)
runtime=("$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")"
         /usr/x86_64-w64-mingw32/lib)

# Copies into $1 every DLL that the given programs import, and what those import in turn, from
# the Qt, libcurl and compiler runtime folders; system DLLs are found in none of them, the
# toolkit's and the libraries' own (Qt5*, lib*) must be.
copy_imports() {
    local dist=$1 pending=("${@:2}") file dll folder
    while [ ${#pending[@]} -gt 0 ]; do
        file=${pending[0]}
        pending=("${pending[@]:1}")
        for dll in $(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p'); do
            [ -e "$dist/$dll" ] && continue
            for folder in "$qt/bin" "$curl/bin" "${runtime[@]}"; do
                if [ -f "$folder/$dll" ]; then
                    cp "$folder/$dll" "$dist/"
                    pending+=("$dist/$dll")
                    break
                fi
            done
            case $dll in Qt5* | lib*)
                [ -e "$dist/$dll" ] || { echo "$file needs $dll, found nowhere" >&2; return 1; } ;;
            esac
        done
    done
}

# Authenticode signing in place, when a certificate is given.
sign() {
    local file=$1 name=$2
    [ -n "${KOVRA_SIGN_PKCS12:-}" ] || return 0
    osslsigncode sign -pkcs12 "$KOVRA_SIGN_PKCS12" \
        ${KOVRA_SIGN_PASSWORD_FILE:+-readpass "$KOVRA_SIGN_PASSWORD_FILE"} -h sha256 -n "$name" \
        ${KOVRA_SIGN_TIMESTAMP_URL:+-ts "$KOVRA_SIGN_TIMESTAMP_URL"} -in "$file" -out "$file.signed" \
        >/dev/null
    mv "$file.signed" "$file"
}
if [ -n "${KOVRA_SIGN_PKCS12:-}" ]; then
    echo "signing with $KOVRA_SIGN_PKCS12${KOVRA_SIGN_TIMESTAMP_URL:+, time stamps from $KOVRA_SIGN_TIMESTAMP_URL}"
else
    echo "not signed: KOVRA_SIGN_PKCS12 names no certificate"
fi

# The size of a file or folder in kB, and whether it holds more than $2 MB (10^6 bytes).
size_of() {
    local bytes
    bytes=$(du -sb "$1" | cut -f1)
    echo "$((bytes / 1000)) kB$([ "$bytes" -le $(($2 * 1000000)) ] || echo ", more than $2 MB")"
}

for brand in standard green; do
    flag=OFF
    [ "$brand" = green ] && flag=ON
    build="$top/build/windows-$brand"
    cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/toolchain.cmake" \
        -DKOVRA_WINDOWS_QT="$qt" -DKOVRA_WINDOWS_CURL="$curl" -DCMAKE_BUILD_TYPE=Release \
        -DKOVRA_WINDOWS_SODIUM="$sodium" \
        -DKOVRA_BUILD_TESTS=OFF -DGREEN_BRAND=$flag "$@" >/dev/null
    cmake --build "$build" -j "$jobs" --target kovraSetupOnline

    dist="$build/dist"
    rm -rf "$dist"
    mkdir -p "$dist/platforms" "$dist/styles"
    cp "$build/installer/kovraSetupOnline.exe" "$sevenzip/bin/7z.exe" "$sevenzip/bin/7z.dll" "$dist/"
    cp "$qt/plugins/platforms/qwindows.dll" "$dist/platforms/"
    cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$dist/styles/"
    copy_imports "$dist" "$dist"/*.exe "$dist"/*.dll "$dist"/*/*.dll
    # The brand's names and version, as the build configured them for the single file.
    name=$(sed -n 's/^!define PRODUCT_NAME "\(.*\)"$/\1/p' "$build/installer.nsh")
    product=$(sed -n 's/^!define PRODUCT "\(.*\)"$/\1/p' "$build/installer.nsh")
    for binary in "$dist"/*.exe "$dist"/*.dll "$dist"/*/*.dll; do
        x86_64-w64-mingw32-strip --strip-unneeded "$binary"
        sign "$binary" "$name"
    done
    # The install copies only what this list names from the installer's folder.
    files=$(cd "$dist" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
    printf '%s\n' "$files" >"$dist/distribution.list"

    description=$(file -b "$dist/kovraSetupOnline.exe")
    case "$description" in
    "PE32+ executable (GUI) x86-64"*) ;;
    *) echo "$dist/kovraSetupOnline.exe is no 64-bit Windows GUI program: $description" >&2; exit 1 ;;
    esac
    if ! grep -aq 'level="requireAdministrator"' "$dist/kovraSetupOnline.exe" ||
        grep -aq 'level="asInvoker"' "$dist/kovraSetupOnline.exe"; then
        echo "$dist/kovraSetupOnline.exe does not carry the administrator manifest" >&2
        exit 1
    fi
    echo "windows-$brand: $dist ($(wc -l <"$dist/distribution.list") files," \
        "$(size_of "$dist" 25), $description)"

    single="$build/${product}MasterInstaller.exe"
    # NSIS's System plug-in runs inside the single file (it makes the private folder): signed too.
    plugins="$build/nsis-plugins"
    rm -rf "$plugins" && mkdir -p "$plugins"
    cp /usr/share/nsis/Plugins/amd64-unicode/System.dll "$plugins/"
    sign "$plugins/System.dll" "$name"
    makensis -V1 -INPUTCHARSET UTF8 -DBRAND="$build/installer.nsh" -DDIST="$dist" \
        -DPLUGINS="$plugins" -DOUTFILE="$single" "$here/installer.nsi"
    sign "$single" "$name"
    if ! grep -aq 'level="requireAdministrator"' "$single"; then
        echo "$single does not ask for administrator rights" >&2
        exit 1
    fi
    size=$(size_of "$single" 15)
    echo "windows-$brand: $single ($size)"
    # What a user downloads stays small.
    [[ $size != *"more than"* ]] || exit 1
done

mkdir -p "$top/build/windows-sample"
x86_64-w64-mingw32-gcc-posix -municode -mwindows -O2 -Wall -Wextra -Werror \
    -o "$top/build/windows-sample/sample_product.exe" "$here/sample_product.c"
