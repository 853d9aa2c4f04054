#!/usr/bin/env bash
# Runs every test: installs missing packages (as root), builds, then runs the unit and
# end-to-end tests, the same again built with AddressSanitizer and UBSan, one end-to-end run
# under valgrind, the Windows program under Wine, each fuzzer for a bounded time, and the
# install and package checks.   Usage: scripts/test.sh [quick]   (quick: the first step only)
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
passed=0
failed=0
failures=()

step() {
  local name=$1
  shift
  echo "=== $name"
  local started=$SECONDS
  if "$@"; then
    passed=$((passed + 1))
    echo "--- $name: passed ($((SECONDS - started)) s)"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "--- $name: FAILED ($((SECONDS - started)) s)"
  fi
}

build_and_test() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DBUILD_TESTING=ON "$@" >/dev/null &&
    cmake --build "$dir" -j"$jobs" >/dev/null &&
    ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

valgrind_run() {
  # The end-to-end runs of command-line mode with the program under memcheck; any error makes
  # the program exit 99, which fails the test. Its reports go to files, shown on failure.
  local logs
  logs=$(mktemp -d)
  QUORVEL_TEST_WRAPPER="$(command -v valgrind) --log-file=$logs/memcheck.%p --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect" \
    build/tests/e2e_tests --gtest_filter='CommandLine.CleanRuns*:CommandLine.UsageErrors*'
  local status=$?
  [ $status -ne 0 ] && grep -h -A20 "ERROR SUMMARY: [1-9]\|definitely lost: [1-9]" "$logs"/memcheck.* | head -60
  echo "memcheck: $(grep -l 'ERROR SUMMARY: 0 errors' "$logs"/memcheck.* | wc -l) of $(ls "$logs" | wc -l) runs clean"
  rm -rf "$logs"
  return $status
}

scripts/install-deps.sh || { echo "could not install the packages the tests need"; exit 1; }

step "unit and end-to-end tests" build_and_test build
if [ "${1:-}" != "quick" ]; then
  step "the same under AddressSanitizer and UBSan" \
    env ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    bash -c "$(declare -f build_and_test); jobs=$jobs; build_and_test build-asan -DQUORVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"
  step "valgrind memcheck of end-to-end runs" valgrind_run
  for extra in scripts/test-win32.sh scripts/test-fuzz.sh scripts/test-install.sh; do
    [ -x "$extra" ] && step "$(basename "$extra" .sh)" "$extra"
  done
fi

echo
if [ "$failed" -ne 0 ]; then
  echo "failed: ${failures[*]}"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
