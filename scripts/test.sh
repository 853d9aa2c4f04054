#!/usr/bin/env bash
# Runs every test: installs missing packages (as root), builds, then runs the unit and
# end-to-end tests with the fuzz corpora replayed, the same again built with AddressSanitizer
# and UBSan, the command-line runs under valgrind, and the stages of their own scripts: the
# Windows program under Wine, timed fuzzing, the install and the package, the real serial
# drivers under QEMU.
# Usage: scripts/test.sh [quick]   (quick: the unit and end-to-end tests only)
# Each stage ends with its own line of counts; the last line sums the tests of every stage,
# "N passed, M failed". A stage that ran no test, or failed outside its tests, counts a failure.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
passed=0
failed=0
stage_lines=()
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Sets counted_passed and counted_failed from the last count line of a stage's output: a
# script's own "N passed, M failed" (it sums the test programs it ran), else ctest's "P% tests
# passed, F tests failed out of N". Returns 1 when there is none.
read_counts() {
  local line
  line=$(sed -En 's/^([0-9]+) passed, ([0-9]+) failed.*/\1 \2/p' "$1" | tail -n 1)
  [ -n "$line" ] || line=$(sed -En 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\2 \1/p' "$1" |
    tail -n 1 | awk '{ print $1 - $2, $2 }')
  [ -n "$line" ] || return 1
  counted_passed=${line% *}
  counted_failed=${line#* }
}

# stage NAME COMMAND...: runs the command with its output shown, then the stage's own line.
stage() {
  local name=$1 log=$work/stage.log started=$SECONDS note=""
  shift
  echo "=== $name"
  "$@" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  counted_passed=0 counted_failed=0
  if ! read_counts "$log" || [ $((counted_passed + counted_failed)) -eq 0 ]; then
    counted_failed=$((counted_failed + 1)) note=", no test ran"
  elif [ "$status" -ne 0 ] && [ "$counted_failed" -eq 0 ]; then
    counted_failed=1 note=", exit status $status"
  fi
  passed=$((passed + counted_passed)) failed=$((failed + counted_failed))
  stage_lines+=("--- $name: $counted_passed passed, $counted_failed failed$note ($((SECONDS - started)) s)")
  echo "${stage_lines[-1]}"
}

# Configures and builds quietly (the log shown when that fails), then runs ctest.
build_and_test() {
  local dir=$1
  shift
  { cmake -S . -B "$dir" -DBUILD_TESTING=ON "$@" && cmake --build "$dir" -j"$jobs"; } >"$work/build.log" 2>&1 ||
    { tail -40 "$work/build.log" && echo "the build in $dir failed" && return 1; }
  # Most cases wait on the unit or the clock, not the CPU: twice as many at once as cores.
  ctest --test-dir "$dir" --output-on-failure -j"$((jobs * 2))"
}

valgrind_run() {
  # The end-to-end runs of command-line mode with the program under memcheck; any error makes
  # the program exit 99, which fails the test. Its reports go to files, shown on failure.
  local logs=$work/memcheck clean runs
  mkdir -p "$logs"
  QUORVEL_TEST_WRAPPER="$(command -v valgrind) --log-file=$logs/memcheck.%p --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect" \
    ctest --test-dir build --output-on-failure -j"$jobs" -R '^(command_line|reasons)[.]' ||
    grep -h -A20 "ERROR SUMMARY: [1-9]\|definitely lost: [1-9]" "$logs"/memcheck.* | head -60
  clean=$(grep -l 'ERROR SUMMARY: 0 errors' "$logs"/memcheck.* 2>/dev/null | wc -l)
  runs=$(ls "$logs" | wc -l)
  echo "memcheck: $clean of $runs runs clean"
  # No run under memcheck at all means the wrapper was never applied.
  [ "$runs" -gt 0 ] && [ "$clean" -eq "$runs" ]
}

scripts/install-deps.sh ||
  { printf '%s\n' "could not install the packages the tests need" "0 passed, 1 failed" && exit 1; }

stage "unit and end-to-end tests" build_and_test build
if [ "${1:-}" != "quick" ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    stage "the same under AddressSanitizer and UBSan" \
    build_and_test build-asan -DQUORVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  stage "valgrind memcheck of end-to-end runs" valgrind_run
  stage "Windows program under Wine" bash scripts/test-win32.sh
  stage "fuzzing" bash scripts/test-fuzz.sh
  stage "install and package" bash scripts/test-install.sh
  stage "real serial driver under QEMU" bash scripts/test-qemu.sh
fi

echo
printf '%s\n' "${stage_lines[@]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
