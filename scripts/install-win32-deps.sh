#!/usr/bin/env bash
# Installs what building the Windows program and running it under Wine needs: the 32-bit
# MinGW-w64 C++ cross compiler and a 32-bit Wine. Safe to run again: it installs only what is
# missing and runs `apt-get update` once, only when something is. Needs root.
set -euo pipefail

packages=(g++-mingw-w64-i686 wine wine32:i386)

if [ "$(id -u)" -ne 0 ]; then
  echo "install-win32-deps: must run as root" >&2
  exit 1
fi

# wine32 comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi

missing=()
for pkg in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$pkg" 2>/dev/null || true)
  if [ "${status:0:2}" != "ii" ]; then
    missing+=("$pkg")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "install-win32-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
