#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang and fuzzes them all at once for a bounded
# time. Each starts from its committed corpus (fuzz/corpus/TARGET, which the quick suite
# replays) and from what earlier runs found (FUZZ_BUILD/corpus/TARGET, kept between runs).
# An input that breaks a target is written into fuzz/corpus/TARGET/ itself, so the quick suite
# fails on it until the fault is fixed and keeps it as a regression test afterwards.
# Usage: scripts/test-fuzz.sh [target ...]
#   FUZZ_SECONDS   seconds of fuzzing per target (default 30; longer for a deeper search)
#   FUZZ_BUILD     build directory (default build-fuzz)
# Prints one line per target, then "N passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-30}"
build="${FUZZ_BUILD:-build-fuzz}"
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(field-formats option-scan key-decoder)
pids=()
mkdir -p "$build"
# apt-cache needs the package lists, which a machine with clang already may not have.
if ! scripts/install-deps.sh clang || ! scripts/install-deps.sh --lists ||
  { major=$(clang -dumpversion | cut -d. -f1) && apt-cache show "libclang-rt-$major-dev" >/dev/null 2>&1 &&
    ! scripts/install-deps.sh "libclang-rt-$major-dev"; } ||
  ! { cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ &&
    cmake --build "$build" -j2; } >"$build/build.log" 2>&1; then
  tail -20 "$build/build.log"
  echo "the fuzz targets could not be built"
  echo "0 passed, 1 failed"
  exit 1
fi
for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target"
  "$build/fuzz-$target" "$build/corpus/$target" "fuzz/corpus/$target" \
    -max_total_time="$seconds" -max_len=1024 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="fuzz/corpus/$target/" >"$build/fuzz-$target.log" 2>&1 &
  pids+=($!)
done
passed=0
failed=0
for i in "${!targets[@]}"; do
  log="$build/fuzz-${targets[$i]}.log"
  if wait "${pids[$i]}"; then
    echo "PASS fuzz-${targets[$i]}: $(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1) runs in $seconds s, no finding"
    passed=$((passed + 1))
  else
    found=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | head -n 1)
    why=$(grep -m 1 -E 'check failed|ERROR: |runtime error' "$log" || tail -n 1 "$log")
    echo "FAIL fuzz-${targets[$i]}: ${found:+input kept as $found, }log $log: $why"
    failed=$((failed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
