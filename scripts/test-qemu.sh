#!/usr/bin/env bash
# Runs quorvel-setup, built statically, inside a small QEMU guest on the kernel's own serial
# drivers: the 8250 UART (/dev/ttyS1-3) and the ftdi_sio USB adapter (/dev/ttyUSB0-1), each
# with quorvel-sim, the simulated unit, on the host side. The guest is Debian's stock kernel
# (downloaded once, into a cache, never installed) with an initramfs of busybox, the tool, the
# modules below and tests/qemu/guest_init.sh as /init; build/tests/qemu_driver_tests boots it
# and drives it.
#
# Usage: bash scripts/test-qemu.sh      (from the repo root; as root, or with sudo, when packages
#                                        or the package lists are missing)
#   QUORVEL_QEMU_CACHE   where the kernel is kept (default ~/.cache/quorvel-qemu)
#   QUORVEL_QEMU_KEEP    a folder to keep the run's logs, the units' wires and QEMU's trace in
#   QUORVEL_QEMU_CASES   run only the cases whose name holds this text
# Ends with the host program's "N passed, M failed" and its exit status; when this script
# fails before that, with one line saying why and "0 passed, 1 failed".
set -Eeuo pipefail
cd "$(dirname "$0")/.."

cache="${QUORVEL_QEMU_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvel-qemu}"
# The agent's virtio console and the USB adapter, each module after the ones it depends on.
modules=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_console
  usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio)

work=$(mktemp -d)
# The test program leaves the PIDs of QEMU and the units it started in run/*.pid.
trap 'kill $(cat "$work"/run/*.pid 2>/dev/null) 2>/dev/null; rm -rf "$work"' EXIT
give_up() {
  echo "$1"
  echo "0 passed, 1 failed"
  exit 1
}
trap 'give_up "scripts/test-qemu.sh failed at line $LINENO"' ERR
# quietly LOG COMMAND...: the command's output goes to LOG, and its end to the terminal if it fails.
quietly() {
  local log=$1
  shift
  "$@" >>"$log" 2>&1 && return 0
  tail -20 "$log"
  return 1
}
# (readelf's output read whole: grep -q would end a pipe early, and pipefail would count that.)
static() { ! grep -q "program interpreter" <<<"$(readelf -l "$1")"; }

quietly "$work/deps.log" scripts/install-deps.sh qemu-system-x86 busybox-static xz-utils ||
  give_up "could not install the packages the QEMU stage needs"

# --- the kernel: the package linux-image-amd64 points at, unpacked into the cache
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n -E 's/^ *Depends: (linux-image-[^ ]*-amd64)$/\1/p' | sed -n 1p || true
}
package=$(kernel_package)
if [ -z "$package" ]; then
  scripts/install-deps.sh --lists # a fresh machine may have empty package lists
  package=$(kernel_package)
fi
[ -n "$package" ] || give_up "apt-cache depends linux-image-amd64 names no kernel package"
kernel_dir="$cache/$package"
if [ ! -f "$kernel_dir/.unpacked" ]; then
  echo "Downloading $package into $cache"
  rm -rf "$kernel_dir"
  mkdir -p "$kernel_dir" "$work/download"
  # As root apt-get warns that the _apt user cannot reach the folder, which does no harm.
  (cd "$work/download" && quietly ../download.log apt-get download "$package") ||
    give_up "could not download $package"
  dpkg-deb -x "$work/download/$package"_*.deb "$kernel_dir" || give_up "could not unpack $package"
  touch "$kernel_dir/.unpacked"
fi
versions=("$kernel_dir"/lib/modules/*)
[ ${#versions[@]} -eq 1 ] || give_up "$package does not hold exactly one lib/modules/<version>"
modules_dir=${versions[0]}
kernel="$kernel_dir/boot/vmlinuz-${modules_dir##*/}"
[ -f "$kernel" ] || give_up "$package has no $kernel"

# --- the tool, static, and the host's test program and simulated unit
quietly "$work/static.log" cmake -S . -B build-qemu -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_EXE_LINKER_FLAGS=-static || give_up "could not configure the static build in build-qemu"
quietly "$work/static.log" cmake --build build-qemu -j2 --target quorvel-setup ||
  give_up "could not build the static quorvel-setup in build-qemu"
static build-qemu/quorvel-setup || give_up "build-qemu/quorvel-setup asks for a program interpreter"
quietly "$work/host.log" cmake -S . -B build -DBUILD_TESTING=ON || give_up "could not configure build"
quietly "$work/host.log" cmake --build build -j2 --target qemu_driver_tests quorvel-sim ||
  give_up "could not build qemu_driver_tests and quorvel-sim in build"

# --- the initramfs
root="$work/root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,run,var,lib/modules}
static /bin/busybox || give_up "/bin/busybox is not the static one of busybox-static"
cp /bin/busybox build-qemu/quorvel-setup "$root/bin/"
ln -s busybox "$root/bin/sh" # the interpreter /init names; /init makes the other applets' links
install -m 755 tests/qemu/guest_init.sh "$root/init"
# Names with - and _ are the same module; modules.builtin lists paths, depends= names.
loaded=" $(tr - _ <"$modules_dir/modules.builtin" | sed -E 's|.*/||; s|\.ko$||' | tr '\n' ' ')"
for module in "${modules[@]}"; do
  name=$(tr - _ <<<"$module")
  [[ "$loaded" == *" $name "* ]] && continue # built in
  file=$(find "$modules_dir/kernel" \( -name "$name.ko*" -o -name "$(tr _ - <<<"$name").ko*" \) \
    -print -quit)
  [ -n "$file" ] || give_up "$package has no module $module, and it is not built in"
  case "$file" in
    *.ko) cp "$file" "$root/lib/modules/$name.ko" ;;
    *.ko.xz) xz -dc "$file" >"$root/lib/modules/$name.ko" ;;
    *) give_up "$file: a module compressed in a way this script does not know" ;;
  esac
  depends=$(tr '\0' '\n' <"$root/lib/modules/$name.ko" | sed -n 's/^depends=//p')
  depends=${depends%%$'\n'*} # (read whole: a sed that quits early would fail the pipe)
  for dependency in ${depends//,/ }; do
    [[ "$loaded" == *" $(tr - _ <<<"$dependency") "* ]] ||
      give_up "$module needs $dependency, which is neither loaded before it nor built in"
  done
  loaded+="$name "
  echo "$name.ko" >>"$root/lib/modules/load-order"
done
(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$work/initrd.gz"

# --- the tests
mkdir "$work/run"
trap - ERR
status=0
build/tests/qemu_driver_tests "$kernel" "$work/initrd.gz" "$work/run" build/quorvel-sim || status=$?
[ "$status" -eq 0 ] || tail -5 "$work/run/qemu.log"
if [ -n "${QUORVEL_QEMU_KEEP:-}" ]; then
  mkdir -p "$QUORVEL_QEMU_KEEP"
  cp -r "$work/run/." "$QUORVEL_QEMU_KEEP/"
fi
exit $status
