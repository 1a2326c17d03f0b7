#!/usr/bin/env bash
# Cross-builds linkwatch.exe for 64-bit Windows (mingw-w64, as scripts/test.sh
# does) and packs it with the examples and the documents into
# build/linkwatch-windows.zip: one folder "linkwatch" holding linkwatch.exe,
# README.md, docs\ and examples\. No test is built.
#
#   scripts/package-windows.sh [-j N]     N build jobs at once (default 2)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() { echo "usage: $0 [-j N]" >&2; exit 2; }
jobs=2
while [ $# -gt 0 ]; do
  case $1 in
    -j) [ $# -ge 2 ] || usage; jobs=$2; shift 2 ;;
    -j*) jobs=${1#-j}; shift ;;
    *) usage ;;
  esac
done
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "package-windows: -j needs a number of jobs, 1 or more" >&2; exit 2; }

"$root/scripts/setup.sh"

build=$root/build/package-windows
stage=$build/stage
zip_file=$root/build/linkwatch-windows.zip

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLINKWATCH_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" >/dev/null
ninja -C "$build" -j"$jobs" linkwatch

rm -rf "$stage"
cmake --install "$build" --prefix "$stage/linkwatch" >/dev/null
# Windows readers expect CR LF in the text files.
find "$stage/linkwatch" \( -name '*.md' -o -name '*.txt' \) -exec sed -i 's/\r*$/\r/' {} +

rm -f "$zip_file"
(cd "$stage" && zip -q -r -X "$zip_file" linkwatch)
echo "package-windows: $zip_file"
zip -sf "$zip_file" | sed -n 's/^  */  /p'
