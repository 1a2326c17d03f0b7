#!/usr/bin/env bash
# Runs the libFuzzer harnesses of fuzz/ for as long as asked.
#
#   scripts/fuzz.sh [seconds per harness] [harness ...]     (default: 600 s, all)
#   scripts/fuzz.sh --merge [harness ...]                   adds the inputs found so
#                                                           far that cover new code
#                                                           to fuzz/corpus/<harness>
#
# Builds build/fuzz with clang (AddressSanitizer + UndefinedBehaviorSanitizer).
# New inputs collect in build/fuzz/work/<harness>; a failing input is written
# to build/fuzz/found/<harness>/ and ends that harness's run. Once its fault
# is fixed, copy the input into fuzz/corpus/<harness>/ so it stays tested.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
build=$root/build/fuzz
CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DLINKWATCH_FUZZ=ON -DLINKWATCH_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

merge=0
if [ "${1:-}" = "--merge" ]; then merge=1; shift; fi
seconds=600
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then seconds=$1; shift; fi
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  for src in "$root"/fuzz/*_fuzz.cc; do harnesses+=("$(basename "$src" .cc)"); done
fi
ninja -C "$build" "${harnesses[@]}" >/dev/null

status=0
for h in "${harnesses[@]}"; do
  work=$build/work/$h found=$build/found/$h corpus=$root/fuzz/corpus/$h
  mkdir -p "$work" "$found" "$corpus"
  if [ $merge -eq 1 ]; then
    "$build/bin/$h" -merge=1 "$corpus" "$work" 2>&1 | tail -n 1
    continue
  fi
  echo "=== $h: $seconds s"
  if ! "$build/bin/$h" -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 \
      -artifact_prefix="$found/" "$work" "$corpus" 2>"$build/$h.log"; then
    status=1
  fi
  grep -E '^(stat::number_of_executed_units|stat::new_units_added|SUMMARY)|property violated' \
    "$build/$h.log" || true
  tail -n 1 "$build/$h.log" | grep -E '^Done' || true
done
exit $status
