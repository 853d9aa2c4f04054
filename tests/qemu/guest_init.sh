#!/bin/sh
# /init of the QEMU guest that runs quorvel-setup on the kernel's own serial drivers (8250 on
# /dev/ttyS1, ftdi_sio on /dev/ttyUSB0). Runs as PID 1 under busybox sh; scripts/test-qemu.sh
# puts it into the initramfs with busybox, the static tool and the USB modules.
#
# The host drives the guest through an agent on /dev/ttyS0, which nothing else ever writes to:
#   guest -> host  "@@READY\n" once the system is up (after /dev/ttyUSB0 appeared, or 10 s)
#   host -> guest  one shell command a line, run with eval in the agent's own shell (functions
#                  and variables persist), stdin from /dev/null, stdout and stderr captured
#   guest -> host  "@@STATUS COUNT\n" then exactly COUNT bytes: the command's output
# A line that is not valid shell answers status 2 with the shell's message, instead of ending
# the agent. End of input on ttyS0, or an agent that ends (a command that runs exit), powers the
# guest off.
#
# Functions for the host (tool slot N is 1..6):
#   start N ARGS...     runs /bin/quorvel-setup ARGS... in the background: keyboard from the
#                       fifo /tmp/kN (held open by the agent on fd N+3), stdout /tmp/oN,
#                       stderr /tmp/eN, PID in /tmp/pN; returns at once
#   key N TEXT          types TEXT (printf %b escapes: '\033' is ESC) on the tool's keyboard
#   finish N SECONDS    waits for the tool to end; returns its exit status, or 124 when it was
#                       still running at the deadline and was killed; closes the keyboard fifo
#   waitfor N TEXT COUNT SECONDS [o|e]      (whole seconds)
#                       waits until /tmp/oN (o, the default) or /tmp/eN (e) holds the fixed
#                       string TEXT at least COUNT times; returns 0, or 1 at the deadline
#   uptime_ms           prints the milliseconds since boot

# shellcheck shell=dash
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /sys /dev /tmp /run /var
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
# Init starts without a console (console= points at tty0, and the initramfs has no /dev):
# from here on its own output goes nowhere near ttyS0; errors go to the kernel log.
exec </dev/null >/dev/null 2>/dev/kmsg
mkdir -p /run/lock
chmod 1777 /run/lock
ln -sfn /run/lock /var/lock

# The USB modules, in the order the host checked against their dependencies; one already
# loaded or built in only fails its insmod.
if [ -f /lib/modules/load-order ]; then
  while IFS= read -r module; do
    if [ -n "$module" ]; then
      insmod "/lib/modules/$module" || true
    fi
  done </lib/modules/load-order
fi

uptime_ms() {
  local up rest
  read -r up rest </proc/uptime
  # /proc/uptime gives seconds with two decimals.
  echo $((${up%.*} * 1000 + 1${up#*.} * 10 - 1000))
}

start() {
  local n="$1"
  shift
  rm -f "/tmp/k$n" "/tmp/o$n" "/tmp/e$n" "/tmp/p$n" "/tmp/x$n"
  mkfifo "/tmp/k$n"
  # Read-write, so neither this open nor the tool's blocks and the tool never sees end of
  # input while the agent holds it.
  eval "exec $((n + 3))<>/tmp/k$n"
  (
    # The tool gets none of the other slots' keyboards.
    exec 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-
    exec /bin/quorvel-setup "$@" <"/tmp/k$n" >"/tmp/o$n" 2>"/tmp/e$n"
  ) &
  echo $! >"/tmp/p$n"
}

key() {
  local n="$1"
  shift
  eval "printf '%b' \"\$*\" >&$((n + 3))"
}

finish() {
  local n="$1" seconds="$2" pid watchdog status
  pid=$(cat "/tmp/p$n") || return 127
  # The watchdog kills the tool at the deadline and leaves a mark; the tool's end ends the
  # watchdog, sleep included.
  (
    sleep "$seconds" &
    trap 'kill $! 2>/dev/null; exit 0' TERM
    wait $!
    : >"/tmp/x$n"
    kill -9 "$pid" 2>/dev/null
  ) &
  watchdog=$!
  # (The shell would report a tool killed by a signal, "Killed", on stderr.)
  wait "$pid" 2>/dev/null
  status=$?
  # (A watchdog ended before its trap was set would be reported as "Terminated".)
  {
    kill "$watchdog"
    wait "$watchdog"
  } 2>/dev/null
  if [ "$status" -eq 137 ] && [ -e "/tmp/x$n" ]; then
    status=124
  fi
  eval "exec $((n + 3))>&-"
  return "$status"
}

waitfor() {
  local n="$1" text="$2" count="$3" seconds="$4" file="/tmp/${5:-o}$1" deadline found
  deadline=$(($(uptime_ms) + seconds * 1000))
  while :; do
    found=$(grep -aoF -e "$text" "$file" 2>/dev/null | wc -l)
    [ "$found" -ge "$count" ] && return 0
    [ "$(uptime_ms)" -ge "$deadline" ] && return 1
    sleep 0.05
  done
}

agent() {
  local agent_line agent_status agent_count
  while IFS= read -r agent_line <&3; do
    if sh -n -c "$agent_line" >/tmp/.agent-out 2>&1; then
      eval "$agent_line" </dev/null >/tmp/.agent-out 2>&1 3>&-
      agent_status=$?
    else
      agent_status=2
    fi
    agent_count=$(wc -c </tmp/.agent-out)
    printf '@@%d %d\n' "$agent_status" "$agent_count" >&3
    cat /tmp/.agent-out >&3
  done
}

exec 3<>/dev/ttyS0
# No echo, no line editing, no CR/NL translation either way, no signals from the line.
stty raw -echo clocal 115200 <&3

deadline=$(($(uptime_ms) + 10000))
while [ ! -e /dev/ttyUSB0 ] && [ "$(uptime_ms)" -lt "$deadline" ]; do
  sleep 0.05
done
printf '@@READY\n' >&3

# The agent runs in a subshell, so that nothing a command does ends PID 1.
(agent)
poweroff -f
while :; do
  sleep 3600
done
