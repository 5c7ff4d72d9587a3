#!/usr/bin/env bash
# The test command: installs what is missing, builds both brands and runs every test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

"$top/tools/install-deps.sh"

for brand in standard green; do
    flag=OFF
    [ "$brand" = green ] && flag=ON
    cmake -S "$top" -B "$top/build/$brand" -DGREEN_BRAND=$flag ${KOVRA_CMAKE_ARGS:-}
    cmake --build "$top/build/$brand" -j "$jobs"
done

status=0
for brand in standard green; do
    echo "=== tests, $brand brand ==="
    (cd "$top/build/$brand" && ctest --output-on-failure -j "$jobs" ${KOVRA_CTEST_ARGS:-}) || status=1
done
exit $status
