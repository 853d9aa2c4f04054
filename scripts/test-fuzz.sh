#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang and runs each for a bounded time on a copy of
# its seed corpus (the committed corpus never grows). Fails on any finding; an input that broke
# a target is kept under the build directory.
# Usage: scripts/test-fuzz.sh [target ...]
#   FUZZ_SECONDS   seconds per target (default 60)
#   FUZZ_BUILD     build directory (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
build="${FUZZ_BUILD:-build-fuzz}"
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(field-formats option-scan key-decoder)

# clang and its fuzzer runtime (Debian 12 keeps libFuzzer in libclang-rt-14-dev).
scripts/install-deps.sh clang libclang-rt-14-dev

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings="$build/findings"
mkdir -p "$findings"

passed=0
failed=0
for target in "${targets[@]}"; do
  binary="$build/fuzz-$target"
  corpus="$work/$target"
  log="$build/fuzz-$target.log"
  mkdir -p "$corpus" "$findings/$target"
  cp fuzz/corpus/"$target"/* "$corpus"/
  status=0
  # In a subshell, so the shell's own note of a crashed target lands in the log too.
  ("$binary" "$corpus" -max_total_time="$seconds" -max_len=1024 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/$target/"; exit $?) >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ "$status" -eq 0 ]; then
    echo "PASS fuzz-$target: ${runs:-?} runs in ${seconds} s, no finding"
    passed=$((passed + 1))
  else
    found=$(ls "$findings/$target" 2>/dev/null | head -n 1)
    why=$(grep -m 1 -E 'check failed|ERROR: |runtime error' "$log" || tail -n 1 "$log")
    echo "FAIL fuzz-$target: exit $status, ${found:+input $findings/$target/$found, }log $log: $why"
    failed=$((failed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
