#!/usr/bin/env bash
# Builds the tool, the simulated unit and the benchmark, then runs the benchmark: a full run
# against the unit (two pacings), retries against a silent unit and an idle dialogue prompt,
# printed as a table with the machine named; then the pacing figures (pause_ms(20), the wire span
# of a full run) of the Linux program and, where MinGW-w64 and Wine are installed
# (scripts/install-win32-deps.sh), of the Windows program under Wine beside it. It measures; it
# does not judge.
# Usage: scripts/bench.sh [--runs N] [--retry-seconds S] [--idle-seconds S]
#   BENCH_BUILD   build directory (default build-bench); the Windows build goes to build-win32
set -euo pipefail
cd "$(dirname "$0")/.."

build="${BENCH_BUILD:-build-bench}"
scripts/install-deps.sh --build
cmake -S . -B "$build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target quorvel-bench quorvel-setup quorvel-sim >/dev/null

windows=()
if command -v i686-w64-mingw32-g++ >/dev/null && command -v wine >/dev/null; then
  cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake >/dev/null
  cmake --build build-win32 -j2 --target quorvel-setup quorvel-pause-probe >/dev/null
  source scripts/wine-prefix.sh
  tmp=$(mktemp -d)
  trap 'wine_prefix_stop; rm -rf "$tmp"' EXIT
  wine_prefix_start "$tmp/prefix" && windows=(--windows build-win32)
else
  echo "(no MinGW-w64 or Wine: only the Linux program is measured; scripts/install-win32-deps.sh)"
fi
"$build/quorvel-bench" "$@" "${windows[@]}"
