#!/usr/bin/env bash
# Rehearses a run: builds if needed, starts the simulated unit, programs it with the tool and
# shows the unit's final state. Options given here replace the demo's own settings.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -x build/quorvel-setup ] || [ ! -x build/quorvel-sim ]; then
  scripts/install-deps.sh --build >/dev/null
  cmake -S . -B build >/dev/null
  cmake --build build -j"$(nproc)" --target quorvel-setup quorvel-sim >/dev/null
fi

work=$(mktemp -d)
unit="$work/unit"
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

build/quorvel-sim --link "$unit" >"$work/unit.log" &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/unit.log" ] && break; sleep 0.05; done

if [ $# -eq 0 ]; then
  set -- -t 12:30:00 -d '7\12\2009' -1 1,2,3 -2 10,50,20,5
fi
status=0
build/quorvel-setup -c "$unit" "$@" || status=$?

kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
echo
echo "Simulated unit, final state:"
grep '^final:' "$work/unit.log" | sed 's/^final: /  /'
exit "$status"
