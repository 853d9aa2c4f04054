#!/bin/busybox sh
# /init of the QEMU guest that runs quorvel-setup on the kernel's own serial drivers (8250 on
# /dev/ttyS1-3, ftdi_sio on /dev/ttyUSB0-1). Runs as PID 1 under busybox sh.
#
# The host drives it through an agent on the virtio console /dev/hvc0, so that no 16550 but the
# tested ones ever carries a byte. The agent greets with "\n@@0\n" once /dev/ttyUSB1 is there
# ("\n@@1\n" when it never came); then for each line the host sends it runs the line with eval
# in its own shell and answers with the line's output and "\n@@STATUS\n". Every command the
# host sends ends within 180 s, so an answer never comes late.
# Functions for the host:
#   start ARGS...  runs the tool in the background (PID $tool: `wait $tool` gives its exit
#                  status), killed (status 137) after 180 s; its stdout is /tmp/o, its stderr
#                  /tmp/e, its keyboard the fifo /tmp/k, which the agent holds open on fd 4
#   waitfor FILE TEXT COUNT  waits up to 20 s for FILE to hold the fixed string TEXT COUNT times

# shellcheck shell=dash
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
exec </dev/null >/dev/null 2>/dev/kmsg
mkdir -p /run/lock && ln -s /run/lock /var/lock && mkfifo /tmp/k
# The modules are numbered in the order they load in.
for module in /lib/modules/*.ko; do insmod "$module"; done

start() {
  rm -f /tmp/o /tmp/e
  # Read-write, so the tool never sees its keyboard end while the agent holds it.
  exec 4<>/tmp/k
  timeout -s KILL 180 quorvel-setup "$@" </tmp/k >/tmp/o 2>/tmp/e 4>&- & tool=$!
}

waitfor() {
  timeout 20 sh -c 'until [ "$(grep -aoF -e "$2" "$1" | wc -l)" -ge "$3" ]; do sleep 0.05; done' \
    - "$@"
}

until [ -e /dev/hvc0 ]; do sleep 0.05; done
exec 3<>/dev/hvc0
# No echo, no line editing, no CR/NL translation either way, no signals from the line.
stty raw -echo <&3
timeout 10 sh -c 'until [ -e /dev/ttyUSB1 ]; do sleep 0.05; done'
# The status printed is the greeting's, then each line's.
while printf '\n@@%d\n' $? >&3 && read -r line <&3; do
  eval "$line" </dev/null >&3 2>&1 3>&-
done
