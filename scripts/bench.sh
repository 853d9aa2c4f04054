#!/usr/bin/env bash
# Builds the tool, the simulated unit and the benchmark, then runs the benchmark: a full run
# against the unit (two pacings), retries against a silent unit and an idle dialogue prompt,
# printed as a table with the machine named. It measures; it does not judge.
# Usage: scripts/bench.sh [--runs N] [--retry-seconds S] [--idle-seconds S]
#   BENCH_BUILD   build directory (default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."

build="${BENCH_BUILD:-build-bench}"
scripts/install-deps.sh --build
cmake -S . -B "$build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target quorvel-bench >/dev/null
exec "$build/quorvel-bench" "$@"
