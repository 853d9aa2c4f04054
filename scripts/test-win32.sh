#!/usr/bin/env bash
# Checks the Windows program: builds the shipped 32-bit .exe with MinGW-w64 and checks that it is
# a 32-bit console program needing only Windows' own DLLs, with the Windows manual; then runs the
# Windows tests under Wine (the unit tests, the Windows seams' tests, and the end-to-end cases
# marked wine: the .exe against the simulated unit behind COM names in a Wine prefix of this
# run's own). Those run on the 32-bit build under 32-bit Wine where the kernel
# runs 32-bit programs, else on a 64-bit build of the same sources under 64-bit Wine
# (windows_test_build in scripts/wine-prefix.sh); the output says which and why.
# Ends with "N passed, M failed", counting the tests of all of them.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

passed=0
failed=0
# give_up MESSAGE: the stage ends with one failure more.
give_up() {
  echo "$1"
  echo "$passed passed, $((failed + 1)) failed"
  exit 1
}
# result NAME WHY: one result line; WHY is empty when the check passed.
result() {
  if [ -z "$2" ]; then
    echo "PASS $1"
    passed=$((passed + 1))
  else
    echo "FAIL $1: $2"
    failed=$((failed + 1))
  fi
}

scripts/install-win32-deps.sh || give_up "could not install the MinGW-w64 compiler and Wine"
source scripts/wine-prefix.sh
windows_test_build
echo "Windows tests on the $win_bits-bit build under $win_bits-bit Wine: $win_why"
tmp=$(mktemp -d)
trap 'wine_prefix_stop; rm -rf "$tmp"' EXIT

# Builds quietly; the log is shown only when something fails.
quiet() {
  "$@" >"$tmp/build.log" 2>&1 || { tail -40 "$tmp/build.log"; give_up "failed: $*"; }
}
quiet cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake \
  -DBUILD_TESTING=ON
quiet cmake --build build-win32 -j2 --target quorvel-setup quorvel-manual-txt
if [ "$win_bits" = 64 ]; then
  quiet cmake -S . -B "$win_dir" -DCMAKE_TOOLCHAIN_FILE="$win_toolchain" -DBUILD_TESTING=ON
fi
quiet cmake --build "$win_dir" -j2 --target quorvel-setup unit_tests seam_tests
quiet cmake -S . -B build -DBUILD_TESTING=ON
quiet cmake --build build -j2 --target quorvel-sim e2e_tests
exe=$root/build-win32/quorvel-setup.exe

# The shipped executable is a 32-bit console program that needs only DLLs Windows itself provides
# (winmm for the millisecond timer period).
kind=$(file -b "$exe")
dlls=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
why=
[[ "$kind" == "PE32 executable (console) Intel 80386"* ]] || why="file says: $kind; "
[ -n "$dlls" ] && ! grep -qviE '^(kernel32|msvcrt|winmm)\.dll$' <<<"$dlls" || why+="imports ${dlls//$'\n'/ }"
result "the .exe: a 32-bit console program importing ${dlls//$'\n'/ }" "$why"

# The manual in the zip is the Windows one: nothing of Linux in it, and what a technician on
# Windows looks for, with CR LF line ends.
manual=build-win32/quorvel-setup.txt
why=$(grep -noE '/dev/tty|dialout|SIGINT|by-id|quorvel-sim|sudo|timeout 60' "$manual" | head -5)
for want in 'Device Manager' COM10 'COM3:' '%ERRORLEVEL%' 'Ctrl-C' 'no quoting' 'EXIT STATUS'; do
  grep -qF -- "$want" "$manual" || why+=" missing '$want'"
done
grep -q $'\r$' "$manual" || why+=" no CR LF line ends"
result "the Windows manual, written for Windows" "$why"

# A prefix of this run's own; the Wine cases put the simulated unit behind its COM names.
wine_prefix_start "$tmp/prefix" || give_up "no Wine prefix"

# Runs one GoogleTest program (its failures shown, the rest brief) and adds its counts; a
# program that ends without its summary counts as one failure.
gtest() {
  local name=$1 log=$tmp/$1.log
  shift
  timeout 300 "$@" --gtest_brief=1 </dev/null >"$log" 2>&1
  local status=$? ran good bad
  ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$log" | tail -1)
  good=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log" | tail -1)
  grep -v '^Running main() from' "$log" | sed 's/\r$//' | grep -v '^\[==========\]\|^\[  PASSED  \]'
  if [ -z "$ran" ] || [ "$ran" -eq 0 ]; then
    echo "FAIL $name ran no test (status $status)"
    failed=$((failed + 1))
    return
  fi
  # --gtest_brief leaves out the count of failed tests: what ran and did not pass failed.
  bad=$((ran - ${good:-0}))
  passed=$((passed + ${good:-0}))
  failed=$((failed + bad))
  echo "$name: ${good:-0} passed, $bad failed"
}

started=$SECONDS
gtest "unit tests ($win_bits-bit)" "$win_loader" "$win_dir/tests/windows/unit_tests.exe"
gtest "Windows seams ($win_bits-bit)" "$win_loader" "$win_dir/tests/windows/seam_tests.exe"
[ "$win_bits" = 32 ] && echo "The end-to-end cases that fix the PC's clock run only under 64-bit Wine: libfaketime cannot fix 32-bit Wine's"
QUORVEL_TEST_WINE=$win_bits QUORVEL_TEST_WRAPPER=$win_loader QUORVEL_TEST_TOOL=$root/$win_dir/quorvel-setup.exe \
  gtest "end to end under Wine ($win_bits-bit)" build/tests/e2e_tests
echo "Wine tests took $((SECONDS - started)) s after the prefix was made"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
