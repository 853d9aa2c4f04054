#!/usr/bin/env bash
# Checks the Windows program end to end under Wine: builds build-win32/quorvel-setup.exe, makes
# a private Wine prefix whose COM5 and COM12 lead to the simulated unit's pseudo-terminal, runs
# the program against it and compares what the technician sees and what the unit receives.
# Keys cannot be typed into a Wine console program from a pseudo-terminal, so ESC and the
# dialogue are left to the Linux tests. Prints one line per case, then "N passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

scripts/install-win32-deps.sh || {
  echo "could not install the MinGW-w64 compiler and Wine"
  echo "0 passed, 1 failed"
  exit 1
}

tmp=$(mktemp -d)
sim_pid=
reader_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

# Builds quietly; the log is shown only when something fails.
quiet() {
  local log=$tmp/build.log
  if ! "$@" >"$log" 2>&1; then
    tail -40 "$log"
    echo "failed: $*"
    echo "0 passed, 1 failed"
    exit 1
  fi
}
quiet cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake \
  -DBUILD_TESTING=OFF
quiet cmake --build build-win32 -j"$jobs" --target quorvel-setup
if [ ! -f build/CMakeCache.txt ]; then
  quiet cmake -S . -B build -DBUILD_TESTING=OFF
fi
quiet cmake --build build -j"$jobs" --target quorvel-sim
exe=$root/build-win32/quorvel-setup.exe
sim=$root/build/quorvel-sim

# A prefix of our own, made once per run; the persistent server keeps it up between the cases
# (quicker, and no device scan re-creates COM links behind the tests' backs).
export WINEPREFIX=$tmp/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >"$tmp/wineserver.log" 2>&1
if ! timeout 300 wineboot -i </dev/null >"$tmp/wineboot.log" 2>&1; then
  cat "$tmp/wineboot.log"
  echo "could not set up a Wine prefix"
  echo "0 passed, 1 failed"
  exit 1
fi
dosdevices=$WINEPREFIX/dosdevices

passed=0
failed=0
pass() {
  passed=$((passed + 1))
  echo "PASS $1"
}
fail() {
  failed=$((failed + 1))
  echo "FAIL $1: $2"
}

# Starts the simulated unit behind the dosdevices link $2 (e.g. com5); the bytes it receives go
# to $1, its log to $1.log. Returns once it has printed its first line: the terminal is ready.
start_sim() {
  local wire=$1 link=$2
  local fifo=$tmp/sim.fifo first=
  rm -f "$fifo" "$wire" "$wire.log"
  mkfifo "$fifo"
  "$sim" --link "$dosdevices/$link" --wire "$wire" >"$fifo" &
  sim_pid=$!
  exec 3<"$fifo"
  read -r -t 30 first <&3
  cat <&3 >"$wire.log" &
  reader_pid=$!
  exec 3<&-
  [ -n "$first" ]
}

# Ends the simulated unit; its last log line is then its final state.
stop_sim() {
  [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid"
  [ -n "$reader_pid" ] && wait "$reader_pid"
  sim_pid=
  reader_pid=
}

# Runs the program with the given arguments; the transcript, its CRLF line ends read as LF,
# goes to $1, the exit status to $1.status.
run_exe() {
  local out=$1
  shift
  timeout 180 wine "$exe" "$@" </dev/null >"$out.raw" 2>"$out.err"
  echo $? >"$out.status"
  sed 's/\r$//' "$out.raw" >"$out"
}

show_diff() {
  diff "$1" "$2" | head -20 | sed 's/^/    /'
}

# The bytes one exchange puts on the wire for a command line: a lone CR, the line with its CR,
# and one more CR.
wire_for() {
  local line
  for line in "$@"; do
    printf '\r%s\r\r' "$line"
  done
}

labels=(
  " - Try unlock                   : "
  " - Stop time               { 6} : "
  " - Set output 1, minimum   { 7} : "
  " - Set output 1, maximum   { 8} : "
  " - Set output 1, puls len  { 9} : "
  " - Set output 2, minimum   {10} : "
  " - Set output 2, maximum   {11} : "
  " - Set output 2, puls len  {12} : "
  " - Set output 2, waittime  {13} : "
  " - Set seconds             { 1} : "
  " - Set minutes             { 2} : "
  " - Set hours               { 3} : "
  " - Set year                { 4} : "
  " - Set month               { 5} : "
  " - Set day                 { 6} : "
  " - Try lock                     : "
)

progress() {
  local label
  echo "Sending data"
  for label in "${labels[@]}"; do
    echo "${label}Done"
  done
  echo "All done without errors"
}

# The executable is a 32-bit console program that needs only DLLs Windows itself provides.
case_pe() {
  local name="PE32 i386 console program importing only system DLLs"
  local kind dlls bad
  kind=$(file -b "$exe")
  dlls=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
  bad=$(echo "$dlls" | grep -viE '^(kernel32|msvcrt|winmm|ucrtbase|user32|advapi32|api-ms-win-[a-z0-9-]+)\.dll$')
  if [[ "$kind" != "PE32 executable (console) Intel 80386"* ]]; then
    fail "$name" "file says: $kind"
  elif [ -z "$dlls" ] || [ -n "$bad" ]; then
    fail "$name" "imports $(echo $dlls)"
  else
    pass "$name ($(echo $dlls))"
  fi
}

# Every option on COM5: the transcript and the wire exact, the unit loaded as asked.
case_full_run() {
  local name="full run with every option on COM5"
  local out=$tmp/full expect=$tmp/full.expect wire=$tmp/full.wire
  if ! start_sim "$wire" com5; then
    fail "$name" "the simulated unit did not start"
    return
  fi
  run_exe "$out" -c COM5 -b 9600 -t 12:30:00 -d '7\12\2009' -1 1,2,3 -2 10,50,20,5 -a 0 -l 0
  stop_sim
  {
    echo "Quorvel Setup"
    echo " Opened COM port                : COM5"
    echo "                                  9600 baud"
    echo " Timings: between chars         : 0 ms"
    echo "          between lines         : 0 ms"
    echo " Time                           : 12:30:0"
    echo ' Date                           : 7\12\2009'
    echo " Out1                   minimum : 1"
    echo "                        maximum : 2"
    echo "                    puls length : 3x10ms=30ms"
    echo " Out2                   minimum : 10"
    echo "                        maximum : 50"
    echo "                    puls length : 20x10ms=200ms"
    echo "                    waittime    : 5x10ms=50ms"
    progress
  } >"$expect"
  wire_for 958:1 6:0 7:1 8:2 9:3 10:10 11:50 12:20 13:5 1:0 2:30 3:12 4:9 5:12 6:7 958:0 \
    >"$wire.expect"
  local state='final: clock 12:30:00 date 7\12\2009 running locked out1 1,2,3 out2 10,50,20,5'
  if [ "$(cat "$out.status")" != 0 ]; then
    fail "$name" "exit status $(cat "$out.status")"
    show_diff "$expect" "$out"
  elif ! cmp -s "$expect" "$out"; then
    fail "$name" "transcript differs (expected < > got)"
    show_diff "$expect" "$out"
  elif ! cmp -s "$wire.expect" "$wire"; then
    fail "$name" "wire bytes differ"
    echo "    expected: $(od -An -c "$wire.expect" | tr -s ' ' | head -c 300)"
    echo "    got:      $(od -An -c "$wire" | tr -s ' ' | head -c 300)"
  elif [ "$(tail -1 "$wire.log")" != "$state" ]; then
    fail "$name" "unit ended as: $(tail -1 "$wire.log")"
  else
    pass "$name"
  fi
}

# A port past COM9 opens only through the device namespace; the program adds the prefix but
# shows the name as typed. A name already in the namespace is taken as it is.
case_named_port() {
  local port=$1 link=$2
  local name="run on $port"
  local out=$tmp/named wire=$tmp/named.wire
  if ! start_sim "$wire" "$link"; then
    fail "$name" "the simulated unit did not start"
    return
  fi
  run_exe "$out" -c "$port" -t 23:59:58 -d '29\2\2024' -1 0,100,0,0 -2 255,0,1,255
  stop_sim
  local state='final: clock 23:59:58 date 29\2\2024 running locked out1 0,100,0 out2 255,0,1,255'
  local shown=" Opened COM port                : $port"
  if [ "$(cat "$out.status")" != 0 ]; then
    fail "$name" "exit status $(cat "$out.status"): $(head -c 300 "$out")"
  elif [ "$(sed -n 2p "$out")" != "$shown" ]; then
    fail "$name" "summary shows '$(sed -n 2p "$out")'"
  elif [ "$(tail -1 "$out")" != "All done without errors" ]; then
    fail "$name" "verdict '$(tail -1 "$out")'"
  elif [ "$(tail -1 "$wire.log")" != "$state" ]; then
    fail "$name" "unit ended as: $(tail -1 "$wire.log")"
  else
    pass "$name"
  fi
}

# A port that leads nowhere: the blank line, the message with the name as typed, status 1.
case_open_failure() {
  local port=$1
  local name="open failure on unmapped $port"
  local out=$tmp/nope
  rm -f "$dosdevices/${port,,}"
  run_exe "$out" -c "$port"
  printf 'Quorvel Setup\n\n! Unable to open COM port: %s, 9600\n' "$port" >"$out.expect"
  if [ "$(cat "$out.status")" != 1 ]; then
    fail "$name" "exit status $(cat "$out.status")"
    show_diff "$out.expect" "$out"
  elif ! cmp -s "$out.expect" "$out"; then
    fail "$name" "transcript differs (expected < > got)"
    show_diff "$out.expect" "$out"
  else
    pass "$name"
  fi
}

started=$SECONDS
case_pe
case_full_run
case_named_port COM12 com12
case_named_port '\\.\COM5' com5
case_open_failure COM9
case_open_failure COM13
echo "Wine tests took $((SECONDS - started)) s after the prefix was made"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
