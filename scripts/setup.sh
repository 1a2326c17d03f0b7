#!/usr/bin/env bash
# Installs what building, testing and running linkwatch need on a Debian
# machine, when it is missing. Safe to run again; does nothing when all is there.
set -euo pipefail

packages=(
  cmake ninja-build g++ googletest      # native build and tests
  g++-mingw-w64-x86-64-posix wine wine64 # Windows build, run under wine
  curl iputils-ping                      # the programs the monitor runs
  python3 python3-aiosmtpd python3-cryptography openssl  # end-to-end delivery and certificate tests
  clang libclang-rt-14-dev               # fuzz harnesses (libFuzzer)
  chromium                               # Teams card rendering test
  zip                                    # scripts/package-windows.sh
  prometheus prometheus-node-exporter    # promtool and the textfile collector (prometheus test)
)
# node and npm for the rendering test, unless some node is there already
# (a node from another source brings its own npm).
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The card renderer's npm packages, into the folder the rendering test reads.
# Without network the test skips with a message instead.
here=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -d "$here/build/render/node_modules/adaptivecards" ]; then
  "$here/tests/render/render_card.sh" install "$here/build/render" >/dev/null 2>&1 ||
    echo "setup: card renderer packages not installed; the rendering test will skip"
fi
