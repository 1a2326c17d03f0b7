#!/usr/bin/env bash
# Runs a Windows test program under wine with a private, quiet prefix.
# Used by CTest as the cross-compiling emulator. When wine itself fails
# (its client loses the wine server: "wine client error"), the program is
# run once more: that failure is wine's, not the program's.
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
out=$(mktemp)
trap 'rm -f "$out"' EXIT
wine "$@" 2>&1 | tee "$out"
rc=${PIPESTATUS[0]}
if [ "$rc" -ne 0 ] && grep -q "wine client error" "$out"; then
  echo "wine-run: wine lost its server; running $1 once more" >&2
  wine "$@"
  rc=$?
fi
exit "$rc"
