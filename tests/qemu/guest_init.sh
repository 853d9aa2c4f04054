#!/bin/sh
# /init of the QEMU guest that runs quorvel-setup on the kernel's own serial drivers (8250 on
# /dev/ttyS1-3, ftdi_sio on /dev/ttyUSB0-1). Runs as PID 1 under busybox sh.
#
# The host drives it through an agent on the virtio console /dev/hvc0, so that no 16550 but the
# tested ones ever carries a byte:
#   guest -> host  "@@READY\n" once /dev/ttyUSB1 is there ("@@NOUSB\n" when it never came)
#   host -> guest  "SEQ COMMAND\n": COMMAND is run with eval in the agent's own shell
#   guest -> host  "@@SEQ\n", the command's output, then "\n@@SEQ STATUS\n"
# Functions for the host (tool slot N is 1 or 2):
#   start N ARGS...   runs the tool in the background, killed (status 137) after 180 s;
#                     keyboard the fifo /tmp/kN (written on fd N+3), stdout /tmp/oN, stderr /tmp/eN
#   finish N          waits for the tool and returns its exit status
#   waitfor FILE TEXT COUNT  waits up to 20 s for FILE to hold the fixed string TEXT COUNT times

# shellcheck shell=dash
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
exec </dev/null >/dev/null 2>/dev/kmsg
mkdir -p /run/lock /var
ln -sfn /run/lock /var/lock
while read -r module; do insmod "$module"; done </lib/modules/load-order

start() {
  local n="$1"
  shift
  rm -f "/tmp/o$n" "/tmp/e$n"
  [ -p "/tmp/k$n" ] || mkfifo "/tmp/k$n"
  # Read-write, so the tool never sees its keyboard end while the agent holds it.
  eval "exec $((n + 3))<>/tmp/k$n"
  timeout -s KILL 180 /bin/quorvel-setup "$@" <"/tmp/k$n" >"/tmp/o$n" 2>"/tmp/e$n" 4>&- 5>&- &
  echo $! >"/tmp/p$n"
}

finish() {
  wait "$(cat "/tmp/p$1")"
  set -- $? "$1"
  eval "exec $(($2 + 3))>&-"
  return "$1"
}

waitfor() {
  for _ in $(seq 400); do
    [ "$(grep -aoF -e "$2" "$1" | wc -l)" -ge "$3" ] && return 0
    sleep 0.05
  done
  return 1
}

until [ -e /dev/hvc0 ]; do sleep 0.05; done
exec 3<>/dev/hvc0
# No echo, no line editing, no CR/NL translation either way, no signals from the line.
stty raw -echo <&3
for _ in $(seq 200); do [ -e /dev/ttyUSB1 ] || sleep 0.05; done
if [ -e /dev/ttyUSB1 ]; then printf '@@READY\n' >&3; else printf '@@NOUSB\n' >&3; fi
# The agent runs in a subshell, so that nothing a command does ends PID 1.
(
  while read -r seq line <&3; do
    eval "$line" </dev/null >/tmp/.out 2>&1 3>&-
    set -- $?
    { printf '@@%s\n' "$seq" && cat /tmp/.out && printf '\n@@%s %d\n' "$seq" "$1"; } >&3
  done
)
poweroff -f
