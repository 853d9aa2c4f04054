#!/usr/bin/env bash
# Installs the Debian packages that building and testing on Linux need, when missing.
# Usage: scripts/install-deps.sh [--build] [extra package ...]   (as root, or with sudo)
#   --build   only what building needs (compiler, cmake), not the test tools
set -euo pipefail

packages=(cmake make g++)
if [ "${1:-}" = "--build" ]; then
  shift
else
  # GoogleTest, memcheck, and libfaketime for the PC clock the end-to-end tests set.
  packages+=(libgtest-dev valgrind faketime)
fi
packages+=("$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get -o DPkg::Lock::Timeout=900 update -qq
$sudo apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
