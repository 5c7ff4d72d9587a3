#!/usr/bin/env bash
# The run command: installs the packages that are missing, builds the installer, builds a sample
# product package, starts the local vendor server on the production port and then the installer.
# As a vendor does: a key pair is made once per build folder (build/run-<brand>/signing/), the
# installer carries its public key and the package is served with its signature, which the
# installer verifies before it installs anything (without minisign: no key, nothing checked).
#
#   KOVRA_BRAND=standard|green   the brand to build (default standard)
#   KOVRA_PACKAGE_SIZE=16M       size of the sample package's filler files
#
# With a display ($DISPLAY set) the installer opens in a real window for you. Without one, it runs
# on a private Xvfb display with openbox and is clicked through with xdotool: the warning box, the
# install button, the finished page's start button; a screenshot of each page goes to
# build/run-<brand>/run/screens/. Either way the command ends with a summary: the install folder,
# its links, the uninstall entry and the records the vendor server received.
#
# The install goes where the installer puts it for you: your home folder, your desktop and start
# menu, your uninstall list. Only the single-instance lock of the walk-through lives in a private
# temporary folder.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
brand=${KOVRA_BRAND:-standard}
case "$brand" in
standard) flag=OFF product=lumerix ;;
green) flag=ON product=zentaro ;;
*)
    echo "KOVRA_BRAND must be standard or green, not '$brand'" >&2
    exit 2
    ;;
esac
build="$top/build/run-$brand"
work="$build/run"
screens="$work/screens"

say() { printf '== %s\n' "$*"; }
fail() {
    printf 'run: %s\n' "$*" >&2
    exit 1
}

"$top/tools/install-deps.sh"
signing="$build/signing"
public_key=""
sign=()
if command -v minisign >/dev/null; then
    if [ ! -f "$signing/minisign.key" ]; then
        mkdir -p "$signing"
        minisign -G -f -W -p "$signing/minisign.pub" -s "$signing/minisign.key" >/dev/null
    fi
    public_key=$(sed -n 2p "$signing/minisign.pub")
    sign=(--sign "$signing/minisign.key")
fi
say "building the $brand installer in $build${public_key:+ with the public key $public_key}"
cmake -S "$top" -B "$build" -DGREEN_BRAND=$flag -DKOVRA_BUILD_TESTS=OFF \
    -DKOVRA_PACKAGE_PUBLIC_KEY="$public_key" >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target kovraSetupOnline
installer="$build/installer/kovraSetupOnline"

url=$(sed -n 's/^KOVRA_PRODUCTION_SERVER_URL:[A-Z]*=//p' "$build/CMakeCache.txt")
case "$url" in
http://127.0.0.1:* | http://localhost:*) port=${url##*:} ;;
*) fail "the production server of this build is $url, not the local vendor server" ;;
esac

rm -rf "$work"
mkdir -p "$work/packages" "$work/tmp" "$screens"
# The start-menu links go into the per-user applications folder, which a machine without a
# desktop may not have yet.
mkdir -p "${XDG_DATA_HOME:-$HOME/.local/share}/applications"
say "building the sample package${public_key:+ and its signature}"
python3 "$top/tools/make_package.py" --brand "$brand" --size "${KOVRA_PACKAGE_SIZE:-16M}" \
    --files 8 --out "$work/packages/${product}Setupx64_min.7z" "${sign[@]}" >/dev/null

pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT

oplog="$work/oplog.txt"
: >"$oplog"
python3 "$top/tools/vendor_server.py" --port "$port" --root "$work/packages" --oplog "$oplog" \
    --requests "$work/requests.txt" --mode-file "$work/mode.txt" >"$work/server.txt" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    grep -q listening "$work/server.txt" && break
    kill -0 "${pids[-1]}" 2>/dev/null || fail "the vendor server did not start: $(cat "$work/server.txt")"
    sleep 0.1
done
grep -q listening "$work/server.txt" || fail "the vendor server did not start"
say "vendor server on $url, serving $(cd "$work/packages" && echo *)"

# Operation-log ids received so far, in order.
records() {
    python3 -c 'import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    if line.strip():
        print(json.loads(line).get("btnId", ""))' "$oplog"
}

# True when a record with an id matching the grep pattern(s) has arrived.
has_record() {
    records >"$work/ids.txt"
    grep -qx "$@" "$work/ids.txt"
}

# Waits up to $2 seconds for condition command $1; false when it did not come.
wait_for() {
    local _
    for _ in $(seq $(($2 * 10))); do
        eval "$1" && return 0
        sleep 0.1
    done
    return 1
}

# --- walk-through on a private display --------------------------------------------------------

# Saves the screen area of window $1 as $screens/$2.png.
shot() {
    local geometry
    # xwininfo gives the absolute place, also of a window inside the window manager's frame.
    geometry=$(xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
        /Width:/ {w=$NF} /Height:/ {h=$NF} END {print w "x" h "+" x "+" y}')
    import -window root -crop "$geometry" +repage "$screens/$2.png"
    echo "   screenshot $screens/$2.png"
}

# Visible window of the installer whose title is (or, with "!", is not) $1.
installer_window() {
    local id name
    for id in $(xdotool search --onlyvisible --pid "$installer_pid" 2>/dev/null); do
        name=$(xdotool getwindowname "$id" 2>/dev/null) || continue
        if [ "${1:0:1}" = "!" ]; then
            [ "$name" != "${1:1}" ] && echo "$id" && return 0
        elif [ "$name" = "$1" ]; then
            echo "$id" && return 0
        fi
    done
    return 1
}

# Starts Xvfb on a free display and exports DISPLAY. Another program choosing a display at the
# same moment can take the one Xvfb reported, so a display that does not answer is tried again.
start_display() {
    local attempt xvfb
    for attempt in 1 2 3; do
        : >"$work/display.txt"
        exec 3>"$work/display.txt"
        # A display at 100 % (96 DPI): the window has the size the clicks expect.
        Xvfb -displayfd 3 -screen 0 1280x800x24 -dpi 96 -nolisten tcp >"$work/xvfb.txt" 2>&1 &
        xvfb=$!
        exec 3>&-
        if wait_for '[ -s "$work/display.txt" ]' 20; then
            DISPLAY=":$(tr -dc 0-9 <"$work/display.txt")"
            export DISPLAY
            if wait_for 'xprop -root >/dev/null 2>&1' 10 && kill -0 "$xvfb" 2>/dev/null; then
                pids+=("$xvfb")
                return 0
            fi
        fi
        kill "$xvfb" 2>/dev/null || true
        echo "   display not ready (attempt $attempt), trying again"
    done
    fail "Xvfb did not start: $(cat "$work/xvfb.txt")"
}

walk_through() {
    say "no display: a private Xvfb display with openbox, clicked through by xdotool"
    start_display
    openbox --sm-disable >"$work/openbox.txt" 2>&1 &
    pids+=($!)
    wait_for 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' 20 ||
        fail "openbox did not start"

    # A download of about two seconds, so the progress page can be seen.
    echo "slow-8192" >"$work/mode.txt"
    TMPDIR="$work/tmp" QT_QPA_PLATFORM=xcb "$installer" >"$work/installer.txt" 2>&1 &
    installer_pid=$!
    pids+=("$installer_pid")

    local box window question
    wait_for 'box=$(installer_window "!kovraSetupOnline")' 30 || fail "no start-up warning"
    sleep 0.5
    shot "$box" 01-warning
    xdotool windowactivate --sync "$box" key Return
    # A product installed before brings a question: keep it (No, the default); the install
    # replaces its folder.
    wait_for 'window=$(installer_window kovraSetupOnline) || question=$(installer_window "!kovraSetupOnline")' 30 ||
        fail "no installer window after the warning"
    if [ -z "$window" ] && [ -n "$question" ]; then
        sleep 0.5
        shot "$question" 01b-previous-install
        xdotool windowactivate --sync "$question" key Return
        wait_for 'window=$(installer_window kovraSetupOnline)' 60 || fail "no installer window"
    fi
    sleep 1
    shot "$window" 02-custom-install

    xdotool windowactivate --sync "$window" mousemove --window "$window" $((5 + 245 + 80)) $((5 + 252 + 25)) click 1
    wait_for 'has_record pc-install-go' 30 || fail "the install button did not start the install"
    sleep 1
    shot "$window" 03-progress

    wait_for 'has_record -e pc-install-success -e "pc-.*failedcode-.*"' 600 ||
        fail "the install did not finish"
    has_record pc-install-success || {
        shot "$window" 04-failed
        fail "the install failed: $(records | tail -1)"
    }
    sleep 1
    shot "$window" 04-finished

    xdotool windowactivate --sync "$window" mousemove --window "$window" $((5 + 245 + 80)) $((5 + 209 + 25)) click 1
    local status=0
    wait "$installer_pid" || status=$?
    [ "$status" -eq 0 ] || fail "the installer ended with status $status"
    say "the installer ended with status 0 after the start press"
}

# Only this run's lines of the installer's log count.
log="${XDG_CACHE_HOME:-$HOME/.cache}/kovraSetupOnline/install_revanto.log"
log_lines=0
if [ -f "$log" ]; then
    log_lines=$(wc -l <"$log")
fi

if [ -n "${DISPLAY:-}" ]; then
    say "starting the installer on $DISPLAY"
    status=0
    "$installer" || status=$?
    say "the installer ended with status $status"
else
    walk_through
fi

# --- summary ----------------------------------------------------------------------------------

folder="$HOME/${product}MasterRecovery"
say "summary"
if [ -d "$folder" ]; then
    echo "install folder: $folder ($(find "$folder" -type f | wc -l) files)"
    if wait_for '[ -f "$folder/started" ]' 10; then
        echo "product started: $(cat "$folder/started")"
    else
        echo "product started: no (no \"started\" beside it)"
    fi
else
    echo "install folder: $folder is not there"
fi
verified=$(tail -n +$((log_lines + 1)) "$log" 2>/dev/null |
    sed -n 's/.*package signature verified, trusted comment: //p' | head -n 1)
if [ -z "$public_key" ]; then
    echo "package: not checked (no minisign here: the installer was built without a key)"
elif [ -n "$verified" ]; then
    echo "package: signature verified with the build's public key; trusted comment: $verified"
else
    echo "package: no verified signature in this run (see $log)"
fi
desktop=$(xdg-user-dir DESKTOP 2>/dev/null || echo "$HOME/Desktop")
applications="${XDG_DATA_HOME:-$HOME/.local/share}/applications"
echo "links:"
[ -d "$desktop" ] || echo "  (no desktop folder $desktop: no desktop link)"
find "$desktop" "$applications" -maxdepth 2 -type l -lname "$folder/*" -printf '  %p -> %l\n' \
    2>/dev/null || true
echo "uninstall entry (${XDG_CONFIG_HOME:-$HOME/.config}/kovra/uninstall-list.ini):"
python3 - "${XDG_CONFIG_HOME:-$HOME/.config}/kovra/uninstall-list.ini" "$folder" <<'EOF' || true
import sys
section, lines = None, {}
try:
    text = open(sys.argv[1], encoding="utf-8").read().splitlines()
except OSError:
    text = []
for line in text:
    if line.startswith("["):
        section = line
    elif section:
        lines.setdefault(section, []).append(line)
for section, values in lines.items():
    if any(sys.argv[2] in value for value in values):
        print("  " + section)
        for value in values:
            if value.strip():
                print("    " + value)
EOF
echo "records received by the vendor server, in order:"
records | sed 's/^/  /'
[ -d "$screens" ] && [ -n "$(ls -A "$screens")" ] && echo "screenshots: $screens"
exit 0
