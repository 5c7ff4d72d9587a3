#!/usr/bin/env bash
# The run command: installs what is missing, builds the installer, starts the local vendor
# server and the installer in a real window (on a private Xvfb display when there is none).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
brand=${KOVRA_BRAND:-standard}
flag=OFF
[ "$brand" = green ] && flag=ON
build="$top/build/run-$brand"

"$top/tools/install-deps.sh"
cmake -S "$top" -B "$build" -DGREEN_BRAND=$flag -DKOVRA_BUILD_TESTS=OFF
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"

work="$build/run"
mkdir -p "$work/packages"
python3 "$top/tools/vendor_server.py" --port 18080 --root "$work/packages" \
    --oplog "$work/oplog.txt" --requests "$work/requests.txt" &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT

if [ -z "${DISPLAY:-}" ]; then
    exec_display() { xvfb-run -a "$@"; }
else
    exec_display() { "$@"; }
fi
exec_display "$build/installer/kovraSetupOnline"
