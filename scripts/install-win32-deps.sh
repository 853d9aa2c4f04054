#!/usr/bin/env bash
# Installs what building the Windows program and running it under Wine needs: the 32-bit
# MinGW-w64 C++ cross compiler, a 32-bit Wine, and `file` for checking the .exe. Safe to run
# again: only what is missing is installed (as root, or through sudo).
set -euo pipefail
cd "$(dirname "$0")/.."

# wine32 comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo dpkg --add-architecture i386
fi
exec scripts/install-deps.sh g++-mingw-w64-i686 wine wine32:i386 file
