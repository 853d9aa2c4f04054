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
# fails before that, with the failing command's line, the end of its log and "0 passed, 1 failed".
set -Eeuo pipefail
cd "$(dirname "$0")/.."

cache="${QUORVEL_QEMU_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvel-qemu}"
# The agent's virtio console and the USB adapter, each module after the ones it depends on.
modules=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_console
  usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio)

work=$(mktemp -d)
log="$work/setup.log"
# The test program leaves the PIDs of QEMU and the units it started in run/*.pid.
trap 'kill $(cat "$work"/run/*.pid 2>/dev/null) 2>/dev/null; rm -rf "$work"' EXIT
trap 'tail -20 "$log"; echo "scripts/test-qemu.sh failed at line $LINENO"; echo "0 passed, 1 failed"' ERR

scripts/install-deps.sh qemu-system-x86 busybox-static xz-utils >>"$log" 2>&1
# The kernel: the package linux-image-amd64 points at (on a fresh machine, once the package
# lists are there), unpacked into the cache.
kernel_package() { apt-cache depends linux-image-amd64 2>>"$log" | grep -m1 -oE 'linux-image-.*-amd64$'; }
package=$(kernel_package || { scripts/install-deps.sh --lists >>"$log" 2>&1 && kernel_package; })
if [ ! -f "$cache/$package/.unpacked" ]; then
  echo "Downloading $package into $cache"
  rm -rf "${cache:?}/$package"
  mkdir -p "$cache/$package" "$work/download"
  # As root apt-get warns that the _apt user cannot reach the folder, which does no harm.
  (cd "$work/download" && apt-get download "$package") >>"$log" 2>&1
  dpkg-deb -x "$work/download/$package"_*.deb "$cache/$package"
  touch "$cache/$package/.unpacked"
fi
modules_dir=$(echo "$cache/$package"/lib/modules/*)
kernel="$cache/$package/boot/vmlinuz-${modules_dir##*/}"

# The tool, static (it runs with no program interpreter), and the host's test program and unit.
{
  cmake -S . -B build-qemu -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_EXE_LINKER_FLAGS=-static
  cmake --build build-qemu -j2 --target quorvel-setup
  cmake -S . -B build -DBUILD_TESTING=ON
  cmake --build build -j2 --target qemu_driver_tests quorvel-sim
} >>"$log" 2>&1

# The initramfs: busybox, the tool, the modules not built in (decompressed, in their order).
root="$work/root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,run,var,lib/modules}
cp /bin/busybox build-qemu/quorvel-setup "$root/bin/"
ln -s busybox "$root/bin/sh" # the interpreter /init names; /init makes the other applets' links
install -m 755 tests/qemu/guest_init.sh "$root/init"
for module in "${modules[@]}"; do
  pattern=${module//[-_]/[-_]} # names with - and _ are the same module
  grep -qE "/$pattern\.ko" "$modules_dir/modules.builtin" && continue
  file=$(find "$modules_dir/kernel" -regex ".*/$pattern\.ko\(\.xz\)?" -print -quit)
  xz -dcf "$file" >"$root/lib/modules/$module.ko" # -f: an uncompressed module as it is
  echo "/lib/modules/$module.ko" >>"$root/lib/modules/load-order"
done
(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$work/initrd.gz"

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
