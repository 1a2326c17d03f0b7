#!/usr/bin/env bash
# Builds linkwatch and runs the monitor in the foreground on the example
# configuration in examples/. It starts two local services on 127.0.0.1
# (ports 18080 and 18081) for the monitor to watch; the third example host,
# 127.0.0.1:18082, has no listener and shows the DOWN path. Press Ctrl+C to
# stop, or pass a number of seconds to stop by itself after that long.
#
#   scripts/run-example.sh [-j N] [seconds]
#
# -j N builds with N jobs at once (default 2, so that a shared machine stays
# usable).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() { echo "usage: $0 [-j N] [seconds]" >&2; exit 2; }
jobs=2
seconds=""
while [ $# -gt 0 ]; do
  case $1 in
    -j) [ $# -ge 2 ] || usage; jobs=$2; shift 2 ;;
    -j*) jobs=${1#-j}; shift ;;
    -h|--help) usage ;;
    *) [ -z "$seconds" ] || usage; seconds=$1; shift ;;
  esac
done
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "run-example: -j needs a number of jobs, 1 or more" >&2; exit 2; }
[[ -z $seconds || $seconds =~ ^[1-9][0-9]*$ ]] || usage

"$root/scripts/setup.sh"

build=$root/build/native
cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j"$jobs" linkwatch lw_testtool >/dev/null

run=$root/build/example-run
mkdir -p "$run"
cp "$root"/examples/linkwatch_host.txt "$root"/examples/linkwatch_email.txt "$run"/
cd "$run"

listeners=()
cleanup() { for pid in "${listeners[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT
for port in 18080 18081; do
  "$build/bin/lw_testtool" listen "$port" >/dev/null &
  listeners+=($!)
done

echo "Working folder: $run (log: $run/linkwatch_log.txt)"
if [ -n "$seconds" ]; then
  timeout -s INT "$seconds" "$build/bin/linkwatch" || true
else
  "$build/bin/linkwatch" || true
fi
