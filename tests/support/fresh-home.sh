#!/bin/sh
# Runs a test program with a new, empty home folder: fresh-home.sh HOME_DIR PROGRAM [ARGS...]
set -e
home=$1
shift
rm -rf "$home"
mkdir -p "$home/runtime"
chmod 700 "$home/runtime"
HOME=$home
XDG_RUNTIME_DIR=$home/runtime
export HOME XDG_RUNTIME_DIR
unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME XDG_DATA_DIRS XDG_CONFIG_DIRS DISPLAY
exec "$@"
