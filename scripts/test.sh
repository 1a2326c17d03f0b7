#!/usr/bin/env bash
# Builds linkwatch and runs every test: natively, natively under
# AddressSanitizer + UndefinedBehaviorSanitizer, under ThreadSanitizer, the
# fuzz harnesses over their corpus (clang), and the Windows build (mingw-w64)
# under wine. Installs what is missing first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

jobs=$(nproc 2>/dev/null || echo 2)
summary=()

build() {  # build <folder> [cmake options...]
  local dir=$root/build/$1
  shift
  echo "=== build $(basename "$dir")"
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
  if ! ninja -C "$dir" -j"$jobs" >"$dir/build.log" 2>&1; then
    tail -n 60 "$dir/build.log"
    summary+=("$(basename "$dir"): BUILD FAILED")
    return 1
  fi
  grep -E 'warning:' "$dir/build.log" || true
}

run_tests() {  # run_tests <folder> [ctest options...]
  local dir=$root/build/$1
  shift
  echo "=== test $(basename "$dir")"
  local log=$dir/ctest.log
  if ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@" 2>&1 | tee "$log"; then
    summary+=("$(basename "$dir"): $(grep -E 'tests passed' "$log" | tail -1)")
  else
    summary+=("$(basename "$dir"): FAILED")
    return 1
  fi
}

status=0
build native && run_tests native || status=1
build sanitize -DLINKWATCH_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug &&
  run_tests sanitize || status=1
build thread -DLINKWATCH_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug &&
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_tests thread || status=1

# The fuzz harnesses (clang, libFuzzer): the seed corpus and a short fixed run.
build fuzz -DCMAKE_CXX_COMPILER=clang++ -DLINKWATCH_FUZZ=ON -DLINKWATCH_TESTS=OFF &&
  run_tests fuzz || status=1

# The Windows build: one wine prefix, made before the tests run in parallel.
export WINEPREFIX=$root/build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1 || true
build windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" &&
  run_tests windows || status=1
wineserver -k >/dev/null 2>&1 || true

echo "=== summary"
printf '%s\n' "${summary[@]}"
exit $status
