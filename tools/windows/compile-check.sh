#!/usr/bin/env bash
# The Windows part of the test command. With the cached Windows dependencies (build-deps.sh) it
# rebuilds both brands' distribution folders and single files (build.sh), signed with a throw-away
# certificate, which the Wine test then runs and verifies. Without them it compiles every Windows
# source file with the cross compiler into object files against the host's Qt headers, and checks
# that the Windows platform file defines every platform function the others call; the Wine run is
# then left out. Options go to build.sh's CMake.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
# shellcheck source=tools/windows/common.sh
. "$here/common.sh"

have_cache() {
    local dependency prefix
    for dependency in qt curl 7zip sodium; do
        prefix=$(dependency_prefix "$dependency" 2>/dev/null) && [ -f "$prefix/.complete" ] || return 1
    done
}
# A throw-away code-signing certificate in $1 (signer.p12, its password, the CA's ca.pem): the
# test command builds signed, and the Wine test verifies every signed file against that CA.
make_test_certificate() {
    local folder=$1 sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    command -v openssl >/dev/null || $sudo apt-get install -y -q --no-install-recommends openssl
    rm -rf "$folder" && mkdir -p "$folder" && cd "$folder"
    for key in ca signer; do openssl genpkey -quiet -algorithm RSA -out "$key.key"; done
    openssl req -x509 -key ca.key -subj "/CN=kovraSetupOnline test CA" -days 30 -out ca.pem
    openssl req -new -key signer.key -subj "/CN=kovraSetupOnline test signer" |
        openssl x509 -req -CA ca.pem -CAkey ca.key -days 30 -out signer.pem -extfile <(
            printf '%s\n' basicConstraints=CA:FALSE keyUsage=digitalSignature \
                extendedKeyUsage=codeSigning)
    head -c 24 /dev/urandom | base64 >password
    openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem \
        -passout file:password -out signer.p12
    cd - >/dev/null
}
if have_cache; then
    make_test_certificate "$top/build/windows-signing"
    export KOVRA_SIGN_PKCS12="$top/build/windows-signing/signer.p12"
    export KOVRA_SIGN_PASSWORD_FILE="$top/build/windows-signing/password"
    exec "$here/build.sh" "$@"
fi

cxx=x86_64-w64-mingw32-g++-posix
out="$top/build/windows-check"
qt=/usr/include/x86_64-linux-gnu/qt5
rm -rf "$out" && mkdir -p "$out/include/core" "$out/include/curl" "$out/obj"

# libcurl's headers in a folder of their own: glibc's /usr/include must not shadow mingw's.
cp /usr/include/x86_64-linux-gnu/curl/*.h "$out/include/curl/"
# libsodium's too.
cp -r /usr/include/sodium.h /usr/include/sodium "$out/include/"
sed -e 's|@KOVRA_PRODUCTION_SERVER_URL@|http://127.0.0.1:18080|' \
    -e 's|@KOVRA_TEST_SERVER_URL@|http://127.0.0.1:18081|' \
    -e 's|@KOVRA_AGREEMENT_URL@|http://127.0.0.1:18080|' \
    -e 's|@KOVRA_PACKAGE_PUBLIC_KEY@||' \
    "$top/core/buildconfig.h.in" >"$out/include/core/buildconfig.h"
/usr/lib/qt5/bin/uic "$top/ui/kovrasetuponline.ui" -o "$out/include/ui_kovrasetuponline.h"

sources=$(cd "$top" && ls app/*.cpp core/*.cpp install/*.cpp report/*.cpp ui/*.cpp platform/platform_win.cpp)
flags=(-std=c++17 -Wall -Wextra -Werror -DKOVRA_GREEN_BRAND=0 -DUNICODE -D_UNICODE
       -DQT_USE_QSTRINGBUILDER -DQT_NO_FOREACH -DQT_DEPRECATED_WARNINGS -DQT_NO_MESSAGELOGCONTEXT
       -I"$top" -I"$out/include" -isystem "$qt" -isystem "$qt/QtCore" -isystem "$qt/QtGui"
       -isystem "$qt/QtWidgets" -isystem "$qt/QtNetwork")
echo "Windows: compiling $(echo "$sources" | wc -l) source files with $cxx"
export out top cxx
# Two at a time; each call gets the flags and, last, one source file.
# shellcheck disable=SC2016 # expanded by the inner shell
printf '%s\n' "$sources" | xargs -P 2 -n 1 bash -c \
    'src=${*: -1}; "$cxx" "${@:1:$#-1}" -c "$top/$src" -o "$out/obj/${src//\//_}.o" || exit 255' \
    _ "${flags[@]}"

# A platform function that the Windows file lacks would only show when the product is linked.
nm=x86_64-w64-mingw32-nm
missing=$(comm -23 <($nm -C --undefined-only "$out"/obj/*.o | sed -n 's/^ *U \(Platform::.*\)$/\1/p' | sort -u) \
                   <($nm -C --defined-only "$out/obj/platform_platform_win.cpp.o" |
                     sed -n 's/^[0-9a-f]* T \(Platform::.*\)$/\1/p' | sort -u))
if [ -n "$missing" ]; then
    echo "Windows: the platform file does not define: $missing" >&2
    exit 1
fi
# shellcheck disable=SC2154 # the cache folder comes from common.sh
echo "Windows: every source file compiles for 64-bit Windows. The Wine run was LEFT OUT: no"
echo "Windows dependencies cached in $cache. Build them once (about 40 minutes on two cores) and"
echo "both brands with tools/windows/build.sh; from then on the test command rebuilds the Windows"
echo "installers and runs them under Wine (tst_wine)."
