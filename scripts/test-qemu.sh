#!/usr/bin/env bash
# Runs quorvel-setup, built statically, inside a small QEMU guest on the kernel's own serial
# drivers: the 8250 UART on /dev/ttyS1 and the ftdi_sio USB adapter on /dev/ttyUSB0, each with a
# fake unit on the host side. The guest is Debian's stock kernel (downloaded once, into a cache,
# never installed) with an initramfs of busybox, the tool, the USB modules and
# tests/qemu/guest_init.sh as /init; build/tests/qemu_driver_tests boots it and drives it.
#
# Usage: bash scripts/test-qemu.sh      (from the repo root; as root, or with sudo, when packages
#                                        or the package lists are missing)
#   QUORVEL_QEMU_CACHE   where the kernel is kept (default ~/.cache/quorvel-qemu)
#   QUORVEL_QEMU_KEEP    a folder to keep the run's sockets' logs and QEMU's trace in
#   QUORVEL_QEMU_CASES   run only the cases whose name holds this text
# Ends with the host program's "N passed, M failed" and its exit status; when this script
# fails before that, with one line saying why and "0 passed, 1 failed".
set -Eeuo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
cache="${QUORVEL_QEMU_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvel-qemu}"
# The modules the USB port needs, each after the ones it depends on.
usb_modules=(usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

give_up() {
  echo "$1"
  echo "0 passed, 1 failed"
  exit 1
}
trap 'give_up "scripts/test-qemu.sh failed at line $LINENO"' ERR


# --- packages
scripts/install-deps.sh qemu-system-x86 busybox-static >"$work/deps.log" 2>&1 || {
  tail -20 "$work/deps.log"
  give_up "could not install the packages the QEMU stage needs"
}

# --- the kernel: the package linux-image-amd64 points at, unpacked into the cache
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n -E 's/^ *Depends: (linux-image-[^ ]*-amd64)$/\1/p' | sed -n 1p  || true
}
package=$(kernel_package)
if [ -z "$package" ]; then
  # A fresh machine may have empty package lists.
  scripts/install-deps.sh --lists
  package=$(kernel_package)
fi
[ -n "$package" ] || give_up "apt-cache depends linux-image-amd64 names no kernel package"
kernel_dir="$cache/$package"
if [ ! -f "$kernel_dir/.unpacked" ]; then
  echo "Downloading $package into $cache"
  rm -rf "$kernel_dir"
  mkdir -p "$kernel_dir" "$work/download"
  # apt-get download writes into the current directory; as root it warns that the _apt user
  # cannot reach it, which does no harm.
  (cd "$work/download" && apt-get download "$package") >"$work/download.log" 2>&1 || {
    tail -5 "$work/download.log"
    give_up "could not download $package"
  }
  dpkg-deb -x "$work/download/$package"_*.deb "$kernel_dir" ||
    give_up "could not unpack $package"
  rm -rf "$work/download"
  touch "$kernel_dir/.unpacked"
fi
versions=("$kernel_dir"/lib/modules/*)
if [ ${#versions[@]} -ne 1 ] || [ ! -d "${versions[0]}" ]; then
  give_up "$package does not hold exactly one lib/modules/<version>"
fi
modules_dir=${versions[0]}
version=${modules_dir##*/}
kernel="$kernel_dir/boot/vmlinuz-$version"
[ -f "$kernel" ] || give_up "$package has no boot/vmlinuz-$version"

# --- the tool, static, and the host test program
build_quietly() {
  local log=$1
  shift
  "$@" >>"$log" 2>&1 || {
    tail -40 "$log"
    return 1
  }
}
build_quietly "$work/static.log" cmake -S . -B build-qemu -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS=-static ||
  give_up "could not configure the static build in build-qemu"
build_quietly "$work/static.log" cmake --build build-qemu -j"$jobs" --target quorvel-setup ||
  give_up "could not build the static quorvel-setup in build-qemu"
tool=build-qemu/quorvel-setup
# (Read whole first: grep -q would end the pipe early, and pipefail would count that.)
headers=$(readelf -l "$tool")
if grep -q "program interpreter" <<<"$headers"; then
  give_up "$tool is not static: it asks for a program interpreter"
fi

build_quietly "$work/host.log" cmake -S . -B build -DBUILD_TESTING=ON ||
  give_up "could not configure the build in build"
if ! build_quietly "$work/host.log" cmake --build build -j"$jobs" --target qemu_driver_tests; then
  if grep -q "No rule to make target 'qemu_driver_tests'\|unknown target 'qemu_driver_tests'" \
    "$work/host.log"; then
    give_up "there is no target qemu_driver_tests: the host test program (tests/qemu/) is not in the tree"
  fi
  give_up "could not build the host test program qemu_driver_tests"
fi

# --- the initramfs
root="$work/root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,run,var,lib/modules}
busybox=/bin/busybox
[ -x "$busybox" ] || give_up "there is no $busybox: is busybox-static installed?"
headers=$(readelf -l "$busybox")
if grep -q "program interpreter" <<<"$headers"; then
  give_up "$busybox is not the static busybox of busybox-static"
fi
cp "$busybox" "$root/bin/busybox"
# The interpreter /init names; the other applets' links are made by /init itself.
ln -s busybox "$root/bin/sh"
cp "$tool" "$root/bin/quorvel-setup"
install -m 755 tests/qemu/guest_init.sh "$root/init"

# Names with - and _ are the same module; modules.builtin lists paths, depends= names.
same_name() { tr - _ <<<"$1"; }
built_in() {
  local name
  name=$(same_name "$1")
  tr - _ <"$modules_dir/modules.builtin" | grep -c "/$name\.ko$" >/dev/null
}
loaded=" "
for module in "${usb_modules[@]}"; do
  source_file=$(find "$modules_dir/kernel" \( -name "$module.ko*" -o -name "$(same_name "$module").ko*" \
    -o -name "$(tr _ - <<<"$module").ko*" \) -print -quit)
  if [ -z "$source_file" ]; then
    built_in "$module" && continue
    give_up "$package has no module $module, and it is not built in"
  fi
  target="$root/lib/modules/$module.ko"
  case "$source_file" in
    *.ko) cp "$source_file" "$target" ;;
    *.ko.xz)
      command -v xz >/dev/null || scripts/install-deps.sh xz-utils >/dev/null ||
        give_up "could not install xz-utils for the kernel's modules"
      xz -dc "$source_file" >"$target"
      ;;
    *.ko.zst)
      command -v zstd >/dev/null || scripts/install-deps.sh zstd >/dev/null ||
        give_up "could not install zstd for the kernel's modules"
      zstd -qdc "$source_file" >"$target"
      ;;
    *) give_up "$source_file: a module compressed in a way this script does not know" ;;
  esac
  # Every module it depends on must be loaded before it, or be part of the kernel.
  depends=$(tr '\0' '\n' <"$target" | sed -n 's/^depends=//p')
  depends=${depends%%$'\n'*}
  for dependency in ${depends//,/ }; do
    name=$(same_name "$dependency")
    if [[ "$loaded" != *" $name "* ]] && ! built_in "$dependency"; then
      give_up "$module needs $dependency, which is neither loaded before it nor built in"
    fi
  done
  loaded+="$(same_name "$module") "
  echo "$module.ko" >>"$root/lib/modules/load-order"
done

initrd="$work/initrd.gz"
(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$initrd"

# --- the tests
mkdir "$work/run"
trap - ERR
status=0
build/tests/qemu_driver_tests "$kernel" "$initrd" "$work/run" || status=$?
if [ "$status" -ne 0 ]; then
  echo "--- the end of QEMU's own log"
  tail -5 "$work/run/qemu.log" || true
fi
if [ -n "${QUORVEL_QEMU_KEEP:-}" ]; then
  mkdir -p "$QUORVEL_QEMU_KEEP"
  cp -r "$work/run/." "$QUORVEL_QEMU_KEEP/"
fi
exit $status
