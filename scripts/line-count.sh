#!/usr/bin/env bash
# Counts the lines of the program and of its tests: non-blank lines that are not only a
# comment. Program: src/, sim/, bench/ (CMakeLists.txt aside). Tests: everything under tests/
# but CMakeLists.txt, the fuzz targets and scripts/test*.sh. Prints both and the tests' share
# of the program, then the same without C++ preprocessor lines (#include and the like).
set -euo pipefail
cd "$(dirname "$0")/.."

# count FILE...: C++ files drop // lines and /* */ blocks; other files (shell) drop # lines.
count() {
  awk '
    FNR == 1 { shell = (FILENAME !~ /\.(cpp|h)$/); block = 0 }
    {
      line = $0
      sub(/^[ \t]+/, "", line)
      if (line == "") next
      if (shell) { if (line ~ /^#/) next; n++; next }
      if (block) { if (line ~ /\*\//) { block = 0; sub(/.*\*\//, "", line); if (line !~ /[^ \t]/) next } else next }
      if (line ~ /^\/\//) next
      if (line ~ /^\/\*/) { if (line !~ /\*\//) { block = 1; next } rest = line; sub(/^\/\*.*\*\//, "", rest); if (rest !~ /[^ \t]/) next }
      n++
      if (line ~ /^#/) pp++
    }
    END { print n + 0, n - pp }' "$@"
}

mapfile -t program < <(find src sim bench -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
mapfile -t tests < <({ find tests -type f ! -name CMakeLists.txt; find fuzz -maxdepth 1 -type f \( -name '*.cpp' -o -name '*.h' \); ls scripts/test*.sh; } | sort)
read -r p p_code < <(count "${program[@]}")
read -r t t_code < <(count "${tests[@]}")
echo "program: $p lines; tests: $t lines ($((t * 100 / p))% of the program; at most 50%)"
echo "without preprocessor lines: program $p_code, tests $t_code ($((t_code * 100 / p_code))%)"
