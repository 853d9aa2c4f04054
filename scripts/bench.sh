#!/usr/bin/env bash
# Builds the tool, the simulated unit and the benchmark, then runs the benchmark: a full run
# against the unit (two pacings), retries against a silent unit and an idle dialogue prompt,
# printed as a table with the machine named; then the pacing figures (pause_ms(20), the wire span
# of a full run) of the Linux program and, where MinGW-w64 and Wine are installed
# (scripts/install-win32-deps.sh), of the Windows program under Wine beside it: the 32-bit build,
# or the 64-bit one where the kernel runs no 32-bit programs. It measures; it does not judge.
# Usage: scripts/bench.sh [--runs N] [--retry-seconds S] [--idle-seconds S]
#   BENCH_BUILD   build directory (default build-bench); the Windows build goes to build-win32
#                 (build-win64 where the kernel runs no 32-bit programs)
set -euo pipefail
cd "$(dirname "$0")/.."

build="${BENCH_BUILD:-build-bench}"
scripts/install-deps.sh --build
cmake -S . -B "$build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target quorvel-bench quorvel-setup quorvel-sim >/dev/null

windows=()
source scripts/wine-prefix.sh
windows_test_build
compiler=i686-w64-mingw32-g++
[ "$win_bits" = 64 ] && compiler=x86_64-w64-mingw32-g++
if command -v "$compiler" >/dev/null && command -v wine >/dev/null; then
  echo "(the Windows rows: the $win_bits-bit build under $win_bits-bit Wine; $win_why)"
  cmake -S . -B "$win_dir" -DCMAKE_TOOLCHAIN_FILE="$win_toolchain" >/dev/null
  cmake --build "$win_dir" -j2 --target quorvel-setup quorvel-pause-probe >/dev/null
  tmp=$(mktemp -d)
  trap 'wine_prefix_stop; rm -rf "$tmp"' EXIT
  wine_prefix_start "$tmp/prefix" && windows=(--windows "$win_dir")
else
  echo "(no $compiler or Wine: only the Linux program is measured; scripts/install-win32-deps.sh)"
fi
"$build/quorvel-bench" "$@" "${windows[@]}"
