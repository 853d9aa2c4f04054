#!/bin/sh
# /init of the QEMU guest that runs quorvel-setup on the kernel's own serial drivers (8250 on
# /dev/ttyS1-3, ftdi_sio on /dev/ttyUSB*). Runs as PID 1 under busybox sh.
#
# The host drives it through an agent on the virtio console /dev/hvc0, so that no 16550 but the
# tested ones ever carries a byte:
#   guest -> host  "@@READY\n" once /dev/ttyUSB0 is there ("@@NOUSB\n" when it never came)
#   host -> guest  "SEQ COMMAND\n": COMMAND is run with eval in the agent's own shell
#   guest -> host  the command's output, then "\n@@SEQ STATUS@@\n"
# Functions for the host (tool slot N is 1..3):
#   start N SECONDS ARGS...  runs the tool in the background, killed (status 137) after
#                            SECONDS; keyboard the fifo /tmp/kN, stdout /tmp/oN, stderr /tmp/eN
#   key N TEXT               types TEXT (printf %b: '\033' is ESC) on the tool's keyboard
#   finish N                 waits for the tool and returns its exit status
#   waitfor SECONDS COMMAND...  runs COMMAND until it succeeds, up to SECONDS; fails after
#   has FILE TEXT COUNT      whether FILE holds the fixed string TEXT COUNT times

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
# In the order the host checked against their dependencies.
while read -r module; do
  insmod "/lib/modules/$module" || true
done </lib/modules/load-order

start() {
  local n="$1" seconds="$2"
  shift 2
  rm -f "/tmp/o$n" "/tmp/e$n"
  [ -p "/tmp/k$n" ] || mkfifo "/tmp/k$n"
  # Read-write, so the tool never sees its keyboard end while the agent holds it.
  eval "exec $((n + 3))<>/tmp/k$n"
  timeout -s KILL "$seconds" /bin/quorvel-setup "$@" <"/tmp/k$n" >"/tmp/o$n" 2>"/tmp/e$n" \
    4>&- 5>&- 6>&- &
  echo $! >"/tmp/p$n"
}

key() {
  eval "printf '%b' \"\$2\" >&$(($1 + 3))"
}

finish() {
  local status
  wait "$(cat "/tmp/p$1")" 2>/dev/null
  status=$?
  eval "exec $(($1 + 3))>&-"
  return $status
}

waitfor() {
  local tries=$(($1 * 20))
  shift
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.05
  done
}

has() {
  [ "$(grep -aoF -e "$2" "$1" 2>/dev/null | wc -l)" -ge "$3" ]
}

waitfor 10 test -e /dev/hvc0
exec 3<>/dev/hvc0
# No echo, no line editing, no CR/NL translation either way, no signals from the line.
stty raw -echo <&3
if waitfor 10 test -e /dev/ttyUSB0; then printf '@@READY\n' >&3; else printf '@@NOUSB\n' >&3; fi
# The agent runs in a subshell, so that nothing a command does ends PID 1.
(
  while read -r seq line <&3; do
    if sh -n -c "$line" >/tmp/.out 2>&1; then
      eval "$line" </dev/null >/tmp/.out 2>&1 3>&-
      status=$?
    else
      status=2
    fi
    cat /tmp/.out >&3
    printf '\n@@%s %d@@\n' "$seq" "$status" >&3
  done
)
poweroff -f
