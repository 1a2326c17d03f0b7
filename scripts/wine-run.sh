#!/usr/bin/env bash
# Runs a Windows test program under wine with a private, quiet prefix.
# Used by CTest as the cross-compiling emulator.
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
