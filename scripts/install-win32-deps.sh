#!/usr/bin/env bash
# Installs what building the Windows program and running its tests under Wine needs: the 32-bit
# MinGW-w64 C++ cross compiler for the shipped .exe, `file` for checking it, and the Wine the
# tests run under: 32-bit Wine (from the i386 architecture) where the kernel runs 32-bit
# programs, else 64-bit Wine with the 64-bit cross compiler (scripts/wine-prefix.sh decides).
# Safe to run again: only what is missing is installed (as root, or through sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-prefix.sh
windows_test_build

if [ "$win_bits" = 32 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo dpkg --add-architecture i386
  fi
  exec scripts/install-deps.sh g++-mingw-w64-i686 wine wine32:i386 file
fi
exec scripts/install-deps.sh g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 file
