#!/usr/bin/env bash
# Runs quorvel-setup, built statically, inside a small QEMU guest on the kernel's own serial
# drivers: the 8250 UART (/dev/ttyS1-3) and the ftdi_sio USB adapter (/dev/ttyUSB0-1), each
# with quorvel-sim, the simulated unit, on the host side. The guest is Debian's stock kernel
# (downloaded once, into a cache, never installed) with an initramfs of busybox, the tool, the
# modules below and tests/qemu/guest_init.sh as /init; build/tests/qemu_driver_tests drives it.
#
# Usage: bash scripts/test-qemu.sh      (from the repo root; as root, or with sudo, when packages
#                                        or the package lists are missing)
#   QUORVEL_QEMU_CACHE   where the kernel is kept (default ~/.cache/quorvel-qemu)
#   QUORVEL_QEMU_KEEP    a folder to keep the run's folder in: logs, wires, QEMU's trace, initramfs
#   QUORVEL_QEMU_CASES   run only the cases whose name holds this text
# Ends with the host program's "N passed, M failed" and its exit status; when this script
# fails before that, with the failing command's line, the end of its log and "0 passed, 1 failed".
set -Eeuo pipefail
cd "$(dirname "$0")/.."

cache="${QUORVEL_QEMU_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvel-qemu}"
# The agent's virtio console and the USB adapter, each module after the ones it depends on.
modules=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_console
  usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio)
# The run's folder: the setup's log, the initramfs, the units' wires, QEMU's pipes and trace.
run=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; [ -z "${QUORVEL_QEMU_KEEP:-}" ] ||
  { mkdir -p "$QUORVEL_QEMU_KEEP" && cp -r "$run/." "$QUORVEL_QEMU_KEEP"; }; rm -rf "$run"' EXIT
trap 'printf "%s\nscripts/test-qemu.sh failed at line $LINENO\n0 passed, 1 failed\n" \
  "$(tail -20 "$run/setup.log")" >&3' ERR
# What is not for the reader goes into the log; fd 3 and 4 are the script's own output.
exec 3>&1 4>&2 >"$run/setup.log" 2>&1

scripts/install-deps.sh qemu-system-x86 busybox-static xz-utils
# The kernel: the package linux-image-amd64 points at, unpacked into the cache. The package lists
# may be missing on a machine that had every package above.
scripts/install-deps.sh --lists
package=$(apt-cache depends linux-image-amd64 | grep -m1 -oE 'linux-image-.*-amd64$')
if [ ! -f "$cache/$package/.unpacked" ]; then
  echo "Downloading $package into $cache" >&3
  # As root apt-get warns that the _apt user cannot reach the folder, which does no harm.
  rm -rf "${cache:?}/$package" && mkdir -p "$cache/$package" # nothing half unpacked is kept
  (cd "$run" && apt-get download "$package")
  dpkg-deb -x "$run/$package"_*.deb "$cache/$package"
  touch "$cache/$package/.unpacked"
fi
modules_dir=$(echo "$cache/$package"/lib/modules/*)

# The tool, static (it runs with no program interpreter), and the host's test program and unit.
cmake -S . -B build-qemu -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_EXE_LINKER_FLAGS=-static
cmake --build build-qemu -j2 --target quorvel-setup
cmake -S . -B build -DBUILD_TESTING=ON
cmake --build build -j2 --target qemu_driver_tests quorvel-sim

# The initramfs: busybox, the tool, the modules not built in (decompressed, numbered in order).
root="$run/root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,run,var,lib/modules}
cp /bin/busybox build-qemu/quorvel-setup "$root/bin/" # /init makes the applets' links
install -m 755 tests/qemu/guest_init.sh "$root/init"
for i in "${!modules[@]}"; do
  pattern=${modules[i]//[-_]/[-_]} # names with - and _ are the same module
  grep -qE "/$pattern\.ko" "$modules_dir/modules.builtin" && continue
  file=$(find "$modules_dir/kernel" -regex ".*/$pattern\.ko\(\.xz\)?" -print -quit)
  xz -dcf "$file" >"$root/lib/modules/$((i + 10))-${modules[i]}.ko" # -f: one not compressed too
done
(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$run/initrd.gz"

# Each unit on a pseudo-terminal, named as its QEMU chardev: s1-s3 for the 16550s at index 1-3,
# u0 and u1 for the adapters; devices collects the chardevs and the devices they serve.
for unit in s1 "s2 --flood --silent" "s3 --pace line" u0 "u1 --flood --silent"; do
  set -- $unit
  build/quorvel-sim --link "$run/$1.link" --wire "$run/$1.wire" "${@:2}" >"$run/$1.log" 2>&1 3>&- 4>&- &
  timeout 10 bash -c "until [ -e '$run/$1.link' ]; do sleep 0.05; done"
  [[ $1 == s* ]] && device="isa-serial,index=${1#s}" || device="usb-serial,id=$1"
  devices+=(-chardev "serial,id=$1,path=$run/$1.link" -device "$device,chardev=$1")
done
# The agent's pipes (QEMU reads agent.in and writes agent.out) and the monitor's, QEMU's
# standard input: it answers in qemu.log.
mkfifo "$run"/{agent.in,agent.out,monitor}
# The trace: the 16550s' register writes and rates, the adapters' control requests and rates,
# and the xHCI transfers (usb_xhci_xfer_start and _success) that carry their bytes.
qemu-system-x86_64 -machine q35 -m 256 -nodefaults -display none -no-reboot -device qemu-xhci \
  -kernel "$cache/$package/boot/vmlinuz-${modules_dir##*/}" -initrd "$run/initrd.gz" \
  -append 'console=tty0 panic=-1 quiet' -monitor stdio "${devices[@]}" -device virtio-serial-pci \
  -device virtconsole,chardev=agent -chardev "pipe,id=agent,path=$run/agent" -D "$run/trace.log" \
  -trace serial_write -trace serial_update_parameters -trace 'usb_serial_*' \
  -trace 'usb_xhci_xfer_s*' <>"$run/monitor" >"$run/qemu.log" 2>&1 3>&- 4>&- &
(cd "$run" && "$OLDPWD/build/tests/qemu_driver_tests") >&3 2>&4 || { tail -5 "$run/qemu.log" >&3; exit 1; }
