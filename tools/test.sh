#!/usr/bin/env bash
# The test command: installs what is missing, builds both brands and a sanitizer build of the
# standard brand (AddressSanitizer and UndefinedBehaviorSanitizer), and runs every test in each.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

"$top/tools/install-deps.sh"
# The Windows build: compiled with the cross compiler always; built whole and run under Wine
# where its dependencies are cached. KOVRA_CMAKE_ARGS reaches both builds, so that the Wine test
# and the installers under test name the same servers.
# The Windows installers under test carry a test key of their own, made once, and the Wine test
# signs its package with it: the whole signed install runs on Windows' side too.
keys="$top/build/test-key"
if [ ! -f "$keys/minisign.key" ]; then
    mkdir -p "$keys"
    minisign -G -f -W -p "$keys/minisign.pub" -s "$keys/minisign.key" >/dev/null
fi
# shellcheck disable=SC2086 # the options are separate words
"$top/tools/windows/compile-check.sh" ${KOVRA_CMAKE_ARGS:-} \
    -DKOVRA_PACKAGE_PUBLIC_KEY="$(sed -n 2p "$keys/minisign.pub")"

# name and CMake options of each configuration, in build and test order
configurations=(
    "standard -DGREEN_BRAND=OFF"
    "green -DGREEN_BRAND=ON"
    "sanitize -DGREEN_BRAND=OFF -DKOVRA_SANITIZE=ON"
)

for configuration in "${configurations[@]}"; do
    read -r name options <<<"$configuration"
    # shellcheck disable=SC2086 # the options are separate words
    cmake -S "$top" -B "$top/build/$name" $options ${KOVRA_CMAKE_ARGS:-}
    cmake --build "$top/build/$name" -j "$jobs"
done

status=0
for configuration in "${configurations[@]}"; do
    read -r name _ <<<"$configuration"
    echo "=== tests, $name build ==="
    # shellcheck disable=SC2086
    (cd "$top/build/$name" && ctest --output-on-failure -j "$jobs" ${KOVRA_CTEST_ARGS:-}) || status=1
done
exit $status
