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

give_up() {
  echo "$1"
  echo "0 passed, 1 failed"
  exit 1
}

# clang, then the fuzzer runtime of that clang's version from the same release.
scripts/install-deps.sh clang || give_up "could not install clang"
major=$(clang -dumpversion | cut -d. -f1)
if apt-cache show "libclang-rt-$major-dev" >/dev/null 2>&1; then
  scripts/install-deps.sh "libclang-rt-$major-dev" || give_up "could not install libclang-rt-$major-dev"
fi

log="$build/build.log"
mkdir -p "$build"
if ! { cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ &&
  cmake --build "$build" -j"$(nproc)"; } >"$log" 2>&1; then
  tail -20 "$log"
  give_up "the fuzz targets did not build"
fi

# In the background, one per target; the machine's cores share them.
pids=()
for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target"
  # In a subshell, so the shell's own note of a crashed target lands in the log too.
  ("$build/fuzz-$target" "$build/corpus/$target" "fuzz/corpus/$target" \
    -max_total_time="$seconds" -max_len=1024 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="fuzz/corpus/$target/"
  exit $?) >"$build/fuzz-$target.log" 2>&1 &
  pids+=($!)
done

passed=0
failed=0
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  status=0
  wait "${pids[$i]}" || status=$?
  log="$build/fuzz-$target.log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ "$status" -eq 0 ]; then
    echo "PASS fuzz-$target: ${runs:-?} runs in $seconds s, no finding"
    passed=$((passed + 1))
  else
    found=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | head -n 1)
    why=$(grep -m 1 -E 'check failed|ERROR: |runtime error' "$log" || tail -n 1 "$log")
    echo "FAIL fuzz-$target: exit $status, ${found:+input kept as $found, }log $log: $why"
    failed=$((failed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
