#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing. Every script that
# installs anything goes through here, so all of them live through a mirror caught mid-sync.
# Usage: scripts/install-deps.sh [--build] [extra package ...]   (as root, or with sudo)
#   --build   only what building needs (compiler, cmake), not the test tools
#   --lists   only make sure the package lists are there (for apt-cache and apt-get download)
# A failed `apt-get update` is tried again after a pause, then let pass with one line saying so:
# the install itself decides. A download cut short is tried once more, and a set that apt
# cannot resolve once more with this machine's own release as the target. A package that still
# cannot be installed ends with one line naming it and apt's reason, and status 1.
set -euo pipefail

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
apt=($sudo apt-get -o DPkg::Lock::Timeout=900)
log=$(mktemp)
trap 'rm -f "$log" "$log.install"' EXIT

# apt's own reason: its first error line, else its last line.
reason() {
  local line
  line=$(grep -m1 '^E: ' "$log" || tail -n 1 "$log")
  echo "${line#E: }"
}

update_lists() {
  local try
  for try in 1 2 3; do
    "${apt[@]}" update -qq >"$log" 2>&1 && return 0
    [ "$try" -lt 3 ] && sleep $((try * 10))
  done
  echo "apt-get update failed three times ($(reason)); installing from the lists there are"
}

lists_present() {
  compgen -G "/var/lib/apt/lists/*_Packages" >/dev/null
}

if [ "${1:-}" = "--lists" ]; then
  lists_present || update_lists
  exit 0
fi

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
update_lists

apt_install() {
  "${apt[@]}" install -y -qq --no-install-recommends "$@" "${missing[@]}" >"$log" 2>&1
}
apt_install && exit 0
# A download cut short by the sync ("Hash Sum mismatch", "Failed to fetch"): once more, on
# lists read again.
if grep -qE 'Hash Sum mismatch|Failed to fetch|File has unexpected size' "$log"; then
  echo "apt could not download them ($(reason)); trying again"
  sleep 10
  update_lists
  apt_install && exit 0
fi
cp "$log" "$log.install"
# Lists half from before a mirror's sync and half from after can pair an amd64 and an i386
# build of one library from different suites; this release's own versions agree.
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ -n "$release" ] && grep -qE 'unmet dependencies|held broken packages' "$log"; then
  echo "apt could not install them ($(reason)); trying again with $release as the target"
  apt_install -t "$release" && exit 0
fi
# Name the package that fails on its own, with apt's reason.
for p in "${missing[@]}"; do
  if ! "${apt[@]}" install -s -qq --no-install-recommends "$p" >"$log" 2>&1; then
    echo "could not install $p: $(reason)"
    exit 1
  fi
done
mv "$log.install" "$log"
echo "could not install ${missing[*]}: $(reason)"
exit 1
